// File operations of the packer on POSIX systems: file descriptors, errno as
// the error code.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "exceptions/exceptions.h"
#include "packers/lzma_packer.h"
#include "text/text.h"

namespace kro::packers::detail {

using kro::exceptions::error;

files::unique_file open_input(const std::wstring& path) {
  files::unique_file file(::open(kro::text::to_utf8(path).c_str(), O_RDONLY | O_CLOEXEC));
  if (!file) throw error(errno, L"Unable to open file '%ls'!", path.c_str());
  return file;
}

files::unique_file create_output(const std::wstring& path) {
  files::unique_file file(
      ::open(kro::text::to_utf8(path).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
  if (!file) throw error(errno, L"Unable to create file '%ls'!", path.c_str());
  return file;
}

void delete_file(const std::wstring& path) noexcept {
  const int saved = errno;
  ::unlink(kro::text::to_utf8(path).c_str());
  errno = saved;
}

bool valid(files::native_handle handle) noexcept { return handle >= 0; }

uint64_t file_size(files::native_handle file) {
  struct stat st {};
  if (::fstat(file, &st) != 0) throw error(errno, "Unable to retrieve the size of the input file!");
  return static_cast<uint64_t>(st.st_size);
}

size_t read_some(files::native_handle file, void* buffer, size_t size) {
  while (true) {
    const ssize_t got = ::read(file, buffer, size);
    if (got >= 0) return static_cast<size_t>(got);
    if (errno != EINTR) throw error(errno, "Unable to read the input file!");
  }
}

void write_all(files::native_handle file, const void* data, size_t size, const char* message) {
  const auto* p = static_cast<const uint8_t*>(data);
  while (size != 0) {
    const ssize_t done = ::write(file, p, size);
    if (done < 0) {
      if (errno == EINTR) continue;
      throw error(errno, "%s", message);
    }
    p += done;
    size -= static_cast<size_t>(done);
  }
}

void set_file_size(files::native_handle file, uint64_t size) {
  const off_t position = ::lseek(file, 0, SEEK_CUR);
  if (position < 0) throw error(errno, "Unable to retrieve the file pointer!");
  if (size > static_cast<uint64_t>(INT64_MAX) || ::lseek(file, static_cast<off_t>(size), SEEK_SET) < 0) {
    throw error(size > static_cast<uint64_t>(INT64_MAX) ? EFBIG : errno, "Unable to set the file pointer!");
  }
  if (::ftruncate(file, static_cast<off_t>(size)) != 0) {
    throw error(errno, "Unable to set size of file to %lld bytes!", static_cast<long long>(size));
  }
  if (::lseek(file, position, SEEK_SET) < 0) throw error(errno, "Unable to set the file pointer!");
}

}  // namespace kro::packers::detail
