#include <windows.h>

#include <cstdint>

namespace kro::root::detail {

// Used by the one-time initialisation of the hashing code.
uint32_t system_page_size() {
  SYSTEM_INFO info{};
  GetSystemInfo(&info);
  return info.dwPageSize ? static_cast<uint32_t>(info.dwPageSize) : 4096u;
}

}  // namespace kro::root::detail
