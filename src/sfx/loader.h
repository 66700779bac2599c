#pragma once
// Loader hardening (Win32 shell). The steps take the loader functions they
// use from a table, so that the fallback path for systems without
// SetDefaultDllDirectories can be exercised on any system.
#include <windows.h>
#include <winternl.h>

namespace kro::sfx::loader {

using module_callback = VOID(NTAPI*)(PLDR_DATA_TABLE_ENTRY entry, PVOID context, PBOOLEAN stop);

struct api {
  BOOL(WINAPI* set_default_dll_directories)(DWORD flags);  // null where absent
  BOOL(WINAPI* set_dll_directory)(LPCWSTR path);
  NTSTATUS(NTAPI* enumerate_loaded_modules)
  (ULONG reserved, module_callback callback, PVOID context);  // null where absent
  UINT(WINAPI* get_system_directory)(LPWSTR buffer, UINT size);
};

// The functions of this system, looked up in kernel32.dll and ntdll.dll.
api system_api();

// Steps 1-3: heap termination on corruption, then the narrowed DLL search
// order. Returns true when SetDefaultDllDirectories succeeded; otherwise the
// current directory leaves the search order and the loader's record of the
// image is pointed at the system directory (the real path is kept first).
bool narrow_dll_search(const api& functions);

// The program path kept by the fallback path, or null.
const wchar_t* saved_program_path();

// File name the loader's record of the image takes in the fallback path.
inline constexpr wchar_t substitute_image_name[] = L"\\b86362a5.exe";
// Characters of the system directory the fallback accepts.
inline constexpr UINT system_directory_limit = 96;

}  // namespace kro::sfx::loader
