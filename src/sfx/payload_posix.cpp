// The POSIX side of the payload, for the native build: the executable is
// opened read-only, an extraction target is removed by name when it fails.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "exceptions/exceptions.h"
#include "log/logger.h"
#include "sfx/payload.h"
#include "text/text.h"

namespace kro::sfx {

executable_image open_executable(const std::wstring& path) {
  files::unique_file file(::open(text::to_utf8(path).c_str(), O_RDONLY));  // inheritable: no O_CLOEXEC
  if (!file) {
    const int error = errno;
    log::write(log::error, "Payload: Failed to open sfx file '%s', %u", text::to_utf8(path).c_str(),
               static_cast<unsigned>(error));
    throw kro::exceptions::error(error, "%s", "Failed to open sfx file.");
  }
  return map_executable(std::move(file));
}

namespace detail {

uint64_t handle_value(files::native_handle file) noexcept { return static_cast<uint64_t>(file); }

bool query_file_size(files::native_handle file, uint64_t& size, int32_t& error) noexcept {
  struct stat info {};
  if (::fstat(file, &info) != 0) {
    error = errno;
    return false;
  }
  size = static_cast<uint64_t>(info.st_size);
  return true;
}

files::unique_file create_target(const std::wstring& path) {
  files::unique_file file(::open(text::to_utf8(path).c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (!file) throw kro::exceptions::error(errno, L"Unable to create file '%ls'!", path.c_str());
  return file;
}

void set_file_content(files::native_handle file, const uint8_t* data, uint32_t size) {
  if (::lseek(file, 0, SEEK_SET) != 0) throw kro::exceptions::error(errno, "%s", "set_file_content");
  for (uint32_t done = 0; done < size;) {
    const ssize_t n = ::write(file, data + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw kro::exceptions::error(n < 0 ? errno : EIO, "%s", "set_file_content");
    done += static_cast<uint32_t>(n);
  }
  if (::ftruncate(file, static_cast<off_t>(size)) != 0) {
    throw kro::exceptions::error(errno, "%s", "set_file_content");
  }
}

void delete_on_close(files::native_handle, const std::wstring& path) noexcept {
  const int saved = errno;
  if (::unlink(text::to_utf8(path).c_str()) != 0) {
    log::write(log::error, "Unable to delete '%s' after a failed unpack, %u", text::to_utf8(path).c_str(),
               static_cast<unsigned>(errno));
  }
  errno = saved;
}

bool write_bytes(files::native_handle file, const void* data, uint32_t count, int32_t& error) noexcept {
  const auto* bytes = static_cast<const uint8_t*>(data);
  for (uint32_t done = 0; done < count;) {
    const ssize_t n = ::write(file, bytes + done, count - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      error = n < 0 ? errno : EIO;
      return false;
    }
    done += static_cast<uint32_t>(n);
  }
  return true;
}

}  // namespace detail

}  // namespace kro::sfx
