#include <windows.h>

#include <cstdint>
#include <memory>
#include <type_traits>
#include <vector>

#include "log/logger.h"
#include "sfx/module_dll.h"

namespace kro::sfx::module_dll {
namespace {

using check_channel_fn = uint32_t(__cdecl*)(const wchar_t*, const wchar_t*, wchar_t*, uint32_t*, uint32_t);

struct library_deleter {
  void operator()(HMODULE module) const noexcept { FreeLibrary(module); }
};
using unique_library = std::unique_ptr<std::remove_pointer_t<HMODULE>, library_deleter>;

}  // namespace

std::optional<std::wstring> ask_channel(const std::wstring& path, const std::wstring& product,
                                        const std::wstring& channel) {
  const unique_library library(LoadLibraryW(path.c_str()));
  if (!library) {
    log::write(log::error, L"Loading MOD:'%ls' fail %u.", path.c_str(),
               static_cast<unsigned>(GetLastError()));
    return std::nullopt;
  }
  const auto check = reinterpret_cast<check_channel_fn>(
      reinterpret_cast<void*>(GetProcAddress(library.get(), "CheckChannelCompatibility")));
  if (!check) {
    log::write(log::error, "MOD.dll function not found");
    return std::nullopt;
  }
  uint32_t length = first_capacity;
  std::vector<wchar_t> answer(length);
  uint32_t result = check(product.c_str(), channel.c_str(), answer.data(), &length, 0);
  if (result == more_data) {
    // A DLL that asks for no room at all still gets a valid buffer.
    answer.assign(length ? length : 1, L'\0');
    result = check(product.c_str(), channel.c_str(), answer.data(), &length, 0);
  }
  if (result != 0) {
    log::write(log::error, "Calling MOD.dll function fail %u", static_cast<unsigned>(result));
    return std::nullopt;
  }
  // A length beyond the buffer would read past it: the answer ends there.
  if (length > answer.size()) length = static_cast<uint32_t>(answer.size());
  return std::wstring(answer.data(), length);
}

}  // namespace kro::sfx::module_dll
