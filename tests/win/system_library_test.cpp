// System DLLs loaded from the system folder: both ways of loading, through
// loader functions that record what they are asked and behave as the system
// each way stands for, and the names that are refused.
#include "systools/system_library.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kro::systools {
namespace {

constexpr DWORD search_system32 = 0x800;    // LOAD_LIBRARY_SEARCH_SYSTEM32
constexpr DWORD any_search_flag = 0x1F00;   // every LOAD_LIBRARY_SEARCH_* flag
constexpr DWORD altered_search_path = 0x8;  // LOAD_WITH_ALTERED_SEARCH_PATH

struct load_call {
  std::wstring name;
  DWORD flags;
};
std::vector<load_call> g_calls;

BOOL WINAPI present(DWORD) { return TRUE; }

// This system, recording the call.
HMODULE WINAPI recording_load(LPCWSTR name, HANDLE file, DWORD flags) {
  g_calls.push_back({name, flags});
  return LoadLibraryExW(name, file, flags);
}

// Windows 7 without the loader update: LOAD_LIBRARY_SEARCH_* flags make
// every load fail. A bare name here would be searched for in the program's
// folder first, so the stand-in refuses any path that is not absolute.
HMODULE WINAPI old_system_load(LPCWSTR name, HANDLE file, DWORD flags) {
  g_calls.push_back({name, flags});
  const std::wstring path(name);
  const bool absolute = path.size() > 3 && path[1] == L':' && path[2] == L'\\';
  if ((flags & any_search_flag) || !absolute) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  return LoadLibraryExW(name, file, flags);
}

std::wstring system_folder() {
  wchar_t path[MAX_PATH] = {};
  const UINT n = GetSystemDirectoryW(path, MAX_PATH);
  return std::wstring(path, n);
}

std::wstring module_path(HMODULE module) {
  wchar_t path[MAX_PATH] = {};
  const DWORD n = GetModuleFileNameW(module, path, MAX_PATH);
  return std::wstring(path, n);
}

library_api modern_api() {
  library_api functions = system_library_api();
  functions.set_default_dll_directories = present;
  functions.load_library_ex = recording_load;
  return functions;
}

library_api old_api() {
  library_api functions = system_library_api();
  functions.set_default_dll_directories = nullptr;
  functions.load_library_ex = old_system_load;
  return functions;
}

// Lower case, for comparing Windows paths.
std::wstring lower(std::wstring text) {
  for (auto& c : text) c = static_cast<wchar_t>(towlower(c));
  return text;
}

TEST(system_library, this_system_loads_from_the_system_folder) {
  ASSERT_NE(system_library_api().set_default_dll_directories, nullptr);  // Wine has the call
  const unique_module module = load_system_library(L"bcrypt.dll");
  ASSERT_TRUE(module) << GetLastError();
  EXPECT_EQ(lower(module_path(module.get())), lower(system_folder() + L"\\bcrypt.dll"));
  EXPECT_NE(procedure<FARPROC>(module, "BCryptGenRandom"), nullptr);
  EXPECT_EQ(procedure<FARPROC>(module, "NoSuchExport"), nullptr);
}

TEST(system_library, with_default_dll_directories_the_name_is_loaded_with_the_system32_flag) {
  g_calls.clear();
  const unique_module module = load_system_library(L"bcrypt.dll", modern_api());
  ASSERT_TRUE(module) << GetLastError();
  ASSERT_EQ(g_calls.size(), 1u);
  EXPECT_EQ(g_calls[0].name, L"bcrypt.dll");
  EXPECT_EQ(g_calls[0].flags, search_system32);
  EXPECT_NE(procedure<FARPROC>(module, "BCryptGenRandom"), nullptr);
}

TEST(system_library, without_default_dll_directories_the_full_system_path_is_loaded_without_search_flags) {
  g_calls.clear();
  const unique_module module = load_system_library(L"bcrypt.dll", old_api());
  ASSERT_TRUE(module) << GetLastError();
  ASSERT_EQ(g_calls.size(), 1u);
  EXPECT_EQ(g_calls[0].name, system_folder() + L"\\bcrypt.dll");
  EXPECT_EQ(g_calls[0].flags, altered_search_path);
  EXPECT_EQ(lower(module_path(module.get())), lower(system_folder() + L"\\bcrypt.dll"));
  EXPECT_NE(procedure<FARPROC>(module, "BCryptGenRandom"), nullptr);
}

// System folders as the old path may see them: longer than MAX_PATH (the
// buffer grows), with a trailing backslash, unknown, or not absolute.
std::wstring g_folder;
UINT WINAPI given_folder(LPWSTR buffer, UINT size) {
  if (g_folder.empty()) {
    SetLastError(ERROR_ACCESS_DENIED);
    return 0;
  }
  if (size <= g_folder.size()) return static_cast<UINT>(g_folder.size() + 1);
  g_folder.copy(buffer, g_folder.size());
  buffer[g_folder.size()] = L'\0';
  return static_cast<UINT>(g_folder.size());
}
HMODULE WINAPI record_only(LPCWSTR name, HANDLE, DWORD flags) {
  g_calls.push_back({name, flags});
  SetLastError(ERROR_MOD_NOT_FOUND);
  return nullptr;
}

TEST(system_library, the_old_path_takes_the_system_folder_as_it_is_given_and_never_a_relative_one) {
  const std::wstring long_folder = L"C:\\" + std::wstring(300, L'x');
  struct test_case {
    std::wstring folder;
    std::wstring loaded;  // empty: nothing may be loaded
    DWORD error;
  };
  const test_case cases[] = {
      {long_folder, long_folder + L"\\winhttp.dll", ERROR_MOD_NOT_FOUND},
      {L"D:\\Windows\\system32\\", L"D:\\Windows\\system32\\winhttp.dll", ERROR_MOD_NOT_FOUND},
      {L"\\\\server\\share\\system32", L"\\\\server\\share\\system32\\winhttp.dll", ERROR_MOD_NOT_FOUND},
      {L"", L"", ERROR_ACCESS_DENIED},
      {L"system32", L"", ERROR_PATH_NOT_FOUND},
      {L"\\Windows\\system32", L"", ERROR_PATH_NOT_FOUND},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "folder of " << c.folder.size() << " characters");
    g_folder = c.folder;
    g_calls.clear();
    library_api functions = old_api();
    functions.get_system_directory = given_folder;
    functions.load_library_ex = record_only;
    const unique_module module = load_system_library(L"winhttp.dll", functions);
    EXPECT_FALSE(module);
    EXPECT_EQ(GetLastError(), c.error);
    if (c.loaded.empty()) {
      EXPECT_TRUE(g_calls.empty());
    } else {
      ASSERT_EQ(g_calls.size(), 1u);
      EXPECT_EQ(g_calls[0].name, c.loaded);
    }
  }
}

TEST(system_library, names_with_a_folder_drive_or_stream_are_refused_before_any_load) {
  const wchar_t* const names[] = {
      nullptr,
      L"",
      L".",
      L"..",
      L"..\\bcrypt.dll",
      L"C:\\kro\\bcrypt.dll",
      L"sub/bcrypt.dll",
      L"C:bcrypt.dll",
      L"bcrypt.dll:x",
      L"\\\\server\\share\\bcrypt.dll",
  };
  for (const library_api& functions : {modern_api(), old_api()}) {
    for (const wchar_t* name : names) {
      SCOPED_TRACE(testing::Message() << (name ? std::string(name, name + wcslen(name)) : "(null)"));
      g_calls.clear();
      SetLastError(0);
      const unique_module module = load_system_library(name, functions);
      EXPECT_FALSE(module);
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
      EXPECT_TRUE(g_calls.empty());
    }
  }
}

}  // namespace
}  // namespace kro::systools
