// sfx-info.xml: found in the payload, checked against its signature comment,
// read into the values of the run and copied child by child into the real
// hand-off document.
#include "sfx/info_parser.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "exceptions/exceptions.h"
#include "pe_fixture.h"
#include "root/dsa.h"
#include "sfx/morrow_info.h"
#include "sfx/payload.h"
#include "text/text.h"

namespace {

using kro::sfx::info_parser;
using kro::sfx::product_list;
using kro::test::log_capture;
using kro::test::temp_file;

const kro::root::dsa::key_pair& key(char name) {
  static std::map<char, kro::root::dsa::key_pair> keys;
  auto found = keys.find(name);
  if (found == keys.end()) {
    std::ifstream in(
        std::filesystem::path(KRO_SOURCE_DIR) / "keys" / "dev-private" / (std::string(1, name) + ".txt"),
        std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    found = keys.emplace(name, kro::root::dsa::parse_key_text(text.str())).first;
  }
  return found->second;
}

// The document as a packer signs it: a line break, then the comment.
std::string signed_xml(const std::string& document, char key_name = 'G') {
  return kro::sfx::signature::sign_xml(document + "\n", key(key_name));
}

class memory_unpacker final : public kro::sfx::unpacker_intf {
 public:
  explicit memory_unpacker(std::string bytes) : m_bytes(std::move(bytes)) {}
  void unpack_to_file(const std::wstring&) override { FAIL() << "only unpack_to_memory is expected"; }
  std::vector<uint8_t> unpack_to_memory() override { return {m_bytes.begin(), m_bytes.end()}; }

 private:
  std::string m_bytes;
};

// Payload files by alias, exact match.
class memory_payload final : public kro::sfx::payload_intf {
 public:
  std::map<std::wstring, std::string> files;
  std::vector<std::wstring> asked;

  std::shared_ptr<kro::sfx::unpacker_intf> find_by_hash(const std::wstring&) override { return nullptr; }
  std::shared_ptr<kro::sfx::unpacker_intf> find_by_alias(const std::wstring& alias) override {
    asked.push_back(alias);
    auto found = files.find(alias);
    if (found == files.end()) return nullptr;
    return std::make_shared<memory_unpacker>(found->second);
  }
  std::vector<std::wstring> aliases() override { return {}; }
};

// One run's data around a payload holding the given sfx-info.xml bytes.
struct run {
  explicit run(const std::string& sfx_info_bytes, const std::wstring& command_line = L"") {
    payload->files[L"sfx-info.xml"] = sfx_info_bytes;
    data.payload = payload;
    data.info = kro::sfx::morrow_info::factory().create();
    data.cmd.parse(command_line, false);
  }

  std::unique_ptr<kro::sfx::info_parser_intf> load() {
    auto parser = info_parser::factory().create(data);
    parser->load();
    return parser;
  }

  // The children that reached the hand-off document, as saved.
  std::string hand_off_body() {
    temp_file file("info-handoff");
    EXPECT_TRUE(data.info->save(file.path()));
    const std::vector<uint8_t> bytes = file.read();
    std::string text(bytes.begin(), bytes.end());
    const size_t open = text.find('>', text.find("<morrow-info"));
    const size_t close = text.rfind("</morrow-info>");
    if (open == std::string::npos || close == std::string::npos || close < open) return "";
    return text.substr(open + 1, close - open - 1);
  }

  std::shared_ptr<memory_payload> payload = std::make_shared<memory_payload>();
  kro::sfx::sfx_data data;
};

std::string with_products(const std::string& inner) {
  return "<sfx-info>" + inner + "<products><product name=\"p\" channel=\"release\"/></products></sfx-info>";
}

TEST(info_parser, typical_document_gives_every_value_and_copies_children_in_order) {
  run r(
      signed_xml("<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
                 "<sfx-info xmlns:xs=\"http://www.w3.org/2001/XMLSchema-instance\" "
                 "xs:noNamespaceSchemaLocation=\"sfx-info.xsd\">\n"
                 "  <eula><url>https://e/eula</url></eula>\n"
                 "  <!-- a remark -->\n"
                 "  <?hint keep?>\n"
                 "  <config-def><url>https://e/config</url></config-def>\n"
                 "  <repository><base-url>repo.example/os</base-url></repository>\n"
                 "  <report><url><![CDATA[https://r/v4/receive/json/25]]></url></report>\n"
                 "  <params><silent>1</silent><nosplash>Yes</nosplash><clear>false</clear></params>\n"
                 "  <products><product name=\"suite\" channel=\"release\"/>"
                 "<product name=\"addon\" channel=\"beta\"/><product name=\"suite\"/></products>\n"
                 "  <title lang=\"en-us\">Install \xC5\xBE</title>loose text</sfx-info>"));
  auto parser = r.load();

  EXPECT_EQ(r.payload->asked, std::vector<std::wstring>{L"sfx-info.xml"});
  EXPECT_EQ(parser->get_base_url(), L"repo.example/os");
  EXPECT_EQ(parser->get_report_url(), L"https://r/v4/receive/json/25");
  EXPECT_TRUE(parser->is_silent());
  EXPECT_TRUE(parser->is_nosplash());
  EXPECT_FALSE(parser->is_clear());
  EXPECT_EQ(parser->get_title(1033), L"Install \u017E");
  EXPECT_EQ(parser->get_products(),
            (product_list{{L"suite", L"release"}, {L"addon", L"beta"}, {L"suite", L""}}));

  // Comments and processing instructions are gone with parsing; text
  // directly under the root travels like an element.
  EXPECT_EQ(r.hand_off_body(),
            "\n\t<eula>\n\t\t<url>https://e/eula</url>\n\t</eula>\n"
            "\t<config-def>\n\t\t<url>https://e/config</url>\n\t</config-def>\n"
            "\t<repository>\n\t\t<base-url>repo.example/os</base-url>\n\t</repository>\n"
            "\t<report>\n\t\t<url><![CDATA[https://r/v4/receive/json/25]]></url>\n\t</report>\n"
            "\t<params>\n\t\t<silent>1</silent>\n\t\t<nosplash>Yes</nosplash>\n\t\t<clear>false</clear>\n"
            "\t</params>\n"
            "\t<products>\n\t\t<product name=\"suite\" channel=\"release\" />\n"
            "\t\t<product name=\"addon\" channel=\"beta\" />\n\t\t<product name=\"suite\" />\n\t</products>\n"
            "\t<title lang=\"en-us\">Install \xC5\xBE</title>loose text");
}

TEST(info_parser, absent_elements_keep_defaults_and_empty_elements_give_empty_text) {
  {
    run r(signed_xml(with_products("")));
    auto parser = r.load();
    EXPECT_EQ(parser->get_base_url(), L"");
    EXPECT_EQ(parser->get_report_url(), L"");
    EXPECT_FALSE(parser->is_silent());
    EXPECT_FALSE(parser->is_nosplash());
    EXPECT_FALSE(parser->is_clear());
    EXPECT_EQ(parser->get_title(1033), L"");
  }
  {
    // The first matching node wins, even behind an element without one.
    run r(
        signed_xml(with_products("<repository/><repository><base-url/></repository>"
                                 "<repository><base-url>late</base-url></repository>"
                                 "<report><url>first</url><url>second</url></report>")));
    auto parser = r.load();
    EXPECT_EQ(parser->get_base_url(), L"");
    EXPECT_EQ(parser->get_report_url(), L"first");
  }
}

TEST(info_parser, encoding_named_by_the_declaration_is_detected) {
  run r(
      signed_xml("<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>"
                 "<sfx-info><products><product name=\"n\xE9\" channel=\"c\"/></products>"
                 "<title>\xC4</title></sfx-info>"));
  auto parser = r.load();
  EXPECT_EQ(parser->get_products(), (product_list{{L"n\u00E9", L"c"}}));
  EXPECT_EQ(parser->get_title(1033), L"\u00C4");
}

// --- Failures ------------------------------------------------------------------

struct failure_case {
  const char* what;
  std::string bytes;  // empty: no sfx-info.xml in the payload
  std::wstring command_line;
  bool missing_file_type;  // missign_sfx_file, else the plain error
  int32_t code;
  std::string message;
  std::string log_line;  // empty: none expected
};

std::string tampered() {
  std::string bytes = signed_xml(with_products("<title>ok</title>"));
  bytes[bytes.find("ok")] = 'O';
  return bytes;
}

TEST(info_parser, failures_raise_their_errors_before_anything_is_used) {
  const std::string signed_ok = signed_xml(with_products(""));
  const failure_case cases[] = {
      {"missing file", "", L"", true, -1, "sfx info file wasn't found in payload.",
       "Mandatory file 'sfx-info.xml' is missing in payload."},
      {"unsigned", with_products("") + "\n", L"", false, -1, "File is not DSA signed (alias:sfx-info.xml)!",
       "DSA verification check of file 'sfx-info.xml' fail!"},
      {"tampered after signing", tampered(), L"", false, -1, "File is not DSA signed (alias:sfx-info.xml)!",
       "DSA verification check of file 'sfx-info.xml' fail!"},
      {"signed with a key outside the set", signed_xml(with_products(""), 'A'), L"", false, -1,
       "File is not DSA signed (alias:sfx-info.xml)!", "DSA verification check of file 'sfx-info.xml' fail!"},
      {"broken signature comment",
       signed_ok.substr(0, signed_ok.size() - 20) + "zz" + signed_ok.substr(signed_ok.size() - 18), L"",
       false, -1, "File is not DSA signed (alias:sfx-info.xml)!",
       "DSA verification check of file 'sfx-info.xml' fail!"},
      {"signed but not XML", signed_xml("<sfx-info><products></sfx-info>"), L"", true, -1,
       "sfx info can't be parsed.", "Failed to parse xml file 'sfx-info.xml', 'Start-end tags mismatch'"},
      {"no product", signed_xml("<sfx-info><products/><product name=\"x\"/></sfx-info>"), L"", false, -1,
       "The sfx-info.xml does not contain any product data!", ""},
      {"other root element", signed_xml("<info><products><product name=\"x\"/></products></info>"), L"",
       false, -1, "The sfx-info.xml does not contain any product data!", ""},
      {"malformed channels", signed_ok, L"/channels=p", false, 44030, "Channel override has wrong format.",
       ""},
  };
  for (const failure_case& c : cases) {
    SCOPED_TRACE(c.what);
    run r(c.bytes, c.command_line);
    if (c.bytes.empty()) r.payload->files.clear();
    auto parser = info_parser::factory().create(r.data);
    log_capture capture;
    try {
      parser->load();
      ADD_FAILURE() << "no exception";
    } catch (const kro::exceptions::error& e) {
      EXPECT_EQ(dynamic_cast<const kro::sfx::exceptions::missign_sfx_file*>(&e) != nullptr,
                c.missing_file_type);
      EXPECT_EQ(e.code(), c.code);
      EXPECT_EQ(std::string(e.what()), c.message);
    }
    const std::string& log = capture.text();
    if (!c.log_line.empty()) {
      EXPECT_NE(log.find(c.log_line), std::string::npos) << log;
      EXPECT_NE(log.find("[error  ]"), std::string::npos) << log;
    }
    // Nothing of the document reached the run.
    EXPECT_EQ(r.hand_off_body(), "");
    EXPECT_TRUE(parser->get_products().empty());
    EXPECT_EQ(parser->get_base_url(), L"");
  }
}

// --- Reading rules ---------------------------------------------------------------

TEST(info_parser, titles_by_language_fall_back_to_1033_only) {
  struct title_case {
    const char* titles;
    int32_t language;
    std::wstring expected;
  } cases[] = {
      {"<title>first</title><title>second</title>", 1033, L"first"},
      {"<title lang=\"en-us\">en</title>", 1031, L"en"},
      {"<title lang=\"de-de\">de</title>", 1033, L""},
      {"<title lang=\"de-de\">de</title>", 1031, L"de"},
      {"<title lang=\"EN-US\">upper</title><title lang=\"en-us\">lower</title>", 1033, L"upper"},
      {"<title lang=\"xx-yy\">unknown</title>", 1033, L"unknown"},
      {"<title lang=\"cs-cz\">cs</title><title lang=\"en-us\">en</title><title lang=\"cs-cz\">cs2</title>",
       1029, L"cs"},
      {"<title lang=\"cs-cz\">cs</title><title lang=\"en-us\">en</title>", 1028, L"en"},
      {"<title lang=\"zh-tw\"><![CDATA[cd<x>]]></title>", 1028, L"cd<x>"},
      {"<title lang=\"zh-tw\"/>", 1028, L""},
      {"<title lang=\"zh-tw\"/><title>en</title>", 1028, L""},
  };
  for (const title_case& c : cases) {
    SCOPED_TRACE(std::string(c.titles) + " @" + std::to_string(c.language));
    run r(signed_xml(with_products(c.titles)));
    EXPECT_EQ(r.load()->get_title(c.language), c.expected);
  }
}

TEST(info_parser, booleans_look_only_at_the_first_character) {
  struct bool_case {
    const char* params;
    bool silent, nosplash, clear;
  } cases[] = {
      {"<silent>yes</silent>", true, false, false},
      {"<silent>on</silent>", false, false, false},
      {"<silent/>", false, false, false},
      {"<silent>Y</silent><nosplash>t</nosplash><clear>T</clear>", true, true, true},
      {"<silent>1x</silent><nosplash>0</nosplash><clear>True</clear>", true, false, true},
      {"<silent> 1</silent><nosplash>n</nosplash><clear>F</clear>", false, false, false},
      {"<silent>true</silent><silent>0</silent>", true, false, false},
  };
  for (const bool_case& c : cases) {
    SCOPED_TRACE(c.params);
    run r(signed_xml(with_products(std::string("<params>") + c.params + "</params>")));
    auto parser = r.load();
    EXPECT_EQ(parser->is_silent(), c.silent);
    EXPECT_EQ(parser->is_nosplash(), c.nosplash);
    EXPECT_EQ(parser->is_clear(), c.clear);
  }
}

TEST(info_parser, channel_overrides_replace_channels_by_exact_name) {
  struct channel_case {
    std::wstring option;
    const char* products;
    bool malformed;
    product_list expected;
  } cases[] = {
      {L"/channels=a=beta;b=release",
       "<product name=\"a\" channel=\"release\"/><product name=\"c\" channel=\"stable\"/>",
       false,
       {{L"a", L"beta"}, {L"c", L"stable"}}},
      {L"/channels:a=beta;a=rc",
       "<product name=\"a\" channel=\"x\"/><product name=\"a\"/>",
       false,
       {{L"a", L"rc"}, {L"a", L"rc"}}},
      {L"/CHANNELS=A=beta", "<product name=\"a\" channel=\"x\"/>", false, {{L"a", L"x"}}},
      {L"/channels==empty;a=",
       "<product channel=\"x\"/><product name=\"a\" channel=\"y\"/>",
       false,
       {{L"", L"empty"}, {L"a", L""}}},
      {L"/channels=a=beta;", "", true, {}},
      {L"/channels=a=b=c", "", true, {}},
      {L"/channels", "<product name=\"a\"/>", true, {}},
      {L"/channels=;a=b", "<product name=\"a\"/>", true, {}},
  };
  for (const channel_case& c : cases) {
    SCOPED_TRACE(kro::text::to_utf8(c.option) + " " + c.products);
    run r(signed_xml(std::string("<sfx-info><products>") + c.products + "</products></sfx-info>"), c.option);
    if (c.malformed) {
      try {
        r.load();
        ADD_FAILURE() << "no exception";
      } catch (const kro::exceptions::error& e) {
        EXPECT_EQ(e.code(), 44030);
        EXPECT_STREQ(e.what(), "Channel override has wrong format.");
      }
    } else {
      EXPECT_EQ(r.load()->get_products(), c.expected);
    }
  }
}

}  // namespace
