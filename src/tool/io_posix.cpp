// The POSIX side of sfxtool's file writer (io.h).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <system_error>

#include "tool/io.h"

namespace kro::tool {
namespace {

std::string system_text(int error) { return std::error_code(error, std::generic_category()).message(); }

}  // namespace

namespace detail {

files::unique_file create_exclusive(const std::filesystem::path& path, file_access access) {
  const mode_t mode = access == file_access::private_to_owner ? 0600 : 0666;
  files::unique_file file(::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
  if (!file) {
    const int error = errno;
    throw tool_error("cannot create '" + path.string() + "': " + system_text(error));
  }
  // The umask may only take bits away; a private file gets exactly 0600.
  if (access == file_access::private_to_owner && ::fchmod(file.get(), 0600) != 0) {
    const int error = errno;
    file.reset();
    ::unlink(path.c_str());
    throw tool_error("cannot restrict '" + path.string() + "' to its owner: " + system_text(error));
  }
  return file;
}

}  // namespace detail

void write_all(files::native_handle file, const void* data, size_t size, const std::filesystem::path& path) {
  const auto* bytes = static_cast<const uint8_t*>(data);
  for (size_t done = 0; done < size;) {
    const ssize_t n = ::write(file, bytes + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw tool_error("cannot write '" + path.string() + "': " + system_text(n < 0 ? errno : EIO));
    done += static_cast<size_t>(n);
  }
}

void flush_file(files::native_handle file, const std::filesystem::path& path) {
  if (::fsync(file) != 0) throw tool_error("cannot write '" + path.string() + "': " + system_text(errno));
}

void replace_file(const std::filesystem::path& from, const std::filesystem::path& to) {
  if (std::rename(from.c_str(), to.c_str()) != 0) {
    throw tool_error("cannot rename '" + from.string() + "' to '" + to.string() + "': " + system_text(errno));
  }
  // The new entry of the folder, on the disk as well (best effort).
  const std::filesystem::path folder = to.has_parent_path() ? to.parent_path() : ".";
  files::unique_file dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir) ::fsync(dir.get());
}

uint64_t modification_time(const std::filesystem::path& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0)
    throw tool_error("cannot read the time of '" + path.string() + "': " + system_text(errno));
  return info.st_mtim.tv_sec < 0 ? 0 : static_cast<uint64_t>(info.st_mtim.tv_sec);
}

bool set_modification_time(const std::filesystem::path& path, uint64_t seconds) {
  struct timespec times[2] = {};
  times[0].tv_nsec = UTIME_OMIT;  // access time as it is
  times[1].tv_sec = static_cast<time_t>(std::min(seconds, latest_file_time));
  return ::utimensat(AT_FDCWD, path.c_str(), times, 0) == 0;
}

void remove_file(const std::filesystem::path& path) noexcept {
  const int saved = errno;
  ::unlink(path.c_str());
  errno = saved;
}

}  // namespace kro::tool
