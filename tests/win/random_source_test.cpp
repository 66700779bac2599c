// The operating system's random source as the program uses it on Windows
// (bcrypt.dll from the system folder), in pieces above its call size.
#include <gtest/gtest.h>

#include <vector>

#include "root/random.h"

namespace {

TEST(random_source, os_bytes_are_filled_in_large_pieces_and_differ_between_calls) {
  // 0x10000 is the most one call asks for: this fills two and a half.
  std::vector<uint8_t> a(0x28001, 0), b(0x28001, 0);
  kro::root::detail::os_random_bytes(a.data(), a.size());
  kro::root::detail::os_random_bytes(b.data(), b.size());
  EXPECT_NE(a, b);
  // Every value appears in every piece, up to the last byte.
  for (size_t start : {size_t{0}, size_t{0x10000}, size_t{0x20000}}) {
    size_t counts[256] = {};
    for (size_t i = start; i < start + 0x8000; ++i) ++counts[a[i]];
    for (size_t v = 0; v < 256; ++v) EXPECT_GT(counts[v], 0u) << start << " " << v;
  }
  size_t zeros = 0;
  for (size_t i = a.size() - 64; i < a.size(); ++i) zeros += a[i] == 0;
  EXPECT_LT(zeros, 8u);
}

}  // namespace
