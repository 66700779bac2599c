// Loader hardening of the entry point, with the loader functions of this
// system and with stand-ins for a system that lacks the modern call.
#include "sfx/loader.h"

#include <gtest/gtest.h>

#include <string>

#include "sfx/entry.h"

namespace kro::sfx {
namespace {

struct record {
  UNICODE_STRING* name = nullptr;
};

VOID NTAPI grab_first(PLDR_DATA_TABLE_ENTRY entry, PVOID context, PBOOLEAN stop) {
  static_cast<record*>(context)->name = &entry->FullDllName;
  *stop = TRUE;
}

// The loader's record of the executable's full image name.
UNICODE_STRING* image_record() {
  record r;
  loader::system_api().enumerate_loaded_modules(0, grab_first, &r);
  return r.name;
}

std::wstring text_of(const UNICODE_STRING* s) { return std::wstring(s->Buffer, s->Length / sizeof(wchar_t)); }

std::wstring module_path() {
  wchar_t path[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  return path;
}

int g_set_dll_directory_calls = 0;
BOOL WINAPI counting_set_dll_directory(LPCWSTR path) {
  ++g_set_dll_directory_calls;
  return SetDllDirectoryW(path);
}
BOOL WINAPI failing_set_default(DWORD) { return FALSE; }
UINT WINAPI long_system_directory(LPWSTR, UINT) { return 120; }

// Restores the loader's record after a test changed it.
struct record_guard {
  UNICODE_STRING* name = image_record();
  UNICODE_STRING saved = *name;
  ~record_guard() { *name = saved; }
};

TEST(loader, hardening) {
  const std::wstring real_path = module_path();
  const loader::api system = loader::system_api();
  ASSERT_NE(system.set_default_dll_directories, nullptr);
  ASSERT_NE(system.enumerate_loaded_modules, nullptr);

  // With SetDefaultDllDirectories neither SetDllDirectoryW nor the module
  // callback runs; the program path comes from the module file name.
  loader::api modern = system;
  modern.set_dll_directory = counting_set_dll_directory;
  EXPECT_TRUE(loader::narrow_dll_search(modern));
  EXPECT_EQ(g_set_dll_directory_calls, 0);
  EXPECT_EQ(loader::saved_program_path(), nullptr);
  EXPECT_EQ(std::wstring(program_path()), real_path);

  {
    // A system directory longer than 96 characters: the path is kept, the
    // loader's record stays as it was.
    record_guard guard;
    loader::api old = system;
    old.set_default_dll_directories = nullptr;
    old.set_dll_directory = counting_set_dll_directory;
    old.get_system_directory = long_system_directory;
    EXPECT_FALSE(loader::narrow_dll_search(old));
    EXPECT_EQ(g_set_dll_directory_calls, 1);
    ASSERT_NE(loader::saved_program_path(), nullptr);
    EXPECT_EQ(std::wstring(loader::saved_program_path()), real_path);
    EXPECT_EQ(text_of(guard.name), text_of(&guard.saved));
  }
  {
    // Without the modern call (or when it fails) the loader's record names
    // the system directory and the substitute file, while the program still
    // knows its real path.
    record_guard guard;
    loader::api old = system;
    old.set_default_dll_directories = failing_set_default;
    EXPECT_FALSE(loader::narrow_dll_search(old));
    wchar_t system_dir[MAX_PATH] = {};
    const UINT n = GetSystemDirectoryW(system_dir, MAX_PATH);
    EXPECT_EQ(text_of(guard.name), std::wstring(system_dir) + L"\\b86362a5.exe");
    EXPECT_EQ(guard.name->Length, 2 * n + 26);
    EXPECT_EQ(guard.name->MaximumLength, 2 * n + 28);
    EXPECT_EQ(std::wstring(loader::saved_program_path()), real_path);
    EXPECT_EQ(std::wstring(program_path()), real_path);
  }
}

}  // namespace
}  // namespace kro::sfx
