// The byte view every reader of outside bytes goes through: bounds that do
// not wrap, little-endian reads, sub-views, and the same results over
// memory and over small windows of a file mapping (payload walk, signature
// check and LZMA input read a package through both).
#include "bytes/byte_view.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <vector>

#include "exceptions/exceptions.h"
#include "files/file_mapping.h"
#include "packers/lzma_packer.h"
#include "pe_fixture.h"
#include "root/dsa.h"
#include "root/verify_signature.h"
#include "sfx/payload_enumerator.h"

namespace {

using kro::bytes::view;

constexpr uint64_t max64 = std::numeric_limits<uint64_t>::max();

TEST(byte_view, bounds_never_wrap) {
  const std::vector<uint8_t> data = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
  const view v(data);
  struct range {
    uint64_t offset;
    uint64_t n;
    bool inside;
  } cases[] = {
      {0, 10, true},           {10, 0, true},           {9, 1, true},
      {9, 2, false},           {11, 0, false},          {0, 11, false},
      {max64, 1, false},       {1, max64, false},       {max64, 0, false},
      {0xFFFFFFFFu, 2, false}, {2, 0xFFFFFFFFu, false},
  };
  for (const range& r : cases) {
    SCOPED_TRACE(testing::Message() << r.offset << "+" << r.n);
    EXPECT_EQ(v.contains(r.offset, r.n), r.inside);
    if (r.n <= 16) {
      if (r.inside) {
        EXPECT_EQ(v.read(r.offset, static_cast<size_t>(r.n)).size(), r.n);
      } else {
        try {
          (void)v.read(r.offset, static_cast<size_t>(r.n));
          ADD_FAILURE() << "read outside the view";
        } catch (const kro::exceptions::error& e) {
          EXPECT_EQ(e.code(), 5);
          EXPECT_STREQ(e.what(), "Unable to read outside of the mapped view!");
        }
      }
    }
  }
  EXPECT_TRUE(view(nullptr, 100).empty());
}

TEST(byte_view, little_endian_reads_and_sub_views) {
  const std::vector<uint8_t> data = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09};
  const view v(data);
  EXPECT_EQ(v.u8(8), 0x09);
  EXPECT_EQ(v.u16(0), 0x0201);
  EXPECT_EQ(v.u32(1), 0x05040302u);
  EXPECT_EQ(v.u64(1), 0x0908070605040302ull);
  EXPECT_THROW((void)v.u64(2), kro::exceptions::error);

  const view part = v.sub(4, 3);
  EXPECT_EQ(part.size(), 3u);
  EXPECT_EQ(part.u16(1), 0x0706);
  EXPECT_THROW((void)part.u32(0), kro::exceptions::error);  // the parent's bytes stay out of reach
  EXPECT_THROW((void)v.sub(8, 2), kro::exceptions::error);
  EXPECT_TRUE(v.equals(2, std::vector<uint8_t>{3, 4}));
  EXPECT_FALSE(v.equals(8, std::vector<uint8_t>{9, 10}));

  std::vector<uint8_t> out(6, 0);
  kro::bytes::store_le<uint32_t>(out, 2, 0xA1B2C3D4u);
  EXPECT_EQ(out, (std::vector<uint8_t>{0, 0, 0xD4, 0xC3, 0xB2, 0xA1}));
  EXPECT_THROW(kro::bytes::store_le<uint32_t>(out, 3, 0), kro::exceptions::error);
}

// A package read through windows far smaller than its headers, records and
// LZMA stream: every reader gets the same answers as over memory.
TEST(byte_view, readers_work_through_small_windows_of_a_mapping) {
  kro::packers::lzma_packer packer;
  std::vector<uint8_t> text(5000);
  for (size_t i = 0; i < text.size(); ++i) text[i] = static_cast<uint8_t>("windows "[i % 8] + i / 700);
  const std::vector<uint8_t> packed = packer.pack(text.data(), text.size());

  const std::vector<uint8_t> package = kro::test::signed_package(
      kro::test::image_with_payload(kro::test::pe_fixture(), [&](kro::sfx::payload_writer& w) {
        w.add_file(L"a.txt", text.data(), text.size(), 7);
        w.add_file(L"b.txt", text.data(), 100, 8);
        w.add_end();
      }));
  const auto mapping = kro::test::map_bytes(package);
  const auto packed_mapping = kro::test::map_bytes(packed);

  for (const uint32_t window : {7u, 64u, 4096u}) {
    SCOPED_TRACE(window);
    kro::files::mapping_windows windows(*mapping, window);
    const view file(windows);
    ASSERT_EQ(file.size(), package.size());
    EXPECT_EQ(file.copy(), package);

    kro::sfx::payload_enumerator through_windows(file);
    kro::sfx::payload_enumerator in_memory{view(package)};
    EXPECT_EQ(through_windows.payload_start(), in_memory.payload_start());
    for (bool a = through_windows.first(), b = in_memory.first(); a || b;
         a = through_windows.next(), b = in_memory.next()) {
      ASSERT_EQ(a, b);
      EXPECT_EQ(through_windows.current()->alias, in_memory.current()->alias);
      EXPECT_EQ(through_windows.current()->sha256, in_memory.current()->sha256);
      EXPECT_EQ(through_windows.current()->data_offset, in_memory.current()->data_offset);
    }

    kro::files::mapping_windows packed_windows(*packed_mapping, window);
    EXPECT_EQ(packer.unpack(view(packed_windows)), text);

    EXPECT_TRUE(kro::sfx::signature::check_block(file, kro::root::dsa::sfx_key_set));
    const auto where = kro::sfx::signature::locate(file);
    EXPECT_EQ(
        kro::sfx::signature::covered_digest(file.first(where.covered_size), where.checksum_offset),
        kro::sfx::signature::covered_digest(view(package).first(where.covered_size), where.checksum_offset));
  }
}

}  // namespace
