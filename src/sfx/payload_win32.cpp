// The Win32 side of the payload: opening the executable, creating and
// deleting extraction targets, writing bytes.
#include <windows.h>

#include <cstdint>

#include "exceptions/exceptions.h"
#include "files/fs_redirection.h"
#include "log/logger.h"
#include "sfx/payload.h"
#include "text/text.h"

namespace kro::sfx {
namespace {

int32_t last_error() { return static_cast<int32_t>(GetLastError()); }

}  // namespace

executable_image open_executable(const std::wstring& path) {
  files::unique_file file;
  {
    // A 32-bit process on 64-bit Windows must see its real file, not a
    // redirected one.
    files::fs_redirection_auto redirection_off;
    SECURITY_ATTRIBUTES attributes{};
    attributes.nLength = sizeof(attributes);
    attributes.bInheritHandle = TRUE;
    // Read data only; others may read or delete, never write, while we hold it.
    file.reset(CreateFileW(path.c_str(), FILE_READ_DATA, FILE_SHARE_READ | FILE_SHARE_DELETE, &attributes,
                           OPEN_EXISTING, 0, nullptr));
  }
  if (!file) {
    const DWORD error = GetLastError();
    log::write(log::error, "Payload: Failed to open sfx file '%s', %u", text::to_utf8(path).c_str(),
               static_cast<unsigned>(error));
    throw kro::exceptions::error(static_cast<int32_t>(error), "%s", "Failed to open sfx file.");
  }
  return map_executable(std::move(file));
}

namespace detail {

uint64_t handle_value(files::native_handle file) noexcept {
  return static_cast<uint64_t>(reinterpret_cast<uintptr_t>(file));
}

bool query_file_size(files::native_handle file, uint64_t& size, int32_t& error) noexcept {
  LARGE_INTEGER value{};
  if (!GetFileSizeEx(file, &value)) {
    error = last_error();
    return false;
  }
  size = static_cast<uint64_t>(value.QuadPart);
  return true;
}

files::unique_file create_target(const std::wstring& path) {
  files::unique_file file(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, FILE_SHARE_READ,
                                      nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) throw kro::exceptions::error(last_error(), L"Unable to create file '%ls'!", path.c_str());
  return file;
}

void set_file_content(files::native_handle file, const uint8_t* data, uint32_t size) {
  LARGE_INTEGER zero{};
  DWORD written = 0;
  if (!SetFilePointerEx(file, zero, nullptr, FILE_BEGIN) || !WriteFile(file, data, size, &written, nullptr) ||
      !SetEndOfFile(file)) {
    throw kro::exceptions::error(last_error(), "%s", "set_file_content");
  }
  if (written != size) throw kro::exceptions::error(ERROR_WRITE_FAULT, "%s", "set_file_content");
}

void delete_on_close(files::native_handle file, const std::wstring& path) noexcept {
  const DWORD saved = GetLastError();
  FILE_DISPOSITION_INFO disposition{};
  disposition.DeleteFile = TRUE;
  if (!SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof(disposition))) {
    log::write(log::error, "Unable to delete '%s' after a failed unpack, %u", text::to_utf8(path).c_str(),
               static_cast<unsigned>(GetLastError()));
  }
  SetLastError(saved);
}

bool write_bytes(files::native_handle file, const void* data, uint32_t count, int32_t& error) noexcept {
  DWORD written = 0;
  if (!WriteFile(file, data, count, &written, nullptr)) {
    error = last_error();
    return false;
  }
  if (written != count) {
    error = ERROR_WRITE_FAULT;
    return false;
  }
  return true;
}

}  // namespace detail

}  // namespace kro::sfx
