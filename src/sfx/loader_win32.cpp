// Loader hardening. Runs before the C runtime and before static
// constructors: no C runtime calls, no objects with constructors, the
// process heap only. It also runs before the SSE2 check, so this file is
// built without SSE (KRO_NO_SSE_OPTIONS): the code up to the check calls
// nothing but system functions and code of this file (and the image's entry
// file), since code elsewhere, the C library's copy functions included, may
// use SSE2. tests/e2e/test_image.py checks the object code.
#include <string>

#include "sfx/entry.h"
#include "sfx/loader.h"

namespace kro::sfx {
namespace {

// Zero-initialised storage: valid before any constructor has run.
wchar_t* g_program_path = nullptr;

constexpr DWORD search_system32 = 0x800;  // LOAD_LIBRARY_SEARCH_SYSTEM32
constexpr DWORD sse2_feature = 10;        // PF_XMMI64_INSTRUCTIONS_AVAILABLE
constexpr UINT illegal_instruction = 0xC000001D;

// Runs for the first entry of the loader's module list, the executable.
VOID NTAPI first_module(PLDR_DATA_TABLE_ENTRY entry, PVOID context, PBOOLEAN stop) {
  *stop = TRUE;
  const auto* functions = static_cast<const loader::api*>(context);
  const HANDLE heap = GetProcessHeap();
  UNICODE_STRING& name = entry->FullDllName;

  auto* path = static_cast<wchar_t*>(HeapAlloc(heap, 0, name.Length + sizeof(wchar_t)));
  if (!path) return;
  const USHORT chars = name.Length / sizeof(wchar_t);
  for (USHORT i = 0; i < chars; ++i) path[i] = name.Buffer[i];
  path[chars] = L'\0';
  g_program_path = path;

  auto* substitute = static_cast<wchar_t*>(HeapAlloc(heap, 0, 256));
  if (!substitute) return;
  const UINT length = functions->get_system_directory(substitute, loader::system_directory_limit);
  if (length == 0 || length > loader::system_directory_limit) return;
  constexpr UINT suffix_chars = sizeof(loader::substitute_image_name) / sizeof(wchar_t);  // with the NUL
  for (UINT i = 0; i < suffix_chars; ++i) substitute[length + i] = loader::substitute_image_name[i];
  name.Buffer = substitute;
  name.Length = static_cast<USHORT>(2 * length + 26);
  name.MaximumLength = static_cast<USHORT>(2 * length + 28);
}

template <class F>
F lookup(const wchar_t* module, const char* function) {
  const HMODULE handle = GetModuleHandleW(module);
  return handle ? reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(handle, function))) : nullptr;
}

}  // namespace

namespace loader {

api system_api() {
  api functions{};
  functions.set_default_dll_directories =
      lookup<decltype(functions.set_default_dll_directories)>(L"kernel32.dll", "SetDefaultDllDirectories");
  functions.set_dll_directory = SetDllDirectoryW;
  functions.enumerate_loaded_modules =
      lookup<decltype(functions.enumerate_loaded_modules)>(L"ntdll.dll", "LdrEnumerateLoadedModules");
  functions.get_system_directory = GetSystemDirectoryW;
  return functions;
}

bool narrow_dll_search(const api& functions) {
  HeapSetInformation(GetProcessHeap(), HeapEnableTerminationOnCorruption, nullptr, 0);
  if (functions.set_default_dll_directories && functions.set_default_dll_directories(search_system32))
    return true;
  functions.set_dll_directory(L"");
  if (functions.enumerate_loaded_modules)
    functions.enumerate_loaded_modules(0, first_module, const_cast<api*>(&functions));
  return false;
}

const wchar_t* saved_program_path() { return g_program_path; }

}  // namespace loader

void harden_loader() {
  const loader::api functions = loader::system_api();
  loader::narrow_dll_search(functions);
  if (!IsProcessorFeaturePresent(sse2_feature)) ExitProcess(illegal_instruction);
}

const wchar_t* program_path() {
  if (g_program_path) return g_program_path;
  static const std::wstring from_module = [] {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
      const DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
      if (n < path.size()) {
        path.resize(n);
        return path;
      }
      path.resize(path.size() * 2);
    }
  }();
  return from_module.c_str();
}

}  // namespace kro::sfx
