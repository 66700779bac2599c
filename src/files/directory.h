#pragma once
// Folders on the local file system.
//
// Paths use "\" (and accept "/") as separators; natively both become "/".
#include <cstdint>
#include <string>
#include <string_view>

namespace kro::files {

// True when the path names an existing folder that is not a link.
bool is_directory(const std::wstring& path);

// Creates the folder and every missing parent. Each prefix up to a separator
// is created first (errors ignored), then the whole path, with the given
// security attributes (Windows: SECURITY_ATTRIBUTES*, null for the default)
// for that last folder only. Returns 0 when the path exists as a folder (not
// a link) afterwards, else the system's error code of the last attempt.
uint32_t create_directories(const std::wstring& path, void* security_attributes = nullptr);

// The folder joined with a name, with one "\" between them (none is added
// when the folder already ends in a separator).
std::wstring join(const std::wstring& folder, const std::wstring& name);

// The folder part of a path: everything before its last separator (empty
// when it has none).
std::wstring parent_of(const std::wstring& path);

// Whether a path, read the Windows way, names the same place whatever the
// current directory: a drive letter, a colon and a separator ("C:\x"), or two
// leading separators (UNC "\\server\share\x", device "\\?\C:\x"). Every
// other path depends on it: "x", ".\x", "..\x", "\x" (the root of the
// current drive) and "C:x" (the current folder of drive C). An empty path is
// no path and answers false.
bool is_fully_qualified(std::wstring_view path);

// The full path of a path, resolved against the process's current directory
// as the system resolves it (Windows: GetFullPathNameW, including "\x" and
// "C:x"; natively the current directory joined with a relative path). Empty
// when it cannot be resolved.
std::wstring full_path(const std::wstring& path);

}  // namespace kro::files
