#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "exceptions/exceptions.h"
#include "files/file_handle.h"
#include "text/text.h"

namespace kro::files {

void detail::close_fd(int fd) noexcept {
  const int saved = errno;
  ::close(fd);
  errno = saved;
}

unique_file open_for_read(const std::wstring& path) {
  unique_file file(::open(kro::text::to_utf8(path).c_str(), O_RDONLY | O_CLOEXEC));
  if (!file) throw kro::exceptions::error(errno, L"Unable to open file '%ls'!", path.c_str());
  return file;
}

}  // namespace kro::files
