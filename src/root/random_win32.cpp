#include <windows.h>
// ntsecapi.h needs windows.h first.
#include <ntsecapi.h>

#include "exceptions/exceptions.h"
#include "root/random.h"

namespace kro::root::detail {

void os_random_bytes(void* out, size_t n) {
  auto* p = static_cast<unsigned char*>(out);
  while (n > 0) {
    const ULONG take = n > 0x10000 ? 0x10000 : static_cast<ULONG>(n);
    if (!RtlGenRandom(p, take)) {
      throw exceptions::error(static_cast<int32_t>(GetLastError()), "The cryptographic provider failed!");
    }
    p += take;
    n -= take;
  }
}

}  // namespace kro::root::detail
