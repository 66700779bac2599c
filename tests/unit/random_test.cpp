#include "root/random.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

bool is_guid_shape(const std::wstring& g) {
  if (g.size() != 36) return false;
  for (size_t i = 0; i < g.size(); ++i) {
    const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
    const wchar_t c = g[i];
    if (dash != (c == L'-')) return false;
    if (!dash && !((c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f'))) return false;
  }
  return true;
}

TEST(random, guid_text_of_given_bytes_sets_version_and_variant) {
  struct test_case {
    uint8_t bytes[16];
    const wchar_t* text;
  };
  static constexpr test_case cases[] = {
      {{0}, L"00000000-0000-4000-8000-000000000000"},
      {{0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff},
       L"ffffffff-ffff-4fff-bfff-ffffffffffff"},
      // Data1..Data3 are little-endian fields, Data4 bytes in order.
      {{0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0a, 0x0b, 0x0c, 0x0d, 0x0e, 0x0f, 0x10},
       L"04030201-0605-4807-890a-0b0c0d0e0f10"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.text);
    EXPECT_EQ(kro::root::guid_text(c.bytes), c.text);
  }
}

TEST(random, new_guids_are_distinct_version_4_texts) {
  std::set<std::wstring> seen;
  for (int i = 0; i < 2000; ++i) {
    const std::wstring g = kro::root::new_guid_text();
    ASSERT_TRUE(is_guid_shape(g)) << g.c_str();
    EXPECT_EQ(g[14], L'4');
    EXPECT_NE(std::wstring(L"89ab").find(g[19]), std::wstring::npos) << g.c_str();
    seen.insert(g);
  }
  EXPECT_EQ(seen.size(), 2000u);
}

TEST(random, bytes_cover_all_values_and_never_repeat_across_calls_or_threads) {
  // Odd sizes straddle the generator's 64-byte blocks.
  std::vector<uint8_t> a(8195), b(8195);
  kro::root::random_bytes(a.data(), a.size());
  kro::root::random_bytes(b.data(), b.size());
  EXPECT_NE(a, b);
  size_t counts[256] = {};
  for (uint8_t v : a) ++counts[v];
  for (size_t v = 0; v < 256; ++v) EXPECT_GT(counts[v], 0u) << v;  // 8195 draws: all values appear

  std::vector<std::vector<std::wstring>> per_thread(4);
  std::vector<std::thread> threads;
  for (auto& list : per_thread)
    threads.emplace_back([&list] {
      for (int i = 0; i < 500; ++i) list.push_back(kro::root::new_guid_text());
    });
  for (auto& t : threads) t.join();
  std::set<std::wstring> all;
  for (const auto& list : per_thread) all.insert(list.begin(), list.end());
  EXPECT_EQ(all.size(), 2000u);
}

}  // namespace
