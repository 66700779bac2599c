#include <gtest/gtest.h>

#include <string>

#include "sfx/command_line.h"
#include "sfx/sfx_migrate_inno_params.h"
#include "text/text.h"

namespace {

using kro::sfx::command_line;
using kro::sfx::sfx_migrate_inno_params;
using kro::text::to_utf8;

struct migration_case {
  const wchar_t* input;
  const wchar_t* expected;
};

constexpr migration_case migration_cases[] = {
    // Very silent.
    {L"/VERYSILENT", L"/silent"},
    {L"a /VerySilent b", L"a /silent b"},
    {L"/verysilent /silent", L"/verysilent /silent"},
    {L"/SILENT /VERYSILENT", L"/SILENT /VERYSILENT"},
    // Language.
    {L"/LANG=L1031", L" /lang-id:1031"},
    {L"/lang=l1049", L" /lang-id:1049"},
    {L"/LANG=\"L1031\"", L" /lang-id:1031"},
    {L"/LANG=german", L"/LANG=german"},
    {L"/LANG=L1031 /lang-id=1033", L"/LANG=L1031 /lang-id=1033"},
    {L"/Lang-Id:1033 /LANG=L1031", L"/Lang-Id:1033 /LANG=L1031"},
    {L"/x /LANG=L1031 /y:2", L"/x  /lang-id:1031 /y:2"},
    {L"/LANG=L1031\t/y", L" /lang-id:1031\t/y"},
    {L"/LANG=", L"/LANG="},
    {L"/LANG= L1031", L"/LANG= L1031"},
    {L"/LANG=\"\"", L"/LANG=\"\""},
    {L"/LANG=\"", L"/LANG=\""},
    {L"/LANG=L", L" /lang-id:"},
    // A token quoted as a whole keeps its quotes balanced.
    {L"\"/LANG=L1031\" /silent", L" /lang-id:1031 /silent"},
    // Folder.
    {L"/DIR=\"C:\\Program Files\\X\"", L"/install-path:\"C:\\Program Files\\X\""},
    {L"\"/DIR=C:\\Program Files\\X\"", L"\"/install-path:C:\\Program Files\\X\""},
    {L"/dir=C:\\x", L"/install-path:C:\\x"},
    {L"/DIR=C:\\x /install-path:D:\\y", L"/DIR=C:\\x /install-path:D:\\y"},
    // All three at once, and lines without any of them.
    {L"/VERYSILENT /LANG=L1049 /DIR=C:\\x y", L"/silent  /lang-id:1049 /install-path:C:\\x y"},
    {L"/silent /lang-id=1031 --dir=C:\\x -LANG=L1", L"/silent /lang-id=1031 --dir=C:\\x -LANG=L1"},
    {L"", L""},
};

TEST(inno_migration, convert_table) {
  auto converter = sfx_migrate_inno_params::factory().create();
  for (const auto& c : migration_cases) {
    SCOPED_TRACE("input: [" + to_utf8(c.input) + "]");
    EXPECT_EQ(converter->convert(c.input), c.expected);
  }
}

TEST(inno_migration, null_line_converts_to_empty) {
  EXPECT_EQ(sfx_migrate_inno_params().convert(nullptr), L"");
}

// The converted text parses into the self-extractor's own switches.
TEST(inno_migration, converted_switches_parse_as_own_switches) {
  sfx_migrate_inno_params converter;
  command_line cmd;
  cmd.parse(converter.convert(L"\"/LANG=L1031\" /VERYSILENT /DIR=\"C:\\Program Files\\X\" extra"), false);
  EXPECT_EQ(cmd.get(L"lang-id"), L"1031");
  EXPECT_TRUE(cmd.has(L"silent"));
  EXPECT_EQ(cmd.get(L"install-path"), L"C:\\Program Files\\X");
  ASSERT_EQ(cmd.arguments().size(), 1u);
  EXPECT_EQ(cmd.arguments()[0], L"extra");
}

}  // namespace
