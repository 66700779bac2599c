#include "systools/os_version.h"

#include <atomic>
#include <iterator>

#include "exceptions/exceptions.h"
#include "sfx/error_codes.h"
#include "text/text.h"

namespace kro::environment::os_version {
namespace {

struct platform_row {
  platform_type platform;
  const wchar_t* name;
  uint32_t machine;
};

constexpr platform_row platforms[] = {
    {platform_type::x86, L"x86", 0x014C},     {platform_type::x64, L"x64", 0x8664},
    {platform_type::ia64, L"ia64", 0x0200},   {platform_type::arm, L"arm", 0x01C4},
    {platform_type::arm64, L"arm64", 0xAA64},
};

// Name by version for major 6: workstation / other.
struct name_pair {
  const wchar_t* workstation;
  const wchar_t* server;
};
constexpr name_pair windows6[] = {
    {L"Windows Vista", L"Windows Server 2008"},
    {L"Windows 7", L"Windows Server 2008 R2"},
    {L"Windows 8", L"Windows Server 2012"},
    {L"Windows 8.1", L"Windows Server 2012 R2"},
};

constexpr uint32_t first_server_2019_build = 17763;

std::wstring version_name(const facts& f, bool server_r2) {
  const bool workstation = f.product_type == product_workstation;
  switch (f.major) {
    case 5:
      if (f.minor == 0) return L"Windows 2000";
      if (f.minor == 1) return L"Windows XP";
      if (f.minor == 2) {
        if (workstation) return L"Windows XP";
        if ((f.suite_mask & suite_home_server) != 0) return L"Windows Home Server";
        return server_r2 ? L"Windows Server 2003 R2" : L"Windows Server 2003";
      }
      break;
    case 6:
      if (f.minor < std::size(windows6))
        return workstation ? windows6[f.minor].workstation : windows6[f.minor].server;
      break;
    case 10: {
      const wchar_t* name = workstation                         ? L"Windows 10"
                            : f.build < first_server_2019_build ? L"Windows Server 2016"
                                                                : L"Windows Server 2019";
      return text::format(L"%ls (10.0.%lu)", name, static_cast<unsigned long>(f.build));
    }
    default:
      break;
  }
  return text::format(L"Windows %lu.%lu.%lu", static_cast<unsigned long>(f.major),
                      static_cast<unsigned long>(f.minor), static_cast<unsigned long>(f.build));
}

}  // namespace

bool is_windows7_sp_or_later(const facts& f, uint32_t sp) {
  if (f.major != 6) return f.major > 6;
  if (f.minor != 1) return f.minor > 1;
  return f.sp_major >= sp;
}

std::wstring platform_name(platform_type platform) {
  for (const platform_row& row : platforms) {
    if (row.platform == platform) return row.name;
  }
  throw kro::exceptions::error(codes::none, "Unable to translate platform name (%d)!",
                               static_cast<int>(platform));
}

platform_type platform_from_machine(uint32_t machine) {
  for (const platform_row& row : platforms) {
    if (row.machine == machine) return row.platform;
  }
  throw kro::exceptions::error(codes::unknown_machine,
                               "Unable to convert image machine (%d) to platform enumeration!",
                               static_cast<int>(machine));
}

std::wstring display_name(const facts& f, bool server_r2) {
  std::wstring name = version_name(f, server_r2);
  if (f.sp_major != 0) name += text::format(L" SP%u", static_cast<unsigned>(f.sp_major));
  return name + L" " + platform_name(f.platform);
}

namespace detail {
namespace {

// Set once the process-wide instance has been destroyed at exit; trivially
// destructible, so it stays readable after the holder is gone.
std::atomic<bool> shut_down{false};

struct holder {
  std::mutex lock;
  std::shared_ptr<os_version_private> instance;
  ~holder() {
    shut_down = true;
    std::lock_guard<std::mutex> guard(lock);
    instance.reset();
  }
};

holder& the_holder() {
  static holder h;
  return h;
}

}  // namespace

os_version_private::os_version_private() : m_facts(gather()) {}

const std::wstring& os_version_private::display_name() {
  std::call_once(m_display_once, [this] {
    const bool r2 = m_facts.major == 5 && m_facts.minor == 2 && m_facts.product_type != product_workstation &&
                    server_r2();
    m_display_name = os_version::display_name(m_facts, r2);
  });
  return m_display_name;
}

std::shared_ptr<os_version_private> os_version_private::instance() {
  if (shut_down) {
    throw kro::exceptions::error(codes::none,
                                 "Operating system facts are no longer available at process exit!");
  }
  holder& h = the_holder();
  std::lock_guard<std::mutex> guard(h.lock);
  if (!h.instance) h.instance = std::make_shared<os_version_private>();
  return h.instance;
}

}  // namespace detail

uint32_t major() { return detail::os_version_private::instance()->get().major; }
uint32_t minor() { return detail::os_version_private::instance()->get().minor; }
uint32_t build() { return detail::os_version_private::instance()->get().build; }
platform_type platform() { return detail::os_version_private::instance()->get().platform; }
bool is_arm64() { return platform() == platform_type::arm64; }
bool is_workstation() {
  return detail::os_version_private::instance()->get().product_type == product_workstation;
}
bool is_windows7_sp(uint32_t sp) {
  return is_windows7_sp_or_later(detail::os_version_private::instance()->get(), sp);
}
std::wstring platform_name() { return platform_name(platform()); }
std::wstring display_name() { return detail::os_version_private::instance()->display_name(); }
facts raw_facts() { return detail::os_version_private::instance()->get(); }

}  // namespace kro::environment::os_version
