#include "repository/conditions/conditions.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>

#include "exceptions/exceptions.h"
#include "text/text.h"

namespace {

namespace cond = kro::repository::conditions;
namespace osv = kro::environment::os_version;
using osv::platform_type;

struct named_system {
  const char* name;
  osv::facts facts;
};

named_system make(const char* name, uint32_t major, uint32_t minor, uint32_t build, uint16_t sp,
                  platform_type platform, uint8_t product_type) {
  osv::facts f;
  f.major = major;
  f.minor = minor;
  f.build = build;
  f.sp_major = sp;
  f.platform = platform;
  f.product_type = product_type;
  return {name, f};
}

constexpr uint8_t ws = osv::product_workstation;
constexpr uint8_t dc = osv::product_domain_controller;
constexpr uint8_t srv = osv::product_server;

const named_system w7_x86 = make("7 SP1 x86 workstation", 6, 1, 7601, 1, platform_type::x86, ws);
const named_system w7_x64_srv = make("2008 R2 SP1 x64 server", 6, 1, 7601, 1, platform_type::x64, srv);
const named_system w7_sp2 = make("6.1 SP2 7601 x64 workstation", 6, 1, 7601, 2, platform_type::x64, ws);
const named_system w81_srv = make("8.1 9600 x64 server", 6, 3, 9600, 0, platform_type::x64, srv);
const named_system w81_dc = make("8.1 9600 x64 domain controller", 6, 3, 9600, 0, platform_type::x64, dc);
const named_system w10_arm = make("10 19045 arm64 workstation", 10, 0, 19045, 0, platform_type::arm64, ws);
const named_system w10_17763 = make("10 17763 x64 server", 10, 0, 17763, 0, platform_type::x64, srv);
const named_system w10_17764 = make("10 17764 x64 workstation", 10, 0, 17764, 0, platform_type::x64, ws);
const named_system ia64_type0 = make("6.1 ia64, product type 0", 6, 1, 7601, 1, platform_type::ia64, 0);
const named_system arm_type4 = make("6.2 arm, product type 4", 6, 2, 9200, 0, platform_type::arm, 4);

// Parses "<conditions>" + inner + "</conditions>" with the default options.
class conditions_document {
 public:
  explicit conditions_document(const std::string& inner) {
    const std::string text = "<conditions>" + inner + "</conditions>";
    ok_ = static_cast<bool>(doc_.load_string(text.c_str()));
  }
  bool ok() const { return ok_; }
  pugi::xml_node root() const { return doc_.child("conditions"); }

