#include "text/text.h"

#include <gtest/gtest.h>

namespace {

TEST(text, utf8_round_trip_keeps_every_plane) {
  const std::wstring wide = L"a\u00e9\u4e2d\U0001F600z";
  const std::string utf8 = kro::text::to_utf8(wide);
  EXPECT_EQ(utf8, "a\xc3\xa9\xe4\xb8\xad\xf0\x9f\x98\x80z");
  EXPECT_EQ(kro::text::from_utf8(utf8), wide);
}

TEST(text, broken_utf8_becomes_replacement_characters) {
  EXPECT_EQ(kro::text::from_utf8("a\xc3"), L"a\ufffd");
  EXPECT_EQ(kro::text::from_utf8("\xff"
                                 "b"),
            L"\ufffdb");
  EXPECT_EQ(kro::text::from_utf8("\xc0\xaf"), L"\ufffd");  // overlong '/'
}

TEST(text, format_uses_c99_conversions_in_both_widths) {
  EXPECT_EQ(kro::text::format("%s=%ls %d", "k", L"v", -3), "k=v -3");
  EXPECT_EQ(kro::text::format(L"%ls=%s %u", L"k", "v", 7u), L"k=v 7");
  const std::wstring long_text(5000, L'x');
  EXPECT_EQ(kro::text::format(L"[%ls]", long_text.c_str()).size(), 5002u);
}

TEST(text, nocase_compare_and_search) {
  EXPECT_TRUE(kro::text::equals_nocase(L"Lang-ID", L"lang-id"));
  EXPECT_FALSE(kro::text::equals_nocase(L"lang", L"lang-id"));
  EXPECT_TRUE(kro::text::equals_nocase(L"\u00c4\u0416", L"\u00e4\u0436"));
  EXPECT_EQ(kro::text::find_nocase(L"a /SILENT b", L"/silent"), 2u);
  EXPECT_EQ(kro::text::find_nocase(L"a /silen", L"/silent"), std::wstring_view::npos);
}

}  // namespace
