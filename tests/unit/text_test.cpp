#include "text/text.h"

#include <gtest/gtest.h>

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cwchar>

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

// Unchecked formats, so that the table can hold what a compiler would refuse.
std::string narrow(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string out = kro::text::vformat(format, args);
  va_end(args);
  return out;
}

std::wstring wide(const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  std::wstring out = kro::text::vformat(format, args);
  va_end(args);
  return out;
}

constexpr bool utf16 = sizeof(wchar_t) == 2;

TEST(text, narrow_format_writes_utf8_whatever_the_argument) {
  const char two_bytes[2] = {'a', 'b'};  // no terminator: a precision reads no further
  const char* volatile none = nullptr;
  int stored = 7;
  struct row {
    const char* what;
    std::string got;
    std::string expected;
  };
  const row rows[] = {
      {"%ls Cyrillic", narrow("[%ls]", L"\u041f\u0440\u0438\u0432\u0435\u0442"),
       "[\xd0\x9f\xd1\x80\xd0\xb8\xd0\xb2\xd0\xb5\xd1\x82]"},
      {"%ls CJK and emoji", narrow("%ls", L"\u4e2d\u6587\U0001F600"),
       "\xe4\xb8\xad\xe6\x96\x87\xf0\x9f\x98\x80"},
      {"%ls Latin-1", narrow("%ls", L"gr\u00fc\u00df"), "gr\xc3\xbc\xc3\x9f"},
      {"%ls lone surrogate", narrow("%ls|", L"a\xD800z"), "a\xef\xbf\xbdz|"},
      {"%s copies UTF-8", narrow("%s=%ls", "\xd0\x96", L"\u0416"), "\xd0\x96=\xd0\x96"},
      {"%s copies any bytes", narrow("%s", "\xff\xfe"), "\xff\xfe"},
      {"width in bytes", narrow("[%5s|%-5s|%6ls]", "ab", "ab", L"\u00e9\u00e9"),
       "[   ab|ab   |  \xc3\xa9\xc3\xa9]"},
      {"star width", narrow("[%*s|%*s]", 3, "x", -3, "y"), "[  x|y  ]"},
      {"precision in bytes", narrow("%.2s|%.*s|%.*s", "abc", 1, "abc", -1, "abc"), "ab|a|abc"},
      {"precision keeps sequences whole", narrow("%.3s|%.1s", "\xc3\xa9\xc3\xa9", "\xc3\xa9"), "\xc3\xa9|"},
      {"precision of %ls", narrow("%.4ls|%.3ls|%.3ls", L"a\u4e2db", L"a\u4e2db", L"\U0001F600"),
       "a\xe4\xb8\xad|a|"},
      {"precision stops reading", narrow("%.2s", two_bytes), "ab"},
      {"null strings", narrow("%s|%ls", static_cast<const char*>(none), static_cast<const wchar_t*>(nullptr)),
       "(null)|(null)"},
      {"characters",
       narrow("%c%lc%lc%3c", 'a', static_cast<wint_t>(L'\u0416'), static_cast<wint_t>(0xDC00), 'z'),
       "a\xd0\x96\xef\xbf\xbd  z"},
      {"integers",
       narrow("%d %5d %-4d| %05d %+d %x %X %#o %u", -3, 42, 7, 42, 5, 255u, 255u, 8u, 4000000000u),
       "-3    42 7   | 00042 +5 ff FF 010 4000000000"},
      {"length modifiers",
       narrow("%hhx %hd %ld %lu %lld %llu %jd %zu %zd %td", 0x1ff, 70000, -5L, 5UL, -9000000000LL,
              18000000000000000000ULL, static_cast<intmax_t>(-1), static_cast<size_t>(12),
              static_cast<ptrdiff_t>(-12), static_cast<ptrdiff_t>(3)),
       "ff 4464 -5 5 -9000000000 18000000000000000000 -1 12 -12 3"},
      {"precision of numbers",
       narrow("%.3d %*.*d %8.3f %-8.2e| %g %Lf", 7, 6, 4, 12, 3.14159, 1234.5, 0.5, 1.5L),
       "007   0012    3.142 1.23e+03| 0.5 1.500000"},
      {"percent and grouping", narrow("100%% %'d", 1234567), "100% 1234567"},
      {"%n stores nothing", narrow("ab%nc", &stored), "abc"},
      {"unknown conversion ends formatting", narrow("a%d %y %d %s", 1, 2), "a1 %y %d %s"},
      {"positional conversion ends formatting", narrow("a%1$s", "x"), "a%1$s"},
      {"width beyond int", narrow("<%99999999999d>", 1), "<%99999999999d>"},
      {"length that does not fit", narrow("%hs %d", "x", 1), "%hs %d"},
      {"lone percent at the end", narrow("50%"), "50%"},
  };
  EXPECT_EQ(stored, 7);
  for (const row& r : rows) EXPECT_EQ(r.got, r.expected) << r.what;
}