 private:
  pugi::xml_document doc_;
  bool ok_ = false;
};

TEST(conditions, verdicts) {
  static const struct {
    const char* xml;
    const named_system& system;
    bool expected;
  } cases[] = {
      // root and containers
      {"", w7_x86, true},
      {"<boolean value='true'/>", w7_x86, true},
      {"<boolean value='false'/>", w7_x86, false},
      {"<not-boolean value='true'/>", w7_x86, false},
      {"<boolean value='true'/><boolean value='false'/>", w7_x86, false},
      {"<and><boolean value='true'/><boolean value='false'/></and>", w7_x86, false},
      {"<and><boolean value='true'/><boolean value='true'/></and>", w7_x86, true},
      {"<not-and><boolean value='true'/><boolean value='false'/></not-and>", w7_x86, true},
      {"<or><boolean value='false'/><boolean value='true'/></or>", w7_x86, true},
      {"<or><boolean value='false'/><boolean value='false'/></or>", w7_x86, false},
      {"<not-or><boolean value='false'/><boolean value='false'/></not-or>", w7_x86, true},
      {"<not><boolean value='false'/></not>", w7_x86, true},
      {"<not-not><boolean value='false'/></not-not>", w7_x86, false},
      {"<!-- note --><boolean value='true'/><?pi x?>\n  ", w7_x86, true},
      {"<or><and><os major='6' minor='1'/><os platform='x86'/></and><os-at-least major='10'/></or>", w7_x86,
       true},
      {"<or><and><os major='6' minor='1'/><os platform='x86'/></and><os-at-least major='10'/></or>",
       w7_x64_srv, false},
      {"<or><and><os major='6' minor='1'/><os platform='x86'/></and><os-at-least major='10'/></or>", w10_arm,
       true},
      // evaluation stops early, so later invalid children go unnoticed
      {"<boolean value='false'/><and/>", w7_x86, false},
      {"<or><boolean value='true'/><boolean/></or>", w7_x86, true},
      {"<and><boolean value='false'/><not/></and>", w7_x86, false},
      {"<os major='5' platform='x86' type='server'/>", ia64_type0, false},
      {"<os major='6' sp='1'/>", ia64_type0, true},
      // os: equality of the given components
      {"<os/>", w10_arm, true},
      {"<os major='6' minor='1' sp='1' build='7601'/>", w7_x86, true},
      {"<os major='6' minor='1' sp='1' build='7601'/>", w7_sp2, false},
      {"<os build='7600'/>", w7_x86, false},
      {"<os platform='ARM64'/>", w10_arm, true},
      {"<os platform='arm64'/>", w7_x86, false},
      {"<os platform='x64'/>", w81_srv, true},
      {"<os platform='X86'/>", w7_x86, true},
      {"<os platform=''/>", w10_arm, false},
      {"<os platform=''/>", w7_x86, false},
      {"<os type='server'/>", w81_srv, true},
      {"<os type='Server'/>", w81_dc, true},
      {"<os type='server'/>", w7_x86, false},
      {"<os type='WORKSTATION'/>", w10_arm, true},
      {"<os type='workstation'/>", w10_17763, false},
      {"<os type=''/>", w10_arm, false},
      {"<not-os type='server'/>", w7_x86, true},
      {"<not-os type='server'/>", w81_srv, false},
      {"<not-os major='6' platform='x86' type='workstation'/>", w7_x86, false},
      {"<not-os major='6' platform='x86' type='workstation'/>", w7_x64_srv, true},
      // numbers that are no numbers are absent
      {"<os major='abc'/>", w7_x86, true},
      {"<os major=' 10'/>", w10_arm, true},
      {"<os major=' 10'/>", w81_srv, false},
      {"<os major='10 '/>", w7_x86, true},
      {"<os major='0x6'/>", w10_arm, true},
      {"<os major=''/>", w7_x86, true},
      {"<os major='+10'/>", w7_x86, false},
      {"<os major='9223372036854775808'/>", w7_x86, true},
      {"<os-at-least major='abc'/>", w7_x86, true},
      {"<os-at-least major='-1'/>", w7_x86, true},
      // os-at-least / os-at-most: most significant component first
      {"<os-at-least major='6' minor='1'/>", w7_x86, true},
      {"<os-at-least major='6' minor='2'/>", w7_x86, false},
      {"<os-at-least major='6' minor='3'/>", w81_srv, true},
      {"<os-at-least major='6' minor='3'/>", w10_arm, true},
      {"<os-at-least major='11'/>", w10_arm, false},
      {"<os-at-least major='6' build='99999'/>", w10_arm, true},
      {"<os-at-least major='6' minor='1' sp='1' build='9000'/>", w7_sp2, true},
      {"<os-at-least major='6' minor='1' sp='1' build='9000'/>", w7_x86, false},
      {"<os-at-least major='6' minor='1' sp='1' build='7601'/>", w7_x86, true},
      {"<os-at-least build='17763'/>", w10_17763, true},
      {"<os-at-least build='17763'/>", w81_srv, false},
      {"<os-at-most major='6' minor='1' sp='1' build='9000'/>", w7_sp2, false},
      {"<os-at-most major='6' minor='1' sp='1' build='9000'/>", w7_x86, true},
      {"<os-at-most build='17763'/>", w10_17763, true},
      {"<os-at-most build='17763'/>", w10_17764, false},
      {"<os-at-most major='6' minor='1'/>", w7_x86, true},
      {"<os-at-most major='6' minor='1'/>", w81_srv, false},
      {"<os-at-most major='6' minor='3' build='1'/>", w7_x86, true},
      {"<os-at-most major='10'/>", w10_arm, true},
      {"<not-os-at-least major='6' minor='2'/>", w7_x86, true},
      {"<not-os-at-least major='6' minor='2'/>", w81_dc, false},
      {"<not-os-at-most major='6' minor='1'/>", w81_srv, true},
      {"<not-os-at-most major='6' minor='1'/>", w7_x64_srv, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.xml) + " on " + c.system.name);
    conditions_document doc(c.xml);
    ASSERT_TRUE(doc.ok());
    const auto context = cond::create_standard_context(c.system.facts);
    EXPECT_EQ(cond::evaluate_conditions(doc.root(), *context), c.expected);
  }
}

