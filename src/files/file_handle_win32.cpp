#include <windows.h>

#include "exceptions/exceptions.h"
#include "files/file_handle.h"

namespace kro::files {

void detail::close_kernel_handle(void* handle) noexcept {
  const DWORD saved = GetLastError();
  CloseHandle(handle);
  SetLastError(saved);
}

std::wstring final_path(native_handle handle) {
  std::wstring path(MAX_PATH, L'\0');
  for (int attempt = 0; attempt < 4; ++attempt) {
    const DWORD n = GetFinalPathNameByHandleW(handle, path.data(), static_cast<DWORD>(path.size()),
                                              FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (n == 0) return {};
    if (n < path.size()) {
      path.resize(n);
      return path;
    }
    path.resize(n + 1);
  }
  return {};
}

unique_file open_for_read(const std::wstring& path) {
  unique_file file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) {
    throw kro::exceptions::error(static_cast<int32_t>(GetLastError()), L"Unable to open file '%ls'!",
                                 path.c_str());
  }
  return file;
}

}  // namespace kro::files
