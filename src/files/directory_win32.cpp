#include <windows.h>

#include "files/directory.h"

namespace kro::files {

bool is_directory(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
         (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
}

uint32_t create_directories(const std::wstring& path, void* security_attributes) {
  for (size_t i = 1; i < path.size(); ++i) {
    if (path[i] == L'\\' || path[i] == L'/') CreateDirectoryW(path.substr(0, i + 1).c_str(), nullptr);
  }
  SetLastError(ERROR_SUCCESS);
  CreateDirectoryW(path.c_str(), static_cast<SECURITY_ATTRIBUTES*>(security_attributes));
  const DWORD error = GetLastError();
  if (is_directory(path)) return 0;
  return error != ERROR_SUCCESS ? error : ERROR_DIRECTORY;
}

std::wstring full_path(const std::wstring& path) {
  if (path.empty()) return std::wstring();
  std::wstring buffer(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetFullPathNameW(path.c_str(), static_cast<DWORD>(buffer.size()), buffer.data(), nullptr);
    if (n == 0) return std::wstring();
    if (n < buffer.size()) {
      buffer.resize(n);
      return buffer;
    }
    buffer.resize(n);  // n counts the terminator when the buffer was too small
  }
}

}  // namespace kro::files
