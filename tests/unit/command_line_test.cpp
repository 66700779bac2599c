#include "sfx/command_line.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "text/text.h"

namespace {

using kro::sfx::command_line;
using kro::text::to_utf8;

// Switches as "key=value|key=value", arguments as "a|b": compact and readable
// when a row fails.
std::wstring describe_switches(const command_line& cmd) {
  std::wstring out;
  for (const auto& [key, value] : cmd.switches()) out += (out.empty() ? L"" : L"|") + key + L"=" + value;
  return out;
}

std::wstring describe_arguments(const command_line& cmd) {
  std::wstring out;
  for (size_t i = 0; i < cmd.arguments().size(); ++i) out += (i ? L"|" : L"") + cmd.arguments()[i];
  return out;
}

struct parse_case {
  const wchar_t* line;
  bool with_program;
  const wchar_t* program;  // nullptr: no program token
  const wchar_t* switches;
  const wchar_t* arguments;
};

constexpr parse_case parse_cases[] = {
    {L"", false, nullptr, L"", L""},
    {L" \t\r\n ", false, nullptr, L"", L""},
    {L"", true, nullptr, L"", L""},
    {L"/a=1 /A=2", false, nullptr, L"a=2", L""},
    {L"/a /b /A:3", false, nullptr, L"a=3|b=", L""},
    {L"/", false, nullptr, L"=", L""},
    {L"--", false, nullptr, L"=", L""},
    {L"-", false, nullptr, L"", L"-"},
    {L"-x --x", false, nullptr, L"x=", L"-x"},
    {L"/lang-id=1031", false, nullptr, L"lang-id=1031", L""},
    {L"/lang-id:1031", false, nullptr, L"lang-id=1031", L""},
    {L"--lang-id=1031", false, nullptr, L"lang-id=1031", L""},
    {L"/DIR=C:\\x", false, nullptr, L"DIR=C:\\x", L""},
    {L"/k:a=b", false, nullptr, L"k=a=b", L""},
    {L"/k= /=v /:", false, nullptr, L"k=|=", L""},  // "/=v" then "/:" share the empty key
    {L"/lang /lang-id=1", false, nullptr, L"lang=|lang-id=1", L""},
    {L"x\"y z\"w", false, nullptr, L"", L"xy zw"},
    {L"\"\"", false, nullptr, L"", L"\""},
    {L"a\"\"b \"\"\"\"", false, nullptr, L"", L"a\"b|\"\""},
    {L"\"a \"\"b\"\"\"", false, nullptr, L"", L"a \"b\""},
    {L"\"a b", false, nullptr, L"", L"a b"},
    {L"\"/DIR=C:\\Program Files\" tail", false, nullptr, L"DIR=C:\\Program Files", L"tail"},
    {L"one\ttwo\r\nthree", false, nullptr, L"", L"one|two|three"},
    {L"\"C:\\my dir\\sfx.exe\" /silent x", true, L"C:\\my dir\\sfx.exe", L"silent=", L"x"},
    {L"/silent", true, L"/silent", L"", L""},
    {L"sfx.exe /silent", false, nullptr, L"silent=", L"sfx.exe"},
};

void expect_parsed(const command_line& cmd, const parse_case& c) {
  if (c.program)
    EXPECT_EQ(cmd.program().value_or(L"<none>"), c.program);
  else
    EXPECT_FALSE(cmd.program().has_value());
  EXPECT_EQ(describe_switches(cmd), c.switches);
  EXPECT_EQ(describe_arguments(cmd), c.arguments);
}

TEST(command_line, parse_table) {
  for (const auto& c : parse_cases) {
    SCOPED_TRACE("line: [" + to_utf8(c.line) + "] program: " + (c.with_program ? "yes" : "no"));
    command_line cmd;
    cmd.parse(c.line, c.with_program);
    expect_parsed(cmd, c);
  }
}

// What to_string writes reads back as the same program, switches and
// arguments (the spelling of the switch prefix and separator is normalised).
TEST(command_line, to_string_round_trips_every_parse_row) {
  for (const auto& c : parse_cases) {
    command_line first;
    first.parse(c.line, c.with_program);
    const std::wstring text = first.to_string(true);
    SCOPED_TRACE("line: [" + to_utf8(c.line) + "] rendered: [" + to_utf8(text) + "]");
    command_line second;
    second.parse(text, c.with_program);
    expect_parsed(second, c);
  }
}

TEST(command_line, parse_clears_previous_contents) {
  command_line cmd;
  cmd.parse(L"prog /a x", true);
  cmd.parse(L"/b", false);
  EXPECT_FALSE(cmd.program().has_value());
  EXPECT_EQ(describe_switches(cmd), L"b=");
  EXPECT_TRUE(cmd.arguments().empty());
  cmd.parse(static_cast<const wchar_t*>(nullptr), true);
  EXPECT_TRUE(cmd.switches().empty());
}

TEST(command_line, tokenize_keeps_literal_quotes_and_groups) {
  const std::vector<std::wstring> expected = {L"a", L"\"", L"xy zw", L"\"\"", L"tab\tin"};
  EXPECT_EQ(command_line::tokenize(L"  a  \"\" x\"y z\"w \"\"\"\" \"tab\tin\"  "), expected);
  EXPECT_TRUE(command_line::tokenize(L"  \"").empty());
}

struct render_case {
  const wchar_t* key;
  const wchar_t* value;
  const wchar_t* expected;
};

TEST(command_line, to_string_quotes_whole_tokens) {
  static constexpr render_case cases[] = {
      {L"install", L"", L"/install"},
      {L"lang-id", L"1031", L"/lang-id:1031"},
      {L"DIR", L"C:\\Program Files", L"\"/DIR:C:\\Program Files\""},
      {L"k", L"a\"b", L"/k:a\"\"b"},
      {L"k", L"a \"b\"", L"\"/k:a \"\"b\"\"\""},
      {L"k", L"tab\there", L"\"/k:tab\there\""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("key: [" + to_utf8(c.key) + "] value: [" + to_utf8(c.value) + "]");
    command_line cmd;
    cmd.add(c.key, c.value);
    EXPECT_EQ(cmd.to_string(false), c.expected);
  }
}

TEST(command_line, to_string_orders_program_switches_arguments) {
  command_line cmd;
  cmd.parse(L"\"C:\\a b\\setup.exe\" arg1 --x=1 \"two words\" -y /z", true);
  EXPECT_EQ(cmd.to_string(true), L"\"C:\\a b\\setup.exe\" /x:1 /z arg1 \"two words\" -y");
  EXPECT_EQ(cmd.to_string(false), L"/x:1 /z arg1 \"two words\" -y");

  command_line only_arguments;
  only_arguments.parse(L"a b", false);
  EXPECT_EQ(only_arguments.to_string(true), L"a b");  // no program, no leading space
}

TEST(command_line, get_adds_absent_switch_and_returns_live_value) {
  command_line cmd;
  cmd.parse(L"/Install:old", false);
  EXPECT_EQ(cmd.get(L"INSTALL"), L"old");
  EXPECT_EQ(cmd.switches().size(), 1u);

  EXPECT_FALSE(cmd.has(L"clear"));
  EXPECT_TRUE(cmd.get(L"clear").empty());
  EXPECT_TRUE(cmd.has(L"Clear"));
  EXPECT_EQ(cmd.to_string(false), L"/Install:old /clear");

  cmd.get(L"morrow-info-path") = L"C:\\t\\morrow-info.xml";
  EXPECT_EQ(cmd.to_string(false), L"/Install:old /clear /morrow-info-path:C:\\t\\morrow-info.xml");
}

TEST(command_line, add_replaces_in_place_and_keeps_first_spelling) {
  command_line cmd;
  cmd.parse(L"/Lang-Id=1 /b", false);
  cmd.add(L"LANG-ID", L"2");
  cmd.add(std::wstring(L"c"), std::wstring(L"3"));
  EXPECT_EQ(describe_switches(cmd), L"Lang-Id=2|b=|c=3");
  cmd.add(L"b", nullptr);
  EXPECT_EQ(describe_switches(cmd), L"Lang-Id=2|b=|c=3");
}

TEST(command_line, set_program_is_rendered_quoted) {
  command_line cmd;
  cmd.parse(L"/install", false);
  cmd.set_program(L"C:\\Temp dir\\morrow.exe");
  EXPECT_EQ(cmd.to_string(true), L"\"C:\\Temp dir\\morrow.exe\" /install");
}

TEST(command_line, null_keys_are_rejected) {
  command_line cmd;
  const wchar_t* null_key = nullptr;
  const auto expect_null_key = [](auto&& call) {
    try {
      call();
      ADD_FAILURE() << "no exception";
    } catch (const std::invalid_argument& e) {
      EXPECT_STREQ(e.what(), "nocase::compare right nullparam");
    }
  };
  expect_null_key([&] { (void)cmd.has(null_key); });
  expect_null_key([&] { (void)cmd.get(null_key); });
  expect_null_key([&] { cmd.add(null_key, L"x"); });
  EXPECT_TRUE(cmd.switches().empty());
}

}  // namespace
