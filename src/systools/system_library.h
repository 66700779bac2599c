#pragma once
// System DLLs loaded at run time, from the system folder only (Win32 shell).
//
// The import table of sfx.exe names KnownDLLs only: the Windows loader takes
// those from its own list, never from the folder the program was started
// from. Every other system DLL (version, bcrypt, winhttp, gdiplus, ...) is
// loaded after the loader hardening through load_system_library:
//   - where kernel32 has SetDefaultDllDirectories (Windows 8 and later,
//     Windows 7 with the loader update KB2533623): LoadLibraryExW(name,
//     LOAD_LIBRARY_SEARCH_SYSTEM32), so the DLL and its dependencies come
//     from the system folder;
//   - elsewhere that flag makes every load fail: LoadLibraryExW with the full
//     path "<system folder>\<name>" and LOAD_WITH_ALTERED_SEARCH_PATH, so the
//     DLL's dependencies are searched in the system folder first, too.
// The name is a bare file name with its extension ("winhttp.dll"). A name
// with a folder, a drive or a stream, an empty name, "." and ".." are refused
// with ERROR_INVALID_PARAMETER before any load.
//
// Never delay-load a DLL (MinGW's delay-load helper calls plain LoadLibraryA,
// which searches the program's folder); take its functions with procedure()
// from a module loaded here.
#include <windows.h>

#include "files/file_handle.h"

namespace kro::systools {

namespace detail {
inline HMODULE null_module() noexcept { return nullptr; }
// FreeLibrary, keeping the thread's last error.
void free_module(HMODULE module) noexcept;
}  // namespace detail

// An owned module reference (FreeLibrary on release; invalid: null).
using unique_module = files::unique_resource<HMODULE, detail::null_module, detail::free_module>;

// The loader functions the helper uses, replaceable so that both ways of
// loading run on any system.
struct library_api {
  // kernel32's SetDefaultDllDirectories, null where the system lacks it. It
  // is never called here: its presence says that LoadLibraryExW knows the
  // LOAD_LIBRARY_SEARCH_* flags.
  BOOL(WINAPI* set_default_dll_directories)(DWORD flags);
  HMODULE(WINAPI* load_library_ex)(LPCWSTR name, HANDLE file, DWORD flags);
  UINT(WINAPI* get_system_directory)(LPWSTR buffer, UINT size);
};

// The functions of this system.
library_api system_library_api();

// Loads the system DLL `name` from the system folder (see above). Returns an
// empty owner when it cannot be loaded; GetLastError() then tells why.
unique_module load_system_library(const wchar_t* name);
unique_module load_system_library(const wchar_t* name, const library_api& functions);

// The exported function `name` of a loaded module as a typed pointer, or null.
template <class Function>
Function procedure(const unique_module& module, const char* name) {
  if (!module) return nullptr;
  return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module.get(), name)));
}

}  // namespace kro::systools
