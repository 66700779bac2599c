#include "files/safe_name.h"

#include <gtest/gtest.h>

namespace {

struct name_case {
  const wchar_t* name;
  bool safe;
};

constexpr name_case name_cases[] = {
    {L"morrow.exe", true},
    {L"sub\\data.edat", true},
    {L"sub/deeper/data.edat", true},
    {L"morrow/release.xml", true},
    {L"with blank.txt", true},
    {L"\u00e9t\u00e9\\\u4e2d.bin", true},
    {L"..a", true},
    {L"a..b", true},
    {L"console.txt", true},
    {L"com10", true},
    {L"lpt", true},
    {L"", false},
    {L"\\abs.txt", false},
    {L"/abs.txt", false},
    {L"\\\\server\\share\\x", false},
    {L"C:\\windows\\x.dll", false},
    {L"C:x.dll", false},
    {L"file.txt:stream", false},
    {L"..", false},
    {L"..\\escape.txt", false},
    {L"a/../../escape.txt", false},
    {L"a\\..", false},
    {L".\\x", false},
    {L"a\\\\b", false},
    {L"a//b", false},
    {L"trailing\\", false},
    {L"dot.", false},
    {L"blank ", false},
    {L"NUL", false},
    {L"nul.txt", false},
    {L"sub\\Con", false},
    {L"aux .log", false},
    {L"COM1", false},
    {L"lpt9.dat", false},
    {L"com\u00b9", false},
    {L"CONOUT$", false},
    {L"a?b", false},
    {L"a*b", false},
    {L"a<b", false},
    {L"a|b", false},
    {L"a\"b", false},
    {L"tab\there", false},
};

TEST(safe_name, refuses_every_name_that_leaves_the_folder) {
  for (const name_case& c : name_cases)
    EXPECT_EQ(kro::files::is_safe_relative_name(c.name), c.safe)
        << "name: '" << testing::PrintToString(std::wstring(c.name)) << "'";
}

TEST(safe_name, separators_become_backslashes) {
  EXPECT_EQ(kro::files::to_backslashes(L"a/b\\c/d"), L"a\\b\\c\\d");
}

}  // namespace
