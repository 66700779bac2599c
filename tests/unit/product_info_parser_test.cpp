// product-info.xml as read for a given system: the applicable setup files, the
// product record with its arm64 flag, the applicable setup-commands element,
// the errors of bad documents and the saved copy of the bytes.
#include "sfx/product_info_parser.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <limits>
#include <string>
#include <vector>

#include "exceptions/exceptions.h"
#include "pe_fixture.h"
#include "text/text.h"

namespace {

namespace osv = kro::environment::os_version;
using kro::test::bytes_of;
using kro::test::log_capture;
using kro::test::temp_file;
using osv::platform_type;

osv::facts make_facts(uint32_t major, uint32_t minor, platform_type platform, uint8_t product_type) {
  osv::facts f;
  f.major = major;
  f.minor = minor;
  f.build = major == 10 ? 19045 : 7601;
  f.sp_major = major == 10 ? 0 : 1;
  f.platform = platform;
  f.product_type = product_type;
  return f;
}

const osv::facts x86_ws = make_facts(6, 1, platform_type::x86, osv::product_workstation);
const osv::facts x64_ws = make_facts(10, 0, platform_type::x64, osv::product_workstation);
const osv::facts x64_srv = make_facts(10, 0, platform_type::x64, osv::product_server);
const osv::facts arm64_ws = make_facts(10, 0, platform_type::arm64, osv::product_workstation);

std::shared_ptr<kro::sfx::product_info_parser_intf> parsed(const std::string& xml, const osv::facts& facts) {
  auto parser = kro::sfx::product_info_parser::factory().create(facts);
  parser->parse(bytes_of(xml));
  return parser;
}

std::string names(const kro::sfx::setup_file_list& files) {
  std::string all;
  for (const auto& f : files) all += (all.empty() ? "" : ",") + kro::text::to_utf8(f.name);
  return all;
}

// Groups and files for every combination of platform and product type.
const char* const grouped_document = R"(<?xml version="1.0"?>
<product-info>
  <setup-files>
    <file><name>morrow.exe</name></file>
    <file><conditions><os platform="x64"/></conditions><name>x64.dll</name></file>
    <file><conditions><os platform="x86"/></conditions><name>x86.dll</name></file>
    <file><conditions><or><os platform="x64"/><os platform="arm64"/></or></conditions><name>wide.dll</name></file>
  </setup-files>
  <setup-files>
    <conditions><os platform="arm64"/></conditions>
    <file><conditions><os platform="x86"/></conditions><name>arm-group-x86.dll</name></file>
    <file><name>arm.dll</name></file>
  </setup-files>
  <setup-files>
    <conditions><os type="server"/></conditions>
    <file><name>server.msi</name></file>
  </setup-files>
  <setup-files>
    <conditions><not-os type="server"/><os-at-least major="10"/></conditions>
    <file><name>ws10.msi</name></file>
    <file><conditions><boolean value="false"/></conditions><name>never.msi</name></file>
  </setup-files>
  <setup-files/>
</product-info>
)";

TEST(product_info_parser, groups_and_files_follow_their_conditions) {
  static const struct {
    const char* system;
    const osv::facts& facts;
    const char* expected;
  } cases[] = {
      {"7 x86 workstation", x86_ws, "morrow.exe,x86.dll"},
      {"10 x64 workstation", x64_ws, "morrow.exe,x64.dll,wide.dll,ws10.msi"},
      {"10 x64 server", x64_srv, "morrow.exe,x64.dll,wide.dll,server.msi"},
      {"10 arm64 workstation", arm64_ws, "morrow.exe,wide.dll,arm.dll,ws10.msi"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.system);
    EXPECT_EQ(names(parsed(grouped_document, c.facts)->get_setup_files()), c.expected);
  }
}

TEST(product_info_parser, file_records_keep_text_as_written) {
  auto parser = parsed(R"(<product-info>
  <name> Orvex Morrow </name>
  <version>2.1.0.7</version>
  <setup-files>
    <file>
      <name><![CDATA[morrow & co.exe]]></name>
      <sha-256>9F86D081884C7D659A2FEAA0C55AD015a3bf4f1b2b0b822cd15d6c15b0f00a08</sha-256>
      <timestamp>1700000000123</timestamp>
      <size>1048576</size>
    </file>
    <file><name>bare.dll</name></file>
    <other><name>not a file</name></other>
  </setup-files>
</product-info>)",
                       x64_ws);
  const auto& files = parser->get_setup_files();
  ASSERT_EQ(files.size(), 2u);
  EXPECT_EQ(files[0].name, L"morrow & co.exe");
  EXPECT_EQ(files[0].sha256, L"9F86D081884C7D659A2FEAA0C55AD015a3bf4f1b2b0b822cd15d6c15b0f00a08");
  EXPECT_EQ(files[0].timestamp, 1700000000123);
  EXPECT_EQ(files[0].size, 1048576);
  // Missing hash, time stamp and size read as empty and 0.
  EXPECT_EQ(files[1].name, L"bare.dll");
  EXPECT_EQ(files[1].sha256, L"");
  EXPECT_EQ(files[1].timestamp, 0);
  EXPECT_EQ(files[1].size, 0);

  EXPECT_EQ(parser->get_product().name, L" Orvex Morrow ");  // not trimmed
  EXPECT_EQ(parser->get_product().version, L"2.1.0.7");
  EXPECT_FALSE(parser->get_product().arm64);
}

