#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "sfx/languages.h"
#include "sfx/sfx_translator.h"

namespace {

using kro::sfx::sfx_translator;

std::string read_string_table() {
  std::ifstream in(KRO_SOURCE_DIR "/src/resources/strings.xml", std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

const std::string& string_table() {
  static const std::string bytes = read_string_table();
  return bytes;
}

sfx_translator translator(uint32_t lcid) {
  return sfx_translator(lcid, string_table().data(), string_table().size());
}

size_t count(const std::wstring& text, const std::wstring& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::wstring::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

TEST(languages, table_order_and_both_lookups) {
  const auto table = kro::sfx::languages::table();
  ASSERT_EQ(table.size(), 45u);
  EXPECT_EQ(table.front().lcid, 1033u);
  EXPECT_STREQ(table.front().name, L"en-us");
  EXPECT_EQ(table[10].lcid, 2057u);
  EXPECT_STREQ(table.back().name, L"zh-tw");

  static constexpr struct {
    uint32_t lcid;
    const wchar_t* name;
  } names[] = {{1033, L"en-us"}, {1031, L"de-de"}, {2057, L"en-gb"}, {2074, L"sr-sp"},
               {1028, L"zh-tw"}, {1034, L"en-us"}, {0, L"en-us"},    {0xFFFFFFFF, L"en-us"}};
  for (const auto& row : names) EXPECT_EQ(kro::sfx::languages::name(row.lcid), row.name) << row.lcid;

  static constexpr struct {
    const wchar_t* name;
    uint32_t lcid;
  } lcids[] = {{L"de-de", 1031}, {L"pt-pt", 2070}, {L"en-us", 1033},
               {L"DE-DE", 1033}, {L"de", 1033},    {L"", 1033}};
  for (const auto& row : lcids) {
    EXPECT_EQ(kro::sfx::languages::lcid(row.name), row.lcid)
        << testing::PrintToString(std::wstring(row.name));
  }
  EXPECT_TRUE(kro::sfx::languages::is_listed(2057));
  EXPECT_FALSE(kro::sfx::languages::is_listed(1034));
}

TEST(translator, lookups_and_fallbacks) {
  ASSERT_FALSE(string_table().empty()) << "string table not found";
  static constexpr struct {
    uint32_t lcid;
    const wchar_t* id;
    const wchar_t* expected;
  } cases[] = {
      {1031, L"@Sfx_MsgBoxTitle", L"Setup fehlgeschlagen."},
      {1031, L"@Sfx_ErrCode", L"Error code"},         // en-us only
      {2057, L"@Sfx_MsgBoxTitle", L"Setup failed."},  // en-gb: in the table, not in the document
      {1034, L"@Sfx_MsgBoxTitle", L"Setup failed."},  // not in the table
      {1033, L"@Sfx_Starting", L"starting"},
      {1033, L"SFX is not DSA signed!", L"SFX is not DSA signed!"},  // no identifier: unchanged
      {1031, L"@Sfx_Missing", L"@Sfx_Missing"},
      {1033, L"@Sfx_MsgBoxTitle']/x", L"@Sfx_MsgBoxTitle']/x"},  // apostrophe breaks the query
      {1031, L"it's broken", L"it's broken"},
      {1033, L"@sfx_msgboxtitle", L"@sfx_msgboxtitle"},  // identifiers are case-sensitive
      {1033, L"", L""},
  };
  for (const auto& row : cases) {
    EXPECT_EQ(translator(row.lcid).get_text(row.id), row.expected)
        << row.lcid << " " << testing::PrintToString(row.id);
  }
}

TEST(translator, format_replaces_placeholders_in_order) {
  sfx_translator en = translator(1033);
  EXPECT_EQ(en.format(L"@Sfx_Title", {L"Morrow"}), L"Morrow Self-Extractor");
  const std::wstring failed = en.format(L"@Sfx_Download_Fail", {L"12029"});
  EXPECT_TRUE(failed.starts_with(L"Cannot download setup files.")) << testing::PrintToString(failed);
  EXPECT_TRUE(failed.ends_with(L"(12029).")) << testing::PrintToString(failed);

  static const struct {
    const wchar_t* text;
    std::vector<std::wstring> args;
    const wchar_t* expected;
  } cases[] = {
      {L"{0}-{1}-{0}", {L"a", L"b"}, L"a-b-a"},
      {L"{0} {1}", {L"{1}", L"x"}, L"x x"},  // replaced again in the following step
      {L"{1} {0}", {L"a"}, L"{1} a"},        // no argument: stays
      {L"{0}", {L"{0}{0}"}, L"{0}{0}"},      // no re-replacement within one step
      {L"no placeholders", {L"a"}, L"no placeholders"},
      {L"{0}", {}, L"{0}"},
      {L"{0}{10}", {L"a", L"1", L"2", L"3", L"4", L"5", L"6", L"7", L"8", L"9", L"ten"}, L"aten"},
  };
  for (const auto& row : cases) {
    EXPECT_EQ(en.format(row.text, row.args), row.expected) << testing::PrintToString(row.text);
  }
}

TEST(translator, broken_or_empty_document_gives_identifiers_back) {
  static const std::string documents[] = {
      "",
      "not xml at all",
      "<identifiers><identifier id=\"@Sfx_MsgBoxTitle\"><language lang=\"en-us\">Setup failed.</language>",
      "<other><identifier id=\"@Sfx_MsgBoxTitle\"><language lang=\"en-us\">x</language></identifier></other>",
  };
  for (const std::string& document : documents) {
    sfx_translator t(1033, document.data(), document.size());
    EXPECT_EQ(t.get_text(L"@Sfx_MsgBoxTitle"), L"@Sfx_MsgBoxTitle") << document;
    EXPECT_EQ(t.format(L"@Sfx_Title", {L"P"}), L"@Sfx_Title") << document;
  }
  EXPECT_EQ(sfx_translator(1033, nullptr, 0).get_text(L"@Sfx_Starting"), L"@Sfx_Starting");
}

TEST(translator, document_details) {
  // UTF-16 with a byte-order mark is detected; an element without text gives
  // an empty text; the first match wins.
  const std::u16string utf16 =
      u"\ufeff<identifiers><identifier id=\"@A\"><language lang=\"de-de\">\u00c4rger</language>"
      u"<language lang=\"de-de\">second</language><language lang=\"en-us\"/></identifier></identifiers>";
  const std::string bytes(reinterpret_cast<const char*>(utf16.data()), utf16.size() * 2);
  EXPECT_EQ(sfx_translator(1031, bytes.data(), bytes.size()).get_text(L"@A"), L"\u00c4rger");
  EXPECT_EQ(sfx_translator(1033, bytes.data(), bytes.size()).get_text(L"@A"), L"");
  EXPECT_EQ(sfx_translator(1036, bytes.data(), bytes.size()).get_text(L"@A"), L"");

  const std::string cdata =
      "<identifiers><identifier id=\"@B\"><language lang=\"en-us\"><![CDATA[a < b]]></language></identifier>"
      "</identifiers>";
  EXPECT_EQ(sfx_translator(1033, cdata.data(), cdata.size()).get_text(L"@B"), L"a < b");
}

TEST(translator, every_language_of_the_string_table) {
  static constexpr const wchar_t* translated[] = {L"@Sfx_Download_Fail",        L"@Sfx_MissingSfx",
                                                  L"@Sfx_FileInvalidSignature", L"@Sfx_MsgBoxTitle",
                                                  L"@Sfx_UnsupportedOS",        L"@Sfx_Starting"};
  static constexpr const wchar_t* english_only[] = {L"@Sfx_ErrCode", L"@Sfx_LogInfo", L"@Sfx_Title"};

  sfx_translator en = translator(1033);
  for (const auto& language : kro::sfx::languages::table()) {
    sfx_translator t = translator(language.lcid);
    const std::wstring name = language.name;
    for (const wchar_t* id : translated) {
      const std::wstring english = en.get_text(id);
      const std::wstring text = t.get_text(id);
      const std::string where = testing::PrintToString(name) + " " + testing::PrintToString(std::wstring(id));
      ASSERT_NE(english, id) << where;
      EXPECT_FALSE(text.empty()) << where;
      if (name == L"en-us" || name == L"en-gb") {
        EXPECT_EQ(text, english) << where;
      } else {
        EXPECT_NE(text, english) << where << " falls back to en-us";
      }
      EXPECT_EQ(count(text, L"{0}"), count(english, L"{0}")) << where;
      EXPECT_EQ(count(text, L"{0}"), std::wstring(id) == L"@Sfx_Download_Fail" ? 1u : 0u) << where;
    }
    for (const wchar_t* id : english_only) {
      EXPECT_EQ(t.get_text(id), en.get_text(id)) << testing::PrintToString(name);
      EXPECT_NE(en.get_text(id), id);
    }
  }
  EXPECT_EQ(en.get_text(L"@Sfx_LogInfo"), L"More information in log");
}

}  // namespace
