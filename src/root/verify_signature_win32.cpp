// Opening a file for the signature check (Win32).
#include <windows.h>

#include "exceptions/exceptions.h"
#include "log/logger.h"
#include "root/verify_signature.h"
#include "text/text.h"

namespace kro::sfx::detail {

files::unique_file open_for_check(const std::wstring& path) {
  files::unique_file file(::CreateFileW(path.c_str(), FILE_READ_DATA, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) {
    const DWORD error = ::GetLastError();
    log::write(log::error, "Open file '%s' for DSA check fail  %u!", text::to_utf8(path).c_str(),
               static_cast<unsigned>(error));
    throw kro::exceptions::error(static_cast<int32_t>(error), "Open file for DSA check fail!");
  }
  return file;
}

}  // namespace kro::sfx::detail