TEST(product_info_parser, integers_take_sign_hex_and_clamp) {
  static const struct {
    const char* text;
    int64_t expected;
  } cases[] = {
      {"42", 42},
      {"-5", -5},
      {"+7", 7},
      {"0x1F", 31},
      {"0X10", 16},
      {"", 0},
      {"abc", 0},
      {"9223372036854775807", std::numeric_limits<int64_t>::max()},
      {"99999999999999999999", std::numeric_limits<int64_t>::max()},
      {"-9223372036854775808", std::numeric_limits<int64_t>::min()},
      {"-99999999999999999999", std::numeric_limits<int64_t>::min()},
      {"0x8000000000000000", std::numeric_limits<int64_t>::max()},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    const std::string xml = std::string("<product-info><setup-files><file><size>") + c.text +
                            "</size><timestamp>" + c.text +
                            "</timestamp></file></setup-files></product-info>";
    const auto parser = parsed(xml, x86_ws);  // the files belong to the parser
    const auto& files = parser->get_setup_files();
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(files[0].size, c.expected);
    EXPECT_EQ(files[0].timestamp, c.expected);
  }
}

TEST(product_info_parser, arm64_flag_needs_a_morrow_file_and_an_arm64_condition_anywhere) {
  static const struct {
    const char* xml;
    bool expected;
  } cases[] = {
      // the arm64 condition sits on a DLL, morrow.exe has none
      {"<product-info><setup-files><file><name>morrow.exe</name></file>"
       "<file><conditions><os platform='arm64'/></conditions><name>a.dll</name></file>"
       "</setup-files></product-info>",
       true},
      // the condition on setup-commands counts, the name only has to contain morrow.exe
      {"<product-info><setup-files><file><name>x-morrow.exe.sig</name></file></setup-files>"
       "<setup-commands><conditions><not><os platform='arm64'/></not></conditions></setup-commands>"
       "</product-info>",
       true},
      {"<product-info><setup-files><file><name>morrow.exe</name></file>"
       "<file><conditions><os platform='x64'/></conditions><name>a.dll</name></file>"
       "</setup-files></product-info>",
       false},
      {"<product-info><setup-files><file><conditions><os platform='arm64'/></conditions>"
       "<name>setup.exe</name></file></setup-files></product-info>",
       false},
      // names and values compare exactly
      {"<product-info><setup-files><file><conditions><os platform='ARM64'/></conditions>"
       "<name>morrow.exe</name></file></setup-files></product-info>",
       false},
      {"<product-info><setup-files><file><conditions><os platform='arm64'/></conditions>"
       "<name>MORROW.EXE</name></file></setup-files></product-info>",
       false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.xml);
    // Evaluated on the document, whatever the system: the x86 system drops
    // the arm64 files from the list but not the flag.
    EXPECT_EQ(parsed(c.xml, x86_ws)->get_product().arm64, c.expected);
  }
}

TEST(product_info_parser, encoding_is_detected_from_the_bytes) {
  const std::u16string text = u"\xFEFF<product-info><name>Orv\x00E9x \x041C</name></product-info>";
  std::vector<uint8_t> bytes;
  for (char16_t c : text) {
    bytes.push_back(static_cast<uint8_t>(c & 0xFF));
    bytes.push_back(static_cast<uint8_t>(c >> 8));
  }
  auto parser = kro::sfx::product_info_parser::factory().create(x86_ws);
  parser->parse(bytes);
  EXPECT_EQ(parser->get_product().name, L"Orv\x00E9x \x041C");

  parser->parse(
      bytes_of("<?xml version='1.0' encoding='ISO-8859-1'?><product-info><name>Orv\xE9x</name>"
               "</product-info>"));
  EXPECT_EQ(parser->get_product().name, L"Orv\x00E9x");
}

TEST(product_info_parser, bad_documents_raise_and_keep_earlier_results) {
  static const struct {
    const char* xml;
    const char* message;
    const char* logged;
  } cases[] = {
      {"", "Product-info data are empty.", nullptr},
      {"<product-info><name>x</product-info>", "Product-info data can't be parsed.",
       "Failed to parse product-info data, Start-end tags mismatch."},
      {"not xml at all", "Product-info data can't be parsed.", "Failed to parse product-info data, "},
      {"<product-info><setup-files><conditions><maybe/></conditions><file/></setup-files></product-info>",
       "Unable to parse element 'maybe' as a condition!", nullptr},
      {"<product-info><setup-files><file><conditions><and/></conditions></file></setup-files></product-info>",
       "and: The XML element is missing required attributes!", nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.xml);
    auto parser = parsed(
        "<product-info><name>kept</name><setup-files><file><name>kept.exe</name></file></setup-files>"
        "<setup-commands executable='kept.exe'/></product-info>",
        x86_ws);
    log_capture log;
    try {
      parser->parse(bytes_of(c.xml));
      ADD_FAILURE() << "no exception";
    } catch (const kro::exceptions::error& e) {
      EXPECT_STREQ(e.what(), c.message);
    }
    if (c.logged) {
      EXPECT_EQ(log.count(c.logged), 1u) << log.text();
    }
    EXPECT_EQ(parser->get_product().name, L"kept");
    EXPECT_EQ(names(parser->get_setup_files()), "kept.exe");
    EXPECT_STREQ(parser->get_setup_commands().attribute("executable").value(), "kept.exe");
  }
}

