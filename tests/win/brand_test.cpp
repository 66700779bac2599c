#include "sfx/brand.h"

#include <gtest/gtest.h>
#include <windows.h>

namespace {

// win_tests carries the program's version block with ProductId "orvex-morrow".
TEST(brand_image, record_of_the_running_image) {
  const kro::sfx::brand_info& brand = kro::sfx::brand_record();
  EXPECT_EQ(brand.number, 1u);
  EXPECT_EQ(brand.product_id, L"orvex-morrow");
  EXPECT_EQ(brand.company_folder, L"Orvex Software");
  EXPECT_EQ(&kro::sfx::brand_record(), &brand);
}

TEST(brand_image, walker_reads_the_block_the_resource_functions_find) {
  // The same block through the loader's resource functions.
  HMODULE module = GetModuleHandleW(nullptr);
  HRSRC info = FindResourceW(module, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(16));
  ASSERT_NE(info, nullptr);
  const auto* data = static_cast<const uint8_t*>(LockResource(LoadResource(module, info)));
  const std::span<const uint8_t> block(data, SizeofResource(module, info));
  EXPECT_EQ(kro::sfx::find_version_string(block, L"CompanyName"), L"Orvex Software");
  EXPECT_EQ(kro::sfx::find_version_string(block, L"originalfilename"), L"sfx.exe");
  EXPECT_EQ(kro::sfx::product_id_from_version_block(block), L"orvex-morrow");

  const auto* base = reinterpret_cast<const uint8_t*>(module);
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(
      base + reinterpret_cast<const IMAGE_DOS_HEADER*>(base)->e_lfanew);
  const std::span<const uint8_t> found =
      kro::sfx::find_version_resource(std::span<const uint8_t>(base, nt->OptionalHeader.SizeOfImage));
  EXPECT_EQ(found.data(), block.data());
  EXPECT_EQ(found.size(), block.size());
}

}  // namespace
