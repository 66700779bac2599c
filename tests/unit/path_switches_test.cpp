// Path switches made absolute in a command line, and the Windows reading of
// which paths depend on the current directory.
#include "sfx/path_switches.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "files/directory.h"
#include "text/text.h"

namespace {

using kro::sfx::absolute_path_switches;

// Resolves against C:\dl; "unresolvable" cannot be resolved.
std::wstring resolve(const std::wstring& relative) {
  return relative == L"unresolvable" ? std::wstring() : L"C:\\dl\\" + relative;
}

TEST(path_switches, relative_values_of_path_switches_are_resolved_and_nothing_else_changes) {
  struct row {
    const wchar_t* given;
    const wchar_t* expected;  // null: the text unchanged
  };
  static const row rows[] = {
      {L"", nullptr},
      {L"/silent /offline  plain \"quoted arg\"", nullptr},
      // Fully qualified, empty or without a value: nothing to resolve.
      {L"/install-path:C:\\x /silent", nullptr},
      {L"/install-path=d:/x", nullptr},
      {L"/install-path:\\\\server\\share\\x", nullptr},
      {L"\"/install-path:C:\\Program Files\\x\"", nullptr},
      {L"/install-path: /install-path", nullptr},
      {L"/install-path:unresolvable", nullptr},
      // Other switches and arguments keep their relative paths.
      {L"/install-paths:x /other:x install-path:x -install-path:x", nullptr},
      // Relative values, in each spelling of the switch.
      {L"/install-path:x /silent", L"/install-path:C:\\dl\\x /silent"},
      {L"/INSTALL-PATH=x", L"/INSTALL-PATH=C:\\dl\\x"},
      {L"--install-path=..\\up", L"--install-path=C:\\dl\\..\\up"},
      {L"/install-path:\\root", L"/install-path:C:\\dl\\\\root"},
      {L"/install-path:D:x", L"/install-path:C:\\dl\\D:x"},
      // Only the token changes: white space and the other tokens stay as given.
      {L"  /a \t/install-path:x\t\"b c\"  ", L"  /a \t/install-path:C:\\dl\\x\t\"b c\"  "},
      // Quotes around the whole token or its value; the result is quoted
      // as a token with white space is rendered.
      {L"\"/install-path:my dir\" /x", L"\"/install-path:C:\\dl\\my dir\" /x"},
      {L"/install-path:\"my dir\" /x", L"\"/install-path:C:\\dl\\my dir\" /x"},
      // A duplicate is resolved as well.
      {L"/install-path:a /install-path:b", L"/install-path:C:\\dl\\a /install-path:C:\\dl\\b"},
  };
  for (const row& r : rows) {
    const std::wstring expected = r.expected ? r.expected : r.given;
    EXPECT_EQ(kro::text::to_utf8(absolute_path_switches(r.given, resolve)), kro::text::to_utf8(expected))
        << kro::text::to_utf8(r.given);
  }

  std::vector<kro::sfx::resolved_path_switch> resolved;
  absolute_path_switches(L"/Install-Path=x /silent", resolve, &resolved);
  ASSERT_EQ(resolved.size(), 1u);
  EXPECT_EQ(resolved[0].key, L"Install-Path");
  EXPECT_EQ(resolved[0].given, L"x");
  EXPECT_EQ(resolved[0].resolved, L"C:\\dl\\x");
}

TEST(path_switches, fully_qualified_paths_the_windows_way) {
  struct row {
    const wchar_t* path;
    bool qualified;
  };
  static const row rows[] = {
      {L"C:\\x", true},
      {L"c:/x", true},
      {L"\\\\server\\share", true},
      {L"//server/share", true},
      {L"\\\\?\\C:\\x", true},
      {L"C:\\", true},
      {L"C:", false},
      {L"C:x", false},
      {L"\\x", false},
      {L"/x", false},
      {L"x", false},
      {L"..\\x", false},
      {L".", false},
      {L"", false},
      {L"1:\\x", false},
      {L"\\", false},
  };
  for (const row& r : rows)
    EXPECT_EQ(kro::files::is_fully_qualified(r.path), r.qualified) << kro::text::to_utf8(r.path);
}

TEST(path_switches, a_relative_path_resolves_against_the_current_directory) {
  const std::wstring here = std::filesystem::current_path().wstring();
  EXPECT_EQ(kro::files::full_path(L"rel"), kro::files::join(here, L"rel"));
  EXPECT_EQ(kro::files::full_path(L""), L"");
}

}  // namespace
