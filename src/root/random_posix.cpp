#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>

#include "exceptions/exceptions.h"
#include "root/random.h"

namespace kro::root::detail {

namespace {

bool from_urandom(unsigned char* p, size_t n) {
  const int fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  while (n > 0) {
    const ssize_t got = ::read(fd, p, n);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    p += got;
    n -= static_cast<size_t>(got);
  }
  ::close(fd);
  return n == 0;
}

}  // namespace

void os_random_bytes(void* out, size_t n) {
  auto* p = static_cast<unsigned char*>(out);
  while (n > 0) {
    const ssize_t got = ::getrandom(p, n, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      if (from_urandom(p, n)) return;
      throw exceptions::error(errno, "The cryptographic provider failed!");
    }
    p += got;
    n -= static_cast<size_t>(got);
  }
}

}  // namespace kro::root::detail