TEST(conditions, errors) {
  enum phase_t { at_load, at_evaluate };
  static const struct {
    const char* xml;
    const named_system& system;
    phase_t phase;
    int32_t code;
    const char* message;
  } cases[] = {
      {"<OS/>", w7_x86, at_load, -1, "Unable to parse element 'OS' as a condition!"},
      {"<os-at-lest/>", w7_x86, at_load, -1, "Unable to parse element 'os-at-lest' as a condition!"},
      {"<and><not-xor/></and>", w7_x86, at_load, -1, "Unable to parse element 'not-xor' as a condition!"},
      {"<and>yes</and>", w7_x86, at_load, -1, "Unable to parse element '' as a condition!"},
      {"<![CDATA[x]]>", w7_x86, at_load, -1, "Unable to parse element '' as a condition!"},
      {"<and/>", w7_x86, at_evaluate, 87, "and: The XML element is missing required attributes!"},
      {"<not-and/>", w7_x86, at_evaluate, 87, "and: The XML element is missing required attributes!"},
      {"<or/>", w7_x86, at_evaluate, 87, "or: The XML element is missing required attributes!"},
      {"<not-or/>", w7_x86, at_evaluate, 87, "or: The XML element is missing required attributes!"},
      {"<not/>", w7_x86, at_evaluate, 87, "not: The XML element is missing required attributes!"},
      {"<not><boolean value='true'/><boolean value='true'/></not>", w7_x86, at_evaluate, 87,
       "not: The XML element is missing required attributes!"},
      {"<not-not/>", w7_x86, at_evaluate, 87, "not: The XML element is missing required attributes!"},
      {"<or><boolean value='false'/><and/></or>", w7_x86, at_evaluate, 87,
       "and: The XML element is missing required attributes!"},
      {"<boolean/>", w7_x86, at_evaluate, 87, "The assertion failed for expression: m_value"},
      {"<boolean value='TRUE'/>", w7_x86, at_evaluate, 87, "The assertion failed for expression: m_value"},
      {"<not-boolean value='1'/>", w7_x86, at_evaluate, 87, "The assertion failed for expression: m_value"},
      {"<os platform='x86'/>", ia64_type0, at_evaluate, -1,
       "The executable is running under unknown OS platform!"},
      {"<os platform='arm'/>", arm_type4, at_evaluate, -1,
       "The executable is running under unknown OS platform!"},
      {"<not-os type='server'/>", ia64_type0, at_evaluate, -1,
       "The executable is running under unknown OS type!"},
      {"<os type='workstation'/>", arm_type4, at_evaluate, -1,
       "The executable is running under unknown OS type!"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.xml) + " on " + c.system.name);
    conditions_document doc(c.xml);
    ASSERT_TRUE(doc.ok());
    const auto context = cond::create_standard_context(c.system.facts);
    cond::condition_root root;
    try {
      root.load(doc.root(), *context);
      EXPECT_EQ(c.phase, at_evaluate) << "loaded without error";
      root.evaluate(*context);
      ADD_FAILURE() << "no error raised";
    } catch (const kro::exceptions::error& e) {
      EXPECT_EQ(e.code(), c.code);
      EXPECT_STREQ(e.what(), c.message);
    }
  }
}

TEST(conditions, version_numbers) {
  static const struct {
    const char* text;
    std::optional<int32_t> expected;
  } cases[] = {
      {"10", 10},
      {" 10", 10},
      {"\t\n 10", 10},
      {"+10", 10},
      {"-3", -3},
      {"007", 7},
      {"2147483647", 2147483647},
      {"-2147483648", INT32_MIN},
      {"10 ", std::nullopt},
      {"abc", std::nullopt},
      {"", std::nullopt},
      {" ", std::nullopt},
      {"+", std::nullopt},
      {"+-1", std::nullopt},
      {"1e3", std::nullopt},
      {"0x6", std::nullopt},
      {"9223372036854775808", std::nullopt},
      {"-9223372036854775809", std::nullopt},
      {"123456789012345678901234567890", std::nullopt},
  };
  const auto context = cond::create_standard_context(w7_x86.facts);
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string("'") + c.text + "'");
    pugi::xml_document doc;
    pugi::xml_node element = doc.append_child("os-at-least");
    for (const char* name : {"major", "minor", "sp", "build"}) element.append_attribute(name) = c.text;
    cond::condition_os_at_least condition;
    condition.load(element, *context);
    EXPECT_EQ(condition.major(), c.expected);
    EXPECT_EQ(condition.minor(), c.expected);
    EXPECT_EQ(condition.sp(), c.expected);
    EXPECT_EQ(condition.build(), c.expected);
  }
}

