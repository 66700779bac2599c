#include "systools/file_version.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using kro::systools::file_version;
using kro::systools::parse_version_resource;

void put16(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  b[at] = static_cast<uint8_t>(v);
  b[at + 1] = static_cast<uint8_t>(v >> 8);
}
void put32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  put16(b, at, v & 0xFFFF);
  put16(b, at + 2, v >> 16);
}

// A VS_VERSIONINFO block as resource compilers write it: header, key,
// padding to 40, the 52-byte VS_FIXEDFILEINFO, then `children` bytes.
std::vector<uint8_t> version_block(uint32_t ms, uint32_t ls, size_t children = 0) {
  const std::u16string key = u"VS_VERSION_INFO";
  std::vector<uint8_t> b(40 + 52 + children, 0);
  put16(b, 0, static_cast<uint32_t>(b.size()));
  put16(b, 2, 52);
  for (size_t i = 0; i < key.size(); ++i) put16(b, 6 + 2 * i, key[i]);
  put32(b, 40, 0xFEEF04BD);
  put32(b, 44, 0x00010000);
  put32(b, 48, ms);
  put32(b, 52, ls);
  return b;
}

TEST(file_version, parts_come_from_the_fixed_file_version) {
  EXPECT_EQ(parse_version_resource(version_block(0x00010002, 0x00030004)), (file_version{1, 2, 3, 4}));
  EXPECT_EQ(parse_version_resource(version_block(0xFFFF0000, 0x0000FFFF, 300)),
            (file_version{65535, 0, 0, 65535}));
  // Bytes behind the block (the resource's own padding) are not read.
  std::vector<uint8_t> padded = version_block(0x00010000, 0x00000001);
  padded.resize(padded.size() + 3, 0xAA);
  EXPECT_EQ(parse_version_resource(padded), (file_version{1, 0, 0, 1}));
}

TEST(file_version, malformed_blocks_give_nothing) {
  struct test_case {
    const char* what;
    void (*damage)(std::vector<uint8_t>&);
  };
  static constexpr test_case cases[] = {
      {"empty", [](std::vector<uint8_t>& b) { b.clear(); }},
      {"header cut", [](std::vector<uint8_t>& b) { b.resize(5); }},
      {"key cut", [](std::vector<uint8_t>& b) { b.resize(20); }},
      {"value cut", [](std::vector<uint8_t>& b) { b.resize(91); }},
      {"length beyond the bytes",
       [](std::vector<uint8_t>& b) { put16(b, 0, static_cast<uint32_t>(b.size() + 1)); }},
      {"length below the header", [](std::vector<uint8_t>& b) { put16(b, 0, 4); }},
      {"length ends inside the value", [](std::vector<uint8_t>& b) { put16(b, 0, 80); }},
      {"value length too small", [](std::vector<uint8_t>& b) { put16(b, 2, 51); }},
      {"other key", [](std::vector<uint8_t>& b) { put16(b, 6, 'X'); }},
      {"key without its NUL", [](std::vector<uint8_t>& b) { put16(b, 36, 'X'); }},
      {"wrong signature", [](std::vector<uint8_t>& b) { put32(b, 40, 0xFEEF04BC); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<uint8_t> b = version_block(0x00010000, 0x00000001);
    c.damage(b);
    EXPECT_EQ(parse_version_resource(b), std::nullopt);
  }
}

}  // namespace
