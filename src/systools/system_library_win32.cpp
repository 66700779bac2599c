#include <string>

#include "systools/system_library.h"

namespace kro::systools {
namespace {

constexpr DWORD search_system32 = 0x800;    // LOAD_LIBRARY_SEARCH_SYSTEM32
constexpr DWORD altered_search_path = 0x8;  // LOAD_WITH_ALTERED_SEARCH_PATH

bool is_bare_file_name(const wchar_t* name) {
  if (!name || !*name) return false;
  const std::wstring text(name);
  if (text == L"." || text == L"..") return false;
  return text.find_first_of(L"\\/:") == std::wstring::npos;
}

bool is_absolute(const std::wstring& path) {
  return (path.size() >= 3 && path[1] == L':' && path[2] == L'\\') || path.rfind(L"\\\\", 0) == 0;
}

// "<system folder>\<name>", or empty (with the thread's last error set) when
// the system folder is unknown or not an absolute path.
std::wstring system_path(const wchar_t* name, const library_api& functions) {
  std::wstring folder(MAX_PATH, L'\0');
  for (;;) {
    const UINT n = functions.get_system_directory(folder.data(), static_cast<UINT>(folder.size()));
    if (n == 0) return {};
    if (n < folder.size()) {
      folder.resize(n);
      break;
    }
    folder.resize(n);  // too small: n is the size needed, with the NUL
  }
  if (!is_absolute(folder)) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return {};
  }
  if (folder.back() != L'\\') folder += L'\\';
  return folder + name;
}

}  // namespace

void detail::free_module(HMODULE module) noexcept {
  const DWORD saved = GetLastError();
  FreeLibrary(module);
  SetLastError(saved);
}

library_api system_library_api() {
  library_api functions{};
  const HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
  if (kernel)
    functions.set_default_dll_directories = reinterpret_cast<decltype(functions.set_default_dll_directories)>(
        reinterpret_cast<void (*)()>(GetProcAddress(kernel, "SetDefaultDllDirectories")));
  functions.load_library_ex = LoadLibraryExW;
  functions.get_system_directory = GetSystemDirectoryW;
  return functions;
}

unique_module load_system_library(const wchar_t* name) {
  return load_system_library(name, system_library_api());
}

unique_module load_system_library(const wchar_t* name, const library_api& functions) {
  if (!is_bare_file_name(name)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return unique_module();
  }
  if (functions.set_default_dll_directories)
    return unique_module(functions.load_library_ex(name, nullptr, search_system32));
  const std::wstring path = system_path(name, functions);
  if (path.empty()) return unique_module();
  return unique_module(functions.load_library_ex(path.c_str(), nullptr, altered_search_path));
}

}  // namespace kro::systools