TEST(text, wide_format_converts_narrow_arguments_from_utf8) {
  struct row {
    const char* what;
    std::wstring got;
    std::wstring expected;
  };
  const row rows[] = {
      {"%s from UTF-8", wide(L"[%s]", "\xd0\x9f\xe4\xb8\xad\xf0\x9f\x98\x80"), L"[\u041f\u4e2d\U0001F600]"},
      {"%ls copies", wide(L"%ls=%s %u", L"k\u4e2d", "v", 7u), L"k\u4e2d=v 7"},
      {"broken UTF-8",
       wide(L"%s",
            "a\xff"
            "b\xc3"),
       L"a\ufffdb\ufffd"},
      {"width in wide characters", wide(L"[%4ls|%-4s]", L"\u00e9", "\xc3\xa9"), L"[   \u00e9|\u00e9   ]"},
      {"emoji width", wide(L"[%3ls]", L"\U0001F600"), utf16 ? L"[ \U0001F600]" : L"[  \U0001F600]"},
      {"precision keeps pairs whole", wide(L"%.2ls|%.2s", L"a\U0001F600", "a\xf0\x9f\x98\x80"),
       utf16 ? L"a|a" : L"a\U0001F600|a\U0001F600"},
      {"precision", wide(L"%.1ls|%.*s", L"xyz", 2, "xyz"), L"x|xy"},
      {"characters", wide(L"%c%lc%c", 'a', static_cast<wint_t>(L'\u4e2d'), 0xE9), L"a\u4e2d\ufffd"},
      {"numbers", wide(L"%d %.1f %x %5lu", -2, 2.75, 255u, 42UL), L"-2 2.8 ff    42"},
      {"null strings",
       wide(L"%s|%ls", static_cast<const char*>(nullptr), static_cast<const wchar_t*>(nullptr)),
       L"(null)|(null)"},
      {"unknown conversion ends formatting", wide(L"%d%k%d", 1, 2), L"1%k%d"},
  };
  for (const row& r : rows) EXPECT_EQ(kro::text::to_utf8(r.got), kro::text::to_utf8(r.expected)) << r.what;
  const std::wstring long_text(5000, L'x');
  EXPECT_EQ(kro::text::format(L"[%ls]", long_text.c_str()).size(), 5002u);
  EXPECT_EQ(kro::text::format("[%ls]", long_text.c_str()).size(), 5002u);
}

TEST(text, nocase_compare_and_search) {
  EXPECT_TRUE(kro::text::equals_nocase(L"Lang-ID", L"lang-id"));
  EXPECT_FALSE(kro::text::equals_nocase(L"lang", L"lang-id"));
  EXPECT_TRUE(kro::text::equals_nocase(L"\u00c4\u0416", L"\u00e4\u0436"));
  EXPECT_EQ(kro::text::find_nocase(L"a /SILENT b", L"/silent"), 2u);
  EXPECT_EQ(kro::text::find_nocase(L"a /silen", L"/silent"), std::wstring_view::npos);
}

}  // namespace
