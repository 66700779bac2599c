#include "systools/os_version.h"

#include <gtest/gtest.h>

#include "exceptions/exceptions.h"

namespace {

namespace osv = kro::environment::os_version;
using osv::platform_type;

constexpr uint8_t ws = osv::product_workstation;
constexpr uint8_t dc = osv::product_domain_controller;
constexpr uint8_t srv = osv::product_server;

osv::facts make(uint32_t major, uint32_t minor, uint32_t build, uint8_t product_type, uint16_t sp = 0,
                platform_type platform = platform_type::x64, uint16_t suite = 0) {
  osv::facts f;
  f.major = major;
  f.minor = minor;
  f.build = build;
  f.product_type = product_type;
  f.sp_major = sp;
  f.platform = platform;
  f.suite_mask = suite;
  return f;
}

TEST(os_version, display_names) {
  static const struct {
    osv::facts f;
    bool server_r2;
    const wchar_t* expected;
  } cases[] = {
      {make(5, 0, 2195, ws, 4, platform_type::x86), false, L"Windows 2000 SP4 x86"},
      {make(5, 1, 2600, ws, 3, platform_type::x86), false, L"Windows XP SP3 x86"},
      {make(5, 2, 3790, ws, 2), false, L"Windows XP SP2 x64"},
      {make(5, 2, 3790, ws, 2), true, L"Windows XP SP2 x64"},  // R2 only matters for servers
      {make(5, 2, 3790, srv, 2, platform_type::x86, 0x8000), true, L"Windows Home Server SP2 x86"},
      {make(5, 2, 3790, srv, 2), true, L"Windows Server 2003 R2 SP2 x64"},
      {make(5, 2, 3790, dc, 0, platform_type::x86), false, L"Windows Server 2003 x86"},
      {make(5, 3, 1, ws), false, L"Windows 5.3.1 x64"},
      {make(6, 0, 6002, ws, 2, platform_type::x86), false, L"Windows Vista SP2 x86"},
      {make(6, 0, 6002, srv, 2), false, L"Windows Server 2008 SP2 x64"},
      {make(6, 1, 7601, ws, 1), false, L"Windows 7 SP1 x64"},
      {make(6, 1, 7600, ws, 0, platform_type::x86), false, L"Windows 7 x86"},
      {make(6, 1, 7601, dc, 1), false, L"Windows Server 2008 R2 SP1 x64"},
      {make(6, 2, 9200, ws), false, L"Windows 8 x64"},
      {make(6, 2, 9200, srv), false, L"Windows Server 2012 x64"},
      {make(6, 3, 9600, ws, 0, platform_type::arm), false, L"Windows 8.1 arm"},
      {make(6, 3, 9600, srv), false, L"Windows Server 2012 R2 x64"},
      {make(6, 4, 9841, ws), false, L"Windows 6.4.9841 x64"},
      {make(10, 0, 14393, srv), false, L"Windows Server 2016 (10.0.14393) x64"},
      {make(10, 0, 17762, srv), false, L"Windows Server 2016 (10.0.17762) x64"},
      {make(10, 0, 17763, srv), false, L"Windows Server 2019 (10.0.17763) x64"},
      {make(10, 0, 20348, dc), false, L"Windows Server 2019 (10.0.20348) x64"},
      {make(10, 0, 14393, ws), false, L"Windows 10 (10.0.14393) x64"},
      {make(10, 0, 17763, ws), false, L"Windows 10 (10.0.17763) x64"},
      {make(10, 0, 19045, ws), false, L"Windows 10 (10.0.19045) x64"},
      {make(10, 0, 22631, ws, 0, platform_type::arm64), false, L"Windows 10 (10.0.22631) arm64"},
      {make(11, 0, 30000, ws), false, L"Windows 11.0.30000 x64"},
      {make(4, 0, 1381, ws, 6, platform_type::x86), false, L"Windows 4.0.1381 SP6 x86"},
  };
  for (const auto& row : cases) {
    const std::wstring what = osv::display_name(row.f, row.server_r2);
    EXPECT_EQ(what, row.expected) << testing::PrintToString(std::wstring(row.expected));
  }
}

TEST(os_version, platform_names_and_machines) {
  static constexpr struct {
    uint32_t machine;
    platform_type platform;
    const wchar_t* name;
  } cases[] = {
      {0x014C, platform_type::x86, L"x86"},     {0x8664, platform_type::x64, L"x64"},
      {0x0200, platform_type::ia64, L"ia64"},   {0x01C4, platform_type::arm, L"arm"},
      {0xAA64, platform_type::arm64, L"arm64"},
  };
  for (const auto& row : cases) {
    EXPECT_EQ(osv::platform_from_machine(row.machine), row.platform) << row.machine;
    EXPECT_EQ(osv::platform_name(row.platform), row.name) << row.machine;
    EXPECT_EQ(static_cast<uint32_t>(row.platform), static_cast<uint32_t>(&row - cases) + 1);
  }

  for (const uint32_t machine : {0u, 0x01C0u, 0x0166u, 0xFFFFu, 0x14C0000u}) {
    try {
      osv::platform_from_machine(machine);
      ADD_FAILURE() << machine << ": no exception";
    } catch (const kro::exceptions::error& e) {
      EXPECT_EQ(e.code(), 1630) << machine;
      EXPECT_EQ(std::string(e.what()),
                "Unable to convert image machine (" + std::to_string(machine) + ") to platform enumeration!");
    }
  }
  for (const uint32_t value : {0u, 6u}) {
    try {
      osv::platform_name(static_cast<platform_type>(value));
      ADD_FAILURE() << value << ": no exception";
    } catch (const kro::exceptions::error& e) {
      EXPECT_EQ(e.code(), -1);
      EXPECT_EQ(std::string(e.what()), "Unable to translate platform name (" + std::to_string(value) + ")!");
    }
  }
  EXPECT_THROW(osv::display_name(make(6, 1, 7601, ws, 1, static_cast<platform_type>(9)), false),
               kro::exceptions::error);
}

TEST(os_version, windows7_service_pack_check) {
  static const struct {
    osv::facts f;
    uint32_t sp;
    bool expected;
  } cases[] = {
      {make(6, 1, 7600, ws, 0), 1, false},  {make(6, 1, 7600, ws, 0), 0, true},
      {make(6, 1, 7601, ws, 1), 1, true},   {make(6, 1, 7601, ws, 1), 2, false},
      {make(6, 0, 6002, ws, 2), 0, false},  {make(6, 0, 6002, ws, 2), 1, false},
      {make(5, 2, 3790, srv, 2), 0, false}, {make(5, 9, 1, ws, 9), 0, false},
      {make(6, 2, 9200, ws, 0), 1, true},   {make(6, 3, 9600, srv, 0), 5, true},
      {make(10, 0, 19045, ws, 0), 1, true}, {make(7, 0, 1, ws, 0), 1, true},
  };
  for (const auto& row : cases) {
    EXPECT_EQ(osv::is_windows7_sp_or_later(row.f, row.sp), row.expected)
        << row.f.major << "." << row.f.minor << " SP" << row.f.sp_major << " n=" << row.sp;
  }
}

TEST(os_version, queries_answer_from_one_set_of_facts) {
  const osv::facts f = osv::raw_facts();
  EXPECT_EQ(osv::major(), f.major);
  EXPECT_EQ(osv::minor(), f.minor);
  EXPECT_EQ(osv::build(), f.build);
  EXPECT_EQ(osv::platform(), f.platform);
  EXPECT_EQ(osv::is_arm64(), f.platform == platform_type::arm64);
  EXPECT_EQ(osv::is_workstation(), f.product_type == osv::product_workstation);
  EXPECT_EQ(osv::is_windows7_sp(1), osv::is_windows7_sp_or_later(f, 1));
  EXPECT_EQ(osv::platform_name(), osv::platform_name(f.platform));
  EXPECT_EQ(osv::display_name(), osv::display_name(f, false));
  const auto instance = osv::detail::os_version_private::instance();
  EXPECT_EQ(instance, osv::detail::os_version_private::instance());
  EXPECT_EQ(&instance->display_name(), &instance->display_name());  // cached
}

}  // namespace
