// Opening a file for the signature check (POSIX, for sfxtool and the native
// tests): read-only, the error is errno.
#include <fcntl.h>

#include <cerrno>

#include "exceptions/exceptions.h"
#include "log/logger.h"
#include "root/verify_signature.h"
#include "text/text.h"

namespace kro::sfx::detail {

files::unique_file open_for_check(const std::wstring& path) {
  const std::string name = text::to_utf8(path);
  files::unique_file file(::open(name.c_str(), O_RDONLY | O_CLOEXEC));
  if (!file) {
    const int error = errno;
    log::write(log::error, "Open file '%s' for DSA check fail  %u!", name.c_str(),
               static_cast<unsigned>(error));
    throw kro::exceptions::error(error, "Open file for DSA check fail!");
  }
  return file;
}

}  // namespace kro::sfx::detail
