// File operations of the packer on Windows: file handles, the last error as
// the error code.
#include <windows.h>

#include "exceptions/exceptions.h"
#include "packers/lzma_packer.h"

namespace kro::packers::detail {

using kro::exceptions::error;

namespace {

int32_t last_error() noexcept { return static_cast<int32_t>(GetLastError()); }

}  // namespace

files::unique_file open_input(const std::wstring& path) {
  files::unique_file file(CreateFileW(path.c_str(), FILE_READ_DATA, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (!file) throw error(last_error(), L"Unable to open file '%ls'!", path.c_str());
  return file;
}

files::unique_file create_output(const std::wstring& path) {
  files::unique_file file(CreateFileW(path.c_str(), FILE_WRITE_DATA, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                      nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) throw error(last_error(), L"Unable to create file '%ls'!", path.c_str());
  return file;
}

void delete_file(const std::wstring& path) noexcept {
  const DWORD saved = GetLastError();
  DeleteFileW(path.c_str());
  SetLastError(saved);
}

bool valid(files::native_handle handle) noexcept {
  return handle != nullptr && handle != INVALID_HANDLE_VALUE;
}

uint64_t file_size(files::native_handle file) {
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(file, &size))
    throw error(last_error(), "Unable to retrieve the size of the input file!");
  return static_cast<uint64_t>(size.QuadPart);
}

size_t read_some(files::native_handle file, void* buffer, size_t size) {
  DWORD got = 0;
  const DWORD want = size > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<DWORD>(size);
  if (!ReadFile(file, buffer, want, &got, nullptr))
    throw error(last_error(), "Unable to read the input file!");
  return got;
}

void write_all(files::native_handle file, const void* data, size_t size, const char* message) {
  const auto* p = static_cast<const uint8_t*>(data);
  while (size != 0) {
    const DWORD want = size > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<DWORD>(size);
    DWORD done = 0;
    if (!WriteFile(file, p, want, &done, nullptr)) throw error(last_error(), "%s", message);
    if (done == 0) throw error(ERROR_WRITE_FAULT, "%s", message);
    p += done;
    size -= done;
  }
}

void set_file_size(files::native_handle file, uint64_t size) {
  LARGE_INTEGER zero{};
  LARGE_INTEGER position{};
  if (!SetFilePointerEx(file, zero, &position, FILE_CURRENT)) {
    throw error(last_error(), "Unable to retrieve the file pointer!");
  }
  LARGE_INTEGER target{};
  target.QuadPart = static_cast<LONGLONG>(size);
  if (size > static_cast<uint64_t>(INT64_MAX) || !SetFilePointerEx(file, target, nullptr, FILE_BEGIN)) {
    throw error(
        size > static_cast<uint64_t>(INT64_MAX) ? static_cast<int32_t>(ERROR_NEGATIVE_SEEK) : last_error(),
        "Unable to set the file pointer!");
  }
  if (!SetEndOfFile(file)) {
    throw error(last_error(), "Unable to set size of file to %lld bytes!", static_cast<long long>(size));
  }
  if (!SetFilePointerEx(file, position, nullptr, FILE_BEGIN)) {
    throw error(last_error(), "Unable to set the file pointer!");
  }
}

}  // namespace kro::packers::detail
