#include "systools/os_version.h"

namespace kro::environment::os_version::detail {

// A fixed stand-in for native builds: Windows 10 (10.0.19045) x64 workstation.
facts gather() {
  facts f;
  f.major = 10;
  f.minor = 0;
  f.build = 19045;
  f.platform_id = 2;
  f.product_type = product_workstation;
  f.platform = platform_type::x64;
  f.product_kind = 0x30;  // professional
  return f;
}

bool server_r2() { return false; }

}  // namespace kro::environment::os_version::detail
