#include "systools/os_version.h"

#include <gtest/gtest.h>

namespace {

namespace osv = kro::environment::os_version;

// The test prefix is Wine's default 32-bit one: Windows 7 SP1 workstation on
// an x86 machine (IsWow64Process2 reports native machine 0x14C there).
TEST(os_version_wine, facts_of_the_default_prefix) {
  const osv::facts f = osv::raw_facts();
  EXPECT_EQ(f.major, 6u);
  EXPECT_EQ(f.minor, 1u);
  EXPECT_EQ(f.build, 7601u);
  EXPECT_EQ(f.platform_id, 2u);
  EXPECT_EQ(f.service_pack, L"Service Pack 1");
  EXPECT_EQ(f.sp_major, 1u);
  EXPECT_EQ(f.product_type, osv::product_workstation);
  EXPECT_EQ(f.platform, osv::platform_type::x86);

  EXPECT_TRUE(osv::is_workstation());
  EXPECT_FALSE(osv::is_arm64());
  EXPECT_TRUE(osv::is_windows7_sp(1));
  EXPECT_FALSE(osv::is_windows7_sp(2));
  EXPECT_EQ(osv::platform_name(), L"x86");
  EXPECT_EQ(osv::display_name(), L"Windows 7 SP1 x86");
  EXPECT_NE(f.product_kind, 0u);  // GetProductInfo is asked from 6.0 on
}

}  // namespace
