// Module DLLs are Windows images: natively none can be loaded.
#include <cerrno>

#include "log/logger.h"
#include "sfx/module_dll.h"

namespace kro::sfx::module_dll {

std::optional<std::wstring> ask_channel(const std::wstring& path, const std::wstring&, const std::wstring&) {
  log::write(log::error, L"Loading MOD:'%ls' fail %u.", path.c_str(), static_cast<unsigned>(ENOEXEC));
  return std::nullopt;
}

}  // namespace kro::sfx::module_dll