TEST(conditions, numbers_beyond_32_bits_raise_a_standard_narrowing_error) {
  static const char* const cases[] = {
      "<os major='2147483648'/>",
      "<os-at-most minor='-2147483649'/>",
      "<not-os-at-least sp='9223372036854775807'/>",
      "<and><os build='-9223372036854775808'/></and>",
  };
  const auto context = cond::create_standard_context(w10_arm.facts);
  for (const char* xml : cases) {
    SCOPED_TRACE(xml);
    conditions_document doc(xml);
    ASSERT_TRUE(doc.ok());
    cond::condition_root root;
    try {
      root.load(doc.root(), *context);
      ADD_FAILURE() << "loaded without error";
    } catch (const kro::exceptions::detail::base&) {
      ADD_FAILURE() << "raised an error of the program's own tree";
    } catch (const std::exception& e) {
      EXPECT_NE(dynamic_cast<const cond::narrowing_error*>(&e), nullptr) << e.what();
    }
  }
}

TEST(conditions, factory_knows_exactly_the_fourteen_names) {
  static const struct {
    const wchar_t* name;
    bool known;
  } cases[] = {
      {L"and", true},
      {L"or", true},
      {L"not", true},
      {L"boolean", true},
      {L"os", true},
      {L"os-at-least", true},
      {L"os-at-most", true},
      {L"not-and", true},
      {L"not-or", true},
      {L"not-not", true},
      {L"not-boolean", true},
      {L"not-os", true},
      {L"not-os-at-least", true},
      {L"not-os-at-most", true},
      {L"conditions", false},
      {L"Not-os", false},
      {L"not-", false},
      {L"not-not-os", false},
      {L"", false},
  };
  const cond::standard_factory factory;
  for (const auto& c : cases) {
    SCOPED_TRACE(kro::text::to_utf8(c.name));
    EXPECT_EQ(factory.create(c.name) != nullptr, c.known);
  }
}

TEST(conditions, missing_element_is_an_empty_tree_and_reload_replaces_children) {
  const auto context = cond::create_standard_context(w81_srv.facts);
  cond::condition_root root;
  root.load(pugi::xml_node(), *context);
  EXPECT_FALSE(root.name().has_value());
  EXPECT_TRUE(root.evaluate(*context));

  conditions_document full("<boolean value='false'/><os/>");
  conditions_document empty("");
  root.load(full.root(), *context);
  EXPECT_EQ(root.children().size(), 2u);
  EXPECT_EQ(root.name(), std::wstring(L"conditions"));
  EXPECT_FALSE(root.evaluate(*context));
  root.load(empty.root(), *context);
  EXPECT_TRUE(root.children().empty());
  EXPECT_TRUE(root.evaluate(*context));
}

TEST(conditions, store_writes_the_tree_back) {
  const char* const inner =
      "<or><os major=\"6\" minor=\"1\" sp=\"1\" build=\"7601\" platform=\"X86\" type=\"\"/>"
      "<not-boolean value=\"false\"/><boolean/></or><not-os-at-most build=\"-5\"/>"
      "<not-not><os-at-least major=\"10\"/></not-not>";
  conditions_document doc(inner);
  ASSERT_TRUE(doc.ok());
  const auto context = cond::create_standard_context(w7_x86.facts);
  cond::condition_root root;
  root.load(doc.root(), *context);

  pugi::xml_document out;
  root.store(out.append_child("placeholder"));
  struct collect : pugi::xml_writer {
    std::string text;
    void write(const void* data, size_t size) override { text.append(static_cast<const char*>(data), size); }
  } writer;
  out.save(writer, "", pugi::format_raw | pugi::format_no_declaration);
  EXPECT_EQ(writer.text, std::string("<conditions>") + inner + "</conditions>");
}

}  // namespace
