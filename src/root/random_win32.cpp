// The operating system's cryptographic provider: BCryptGenRandom with the
// system's preferred generator, from bcrypt.dll loaded out of the system
// folder. (advapi32's RtlGenRandom and CryptoAPI calls are forwarders to
// cryptbase.dll and cryptsp.dll, which are not KnownDLLs: importing them
// would let a DLL of that name beside the program be loaded.)
#include <windows.h>

#include "exceptions/exceptions.h"
#include "root/random.h"
#include "systools/system_library.h"

namespace kro::root::detail {
namespace {

using gen_random_fn = LONG(WINAPI*)(void* algorithm, PUCHAR buffer, ULONG size, ULONG flags);
constexpr ULONG use_system_preferred_rng = 0x2;  // BCRYPT_USE_SYSTEM_PREFERRED_RNG

[[noreturn]] void provider_failed(int32_t code) {
  throw exceptions::error(code, "The cryptographic provider failed!");
}

}  // namespace

void os_random_bytes(void* out, size_t n) {
  const systools::unique_module bcrypt = systools::load_system_library(L"bcrypt.dll");
  if (!bcrypt) provider_failed(static_cast<int32_t>(GetLastError()));
  const auto gen_random = systools::procedure<gen_random_fn>(bcrypt, "BCryptGenRandom");
  if (!gen_random) provider_failed(static_cast<int32_t>(GetLastError()));
  auto* p = static_cast<unsigned char*>(out);
  while (n > 0) {
    const ULONG take = n > 0x10000 ? 0x10000 : static_cast<ULONG>(n);
    const LONG status = gen_random(nullptr, p, take, use_system_preferred_rng);
    if (status < 0) provider_failed(status);
    p += take;
    n -= take;
  }
}

}  // namespace kro::root::detail
