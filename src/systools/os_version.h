#pragma once
// Facts about the running Windows: the true version (from the native version
// call, not the compatibility-shimmed one), the native processor platform
// (also when a 32-bit process runs under emulation) and the product kind.
// They are read once per process and kept; the free functions below answer
// the questions other components ask.
//
// The facts themselves and the rules built on them (names, version checks)
// are plain values and pure functions, usable and testable everywhere. Off
// Windows the gathered facts are a fixed stand-in (Windows 10 x64
// workstation), so that portable callers link.
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

namespace kro::environment::os_version {

// Native processor platform. The values are stable: other components store
// and compare them.
enum class platform_type : uint32_t {
  x86 = 1,
  x64 = 2,
  ia64 = 3,
  arm = 4,
  arm64 = 5,
};

// Product type of the version record.
inline constexpr uint8_t product_workstation = 1;
inline constexpr uint8_t product_domain_controller = 2;
inline constexpr uint8_t product_server = 3;

// Suite mask bit of Windows Home Server.
inline constexpr uint16_t suite_home_server = 0x8000;

struct facts {
  uint32_t major = 0;
  uint32_t minor = 0;
  uint32_t build = 0;
  uint32_t platform_id = 0;
  std::wstring service_pack;  // "Service Pack 1"
  uint16_t sp_major = 0;
  uint16_t sp_minor = 0;
  uint16_t suite_mask = 0;
  uint8_t product_type = 0;
  platform_type platform = platform_type::x86;
  uint32_t product_kind = 0;  // GetProductInfo; 0 when not queried
};

// ---- rules over facts ----------------------------------------------------------

// Windows 7 with at least service pack `sp`, or any later version: false
// below 6.1 and for 6.1 with a smaller service-pack number.
bool is_windows7_sp_or_later(const facts& f, uint32_t sp);

// "x86", "x64", "ia64", "arm", "arm64". Raises kro::exceptions::error
// (code -1) "Unable to translate platform name (%d)!" for other values.
std::wstring platform_name(platform_type platform);

// The platform of a native image machine type (0x014C, 0x8664, 0x0200,
// 0x01C4, 0xAA64). Raises kro::exceptions::error (code 1630) "Unable to
// convert image machine (%d) to platform enumeration!" for other values.
platform_type platform_from_machine(uint32_t machine);

// "Windows 7 SP1 x64", "Windows 10 (10.0.19045) x64",
// "Windows Server 2019 (10.0.17763) x64", "Windows 6.4.9841 x86".
// `server_r2` is GetSystemMetrics(SM_SERVERR2) != 0 and matters only for a
// 5.2 system that is no workstation.
std::wstring display_name(const facts& f, bool server_r2);

// ---- facts of this process -------------------------------------------------------

uint32_t major();
uint32_t minor();
uint32_t build();
platform_type platform();
bool is_arm64();
bool is_workstation();
bool is_windows7_sp(uint32_t sp);
std::wstring platform_name();
std::wstring display_name();  // computed once, then cached
facts raw_facts();

namespace detail {

// The facts of this process, gathered once. Held by shared ownership: each
// query holds a reference while it runs. After the process-wide instance has
// been destroyed at exit, instance() raises instead of gathering anew.
class os_version_private {
 public:
  os_version_private();  // gathers; raises kro::exceptions::error on failure
  os_version_private(const os_version_private&) = delete;
  os_version_private& operator=(const os_version_private&) = delete;

  const facts& get() const { return m_facts; }
  const std::wstring& display_name();

  static std::shared_ptr<os_version_private> instance();

 private:
  facts m_facts;
  std::once_flag m_display_once;
  std::wstring m_display_name;
};

// Platform parts.
facts gather();
bool server_r2();

}  // namespace detail
}  // namespace kro::environment::os_version
