// The setup master's command line from the setup-commands element and the
// setup files offered as they are placed.
#include "sfx/master_setup_evaluator.h"

#include <gtest/gtest.h>

#include <pugixml.hpp>
#include <string>
#include <vector>

#include "sfx/command_line.h"
#include "sfx/sfx_data.h"
#include "text/text.h"

namespace {

std::wstring command_line_for(const char* xml, const wchar_t* file, const wchar_t* folder) {
  pugi::xml_document doc;
  if (xml) {
    EXPECT_TRUE(doc.load_string(xml)) << xml;
  }
  kro::sfx::sfx_data data;
  auto evaluator = kro::sfx::master_setup_evaluator::factory().create(data);
  evaluator->evaluate_file(file, doc.child("setup-commands"), folder);
  return evaluator->get_command_line();
}

TEST(master_setup_evaluator, command_lines) {
  static const struct {
    const char* xml;  // null: no applicable element (empty handle)
    const wchar_t* file;
    const wchar_t* folder;
    const wchar_t* expected;
  } cases[] = {
      // case is ignored for the match, the element's spelling is kept
      {"<setup-commands executable='morrow.exe' arguments='/silent'/>", L"MORROW.EXE", L"C:\\T\\F",
       L"C:\\T\\F\\morrow.exe /silent"},
      {"<setup-commands executable='Setup.EXE'/>", L"setup.exe", L"C:\\F", L"C:\\F\\Setup.EXE"},
      {"<setup-commands executable='morrow.exe' arguments=''/>", L"morrow.exe", L"C:\\F",
       L"C:\\F\\morrow.exe"},
      // defaults
      {"<setup-commands/>", L"morrow.exe", L"C:\\F", L"C:\\F\\morrow.exe"},
      {nullptr, L"Morrow.exe", L"C:\\F", L"C:\\F\\morrow.exe"},
      {nullptr, L"setup.exe", L"C:\\F", L""},
      // separators
      {"<setup-commands/>", L"morrow.exe", L"C:\\F\\", L"C:\\F\\morrow.exe"},
      {"<setup-commands/>", L"morrow.exe", L"C:/F/", L"C:/F/morrow.exe"},
      {"<setup-commands/>", L"morrow.exe", L"C:/F", L"C:/F\\morrow.exe"},
      // sfx overrides, each attribute on its own; only the first sfx child counts
      {"<setup-commands executable='morrow.exe' arguments='/a'><sfx arguments='/b /c'/></setup-commands>",
       L"morrow.exe", L"C:\\F", L"C:\\F\\morrow.exe /b /c"},
      {"<setup-commands executable='morrow.exe' arguments='/a'><sfx executable='boot.exe'/></setup-commands>",
       L"boot.exe", L"C:\\F", L"C:\\F\\boot.exe /a"},
      {"<setup-commands executable='morrow.exe' arguments='/a'><sfx executable='boot.exe'/></setup-commands>",
       L"morrow.exe", L"C:\\F", L""},
      {"<setup-commands arguments='/a'><sfx arguments=''/></setup-commands>", L"morrow.exe", L"C:\\F",
       L"C:\\F\\morrow.exe"},
      {"<setup-commands><sfx arguments='/first'/><sfx arguments='/second'/></setup-commands>", L"morrow.exe",
       L"C:\\F", L"C:\\F\\morrow.exe /first"},
      // whole names only
      {"<setup-commands/>", L"morrow.exe.sig", L"C:\\F", L""},
      {"<setup-commands/>", L"morrow.ex", L"C:\\F", L""},
      // a path with blanks is quoted, the arguments are taken as written
      {"<setup-commands arguments='/log \"C:\\Log Files\\m.log\"'/>", L"morrow.exe", L"C:\\Program Files\\T",
       L"\"C:\\Program Files\\T\\morrow.exe\" /log \"C:\\Log Files\\m.log\""},
      {"<setup-commands/>", L"morrow.exe", L"C:\\Users\\A B\\", L"\"C:\\Users\\A B\\morrow.exe\""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.xml ? c.xml : "(empty handle)") + " file " + kro::text::to_utf8(c.file) +
                 " folder " + kro::text::to_utf8(c.folder));
    EXPECT_EQ(command_line_for(c.xml, c.file, c.folder), c.expected);
  }
}

TEST(master_setup_evaluator, quoted_path_tokenizes_back_to_the_path) {
  const std::wstring line = command_line_for("<setup-commands arguments='/silent /x=1'/>", L"morrow.exe",
                                             L"C:\\Documents and Settings\\u\\Temp\\kro 1");
  const std::vector<std::wstring> tokens = kro::sfx::command_line::tokenize(line);
  ASSERT_EQ(tokens.size(), 3u) << kro::text::to_utf8(line);
  EXPECT_EQ(tokens[0], L"C:\\Documents and Settings\\u\\Temp\\kro 1\\morrow.exe");
  EXPECT_EQ(tokens[1], L"/silent");
  EXPECT_EQ(tokens[2], L"/x=1");
}

TEST(master_setup_evaluator, later_match_replaces_and_misses_keep_the_line) {
  pugi::xml_document doc;
  ASSERT_TRUE(doc.load_string("<setup-commands executable='morrow.exe' arguments='/s'/>"));
  const pugi::xml_node commands = doc.child("setup-commands");
  kro::sfx::sfx_data data;
  auto evaluator = kro::sfx::master_setup_evaluator::factory().create(data);
  EXPECT_EQ(evaluator->get_command_line(), L"");

  evaluator->evaluate_file(L"a.dll", commands, L"C:\\F");
  EXPECT_EQ(evaluator->get_command_line(), L"");
  evaluator->evaluate_file(L"morrow.exe", commands, L"C:\\F");
  EXPECT_EQ(evaluator->get_command_line(), L"C:\\F\\morrow.exe /s");
  evaluator->evaluate_file(L"b.dll", commands, L"C:\\G");
  EXPECT_EQ(evaluator->get_command_line(), L"C:\\F\\morrow.exe /s");
  evaluator->evaluate_file(L"MORROW.exe", commands, L"C:\\G");
  EXPECT_EQ(evaluator->get_command_line(), L"C:\\G\\morrow.exe /s");
}

}  // namespace