TEST(product_info_parser, absent_name_and_version_keep_the_earlier_values) {
  auto parser = parsed("<product-info><name>first</name><version>1</version></product-info>", x86_ws);
  parser->parse(bytes_of("<product-info><version>2</version></product-info>"));
  EXPECT_EQ(parser->get_product().name, L"first");
  EXPECT_EQ(parser->get_product().version, L"2");
  parser->parse(bytes_of("<product-info><name/></product-info>"));
  EXPECT_EQ(parser->get_product().name, L"");
}

TEST(product_info_parser, first_applicable_setup_commands_is_returned) {
  const char* xml = R"(<product-info>
  <setup-commands executable="arm.exe"><conditions><os platform="arm64"/></conditions></setup-commands>
  <setup-commands executable="server.exe"><conditions><os type="server"/></conditions></setup-commands>
  <setup-commands executable="any.exe"/>
  <setup-commands executable="later.exe"/>
</product-info>)";
  static const struct {
    const char* system;
    const osv::facts& facts;
    const char* expected;
  } cases[] = {
      {"arm64", arm64_ws, "arm.exe"},
      {"x64 server", x64_srv, "server.exe"},
      {"x86 workstation", x86_ws, "any.exe"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.system);
    log_capture log;
    EXPECT_STREQ(parsed(xml, c.facts)->get_setup_commands().attribute("executable").value(), c.expected);
    EXPECT_EQ(log.count("<setup-commands>"), 0u);
  }
}

TEST(product_info_parser, no_applicable_setup_commands_gives_an_empty_handle) {
  static const char* const cases[] = {
      "<product-info/>",
      "<product-info><setup-commands executable='x.exe'><conditions><os platform='x64'/></conditions>"
      "</setup-commands></product-info>",
      "<setup-commands executable='x.exe'/>",  // not under product-info
  };
  for (const char* xml : cases) {
    SCOPED_TRACE(xml);
    auto parser = parsed(xml, x86_ws);
    log_capture log;
    const pugi::xml_node commands = parser->get_setup_commands();
    EXPECT_FALSE(commands);
    EXPECT_FALSE(commands.attribute("executable"));
    EXPECT_EQ(log.count("The <setup-commands> element is not presented in product-info.xml!"), 1u);
  }
  // Before any document, too.
  log_capture log;
  EXPECT_FALSE(kro::sfx::product_info_parser::factory().create(x86_ws)->get_setup_commands());
  EXPECT_EQ(log.count("The <setup-commands> element is not presented"), 1u);
}

TEST(product_info_parser, save_writes_back_the_bytes_received) {
  // Signature comment, CRLF line ends and a Latin-1 encoding declaration:
  // none of it is re-rendered.
  const std::string xml =
      "<?xml version='1.0' encoding='iso-8859-1'?>\r\n<!-- signature: 3045022100ab -->\r\n"
      "<product-info>\r\n\t<name>Orv\xE9x</name>  </product-info>\r\n";
  auto parser = parsed(xml, x86_ws);
  temp_file file("product-info");
  file.write(std::vector<uint8_t>(4096, 'x'));  // an existing longer file is truncated
  parser->save(file.path());
  EXPECT_EQ(file.read(), bytes_of(xml));
}

TEST(product_info_parser, save_raises_when_the_file_cannot_be_created) {
  auto parser = parsed("<product-info/>", x86_ws);
  temp_file folder("missing-folder");
  const std::wstring path = (folder.fs_path() / "product-info.xml").wstring();
  try {
    parser->save(path);
    ADD_FAILURE() << "no exception";
  } catch (const kro::exceptions::error& e) {
    EXPECT_EQ(e.what(), "Unable to create file '" + kro::text::to_utf8(path) + "'!");
    EXPECT_NE(e.code(), 0);
    EXPECT_NE(e.code(), -1);
  }
}

TEST(product_info_parser, default_parser_evaluates_for_the_running_system) {
  auto parser = kro::sfx::product_info_parser::factory().create();
  const osv::facts running = osv::raw_facts();
  const auto context = parser->create_condition_context();
  EXPECT_EQ(context->facts().major, running.major);
  EXPECT_EQ(context->facts().platform, running.platform);
  EXPECT_EQ(context->facts().product_type, running.product_type);
  ASSERT_TRUE(context->factory().create(L"not-os-at-least"));

  auto injected = kro::sfx::product_info_parser::factory().create(arm64_ws);
  EXPECT_EQ(injected->create_condition_context()->facts().platform, platform_type::arm64);
}

}  // namespace
