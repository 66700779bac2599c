#include <unistd.h>

#include <cstdint>

namespace kro::root::detail {

// Used by the one-time initialisation of the hashing code.
uint32_t system_page_size() {
  const long size = sysconf(_SC_PAGESIZE);
  return size > 0 ? static_cast<uint32_t>(size) : 4096u;
}

}  // namespace kro::root::detail
