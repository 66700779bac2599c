#include "sfx/brand.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "exceptions/exceptions.h"

namespace {

using bytes = std::vector<uint8_t>;

void put16(bytes& b, size_t at, uint16_t v) {
  b[at] = static_cast<uint8_t>(v);
  b[at + 1] = static_cast<uint8_t>(v >> 8);
}
void put32(bytes& b, size_t at, uint32_t v) {
  put16(b, at, static_cast<uint16_t>(v));
  put16(b, at + 2, static_cast<uint16_t>(v >> 16));
}
void append16(bytes& b, char16_t c) {
  b.push_back(static_cast<uint8_t>(c));
  b.push_back(static_cast<uint8_t>(c >> 8));
}
void pad4(bytes& b) { b.resize((b.size() + 3) & ~size_t{3}); }

// One version-block node: length, value length, type, key, padding, value,
// padding, children (each at a 4-byte boundary).
bytes node(std::u16string_view key, uint16_t type, uint16_t value_length, const bytes& value,
           const std::vector<bytes>& children = {}) {
  bytes b(6);
  for (char16_t c : key) append16(b, c);
  append16(b, 0);
  pad4(b);
  b.insert(b.end(), value.begin(), value.end());
  for (const bytes& child : children) {
    pad4(b);
    b.insert(b.end(), child.begin(), child.end());
  }
  put16(b, 0, static_cast<uint16_t>(b.size()));
  put16(b, 2, value_length);
  put16(b, 4, type);
  return b;
}

bytes string(std::u16string_view key, std::u16string_view value) {
  bytes v;
  for (char16_t c : value) append16(v, c);
  append16(v, 0);
  return node(key, 1, static_cast<uint16_t>(value.size() + 1), v);
}

bytes version_block(const std::vector<bytes>& strings,
                    std::u16string_view file_info_key = u"StringFileInfo") {
  bytes fixed(52, 0);
  put32(fixed, 0, 0xFEEF04BD);
  bytes translation(4, 0);
  put16(translation, 0, 0x0409);
  put16(translation, 2, 1200);
  return node(u"VS_VERSION_INFO", 0, 52, fixed,
              {node(file_info_key, 1, 0, {}, {node(u"040904b0", 1, 0, {}, strings)}),
               node(u"VarFileInfo", 1, 0, {}, {node(u"Translation", 0, 4, translation)})});
}

bytes standard_block() {
  return version_block({string(u"CompanyName", u"Orvex Software"), string(u"ProductName", u"Morrow"),
                        string(u"ProductId", u"orvex-morrow"), string(u"FileVersion", u"1.0.0.1")});
}

// Offset of the node whose key is `key` (the key follows its 6-byte header).
size_t node_offset(const bytes& b, std::u16string_view key) {
  bytes pattern;
  for (char16_t c : key) append16(pattern, c);
  append16(pattern, 0);
  for (size_t at = 6; at + pattern.size() <= b.size(); at += 2) {
    if (std::memcmp(b.data() + at, pattern.data(), pattern.size()) == 0) return at - 6;
  }
  ADD_FAILURE() << "key not in block";
  return 0;
}

void expect_no_product_id(const bytes& block, const char* what) {
  try {
    kro::sfx::product_id_from_version_block(block);
    ADD_FAILURE() << what << ": no exception";
  } catch (const kro::exceptions::error& e) {
    EXPECT_EQ(e.code(), -1) << what;
    EXPECT_STREQ(e.what(), "Unable to determine product identifier from resources!") << what;
  }
}

TEST(brand, product_id_from_version_blocks) {
  static const struct {
    const char* what;
    bytes (*make)();
    const wchar_t* expected;  // nullptr: not found
  } cases[] = {
      {"standard block", [] { return standard_block(); }, L"orvex-morrow"},
      {"key spelled lower-case", [] { return version_block({string(u"productid", u"tallis-morrow")}); },
       L"tallis-morrow"},
      {"key spelled upper-case, container too",
       [] { return version_block({string(u"PRODUCTID", u"quenby-x")}, u"stringfileinfo"); }, L"quenby-x"},
      {"first match of the table wins",
       [] {
         return version_block({string(u"ProductId", u"a-1"), string(u"ProductId", u"b-2")});
       },
       L"a-1"},
      {"second string table",
       [] {
         bytes fixed(52, 0);
         return node(u"VS_VERSION_INFO", 0, 52, fixed,
                     {node(u"StringFileInfo", 1, 0, {},
                           {node(u"040904b0", 1, 0, {}, {string(u"CompanyName", u"x")}),
                            node(u"040704b0", 1, 0, {}, {string(u"ProductId", u"sorrel-de")})})});
       },
       L"sorrel-de"},
      {"empty value", [] { return version_block({string(u"ProductId", u"")}); }, L""},
      {"non-ASCII value", [] { return version_block({string(u"ProductId", u"orvex-\u00e9\U0001F600")}); },
       L"orvex-\u00e9\U0001F600"},
      {"value length beyond the node is capped",
       [] {
         bytes b = standard_block();
         put16(b, node_offset(b, u"ProductId") + 2, 0xFFFF);
         return b;
       },
       L"orvex-morrow"},
      {"missing key", [] { return version_block({string(u"ProductName", u"Morrow")}); }, nullptr},
      {"key only as a substring", [] { return version_block({string(u"ProductIdentifier", u"x-y")}); },
       nullptr},
      {"ProductId outside StringFileInfo",
       [] { return version_block({string(u"ProductId", u"orvex-morrow")}, u"VarFileInfo"); }, nullptr},
      {"empty block", [] { return bytes{}; }, nullptr},
      {"header only", [] { return bytes{6, 0, 0, 0, 0, 0}; }, nullptr},
      {"root length beyond the bytes",
       [] {
         bytes b = standard_block();
         put16(b, 0, static_cast<uint16_t>(b.size() + 4));
         return b;
       },
       nullptr},
      {"block truncated inside ProductId",
       [] {
         bytes b = standard_block();
         b.resize(node_offset(b, u"ProductId") + 10);
         return b;
       },
       nullptr},
      {"child length beyond its parent",
       [] {
         bytes b = standard_block();
         put16(b, node_offset(b, u"ProductName"), 0x7FF0);
         return b;
       },
       nullptr},
      {"child length below the header size",
       [] {
         bytes b = standard_block();
         put16(b, node_offset(b, u"ProductName"), 0);
         return b;
       },
       nullptr},
      {"key without terminator",
       [] {
         bytes b = standard_block();
         const size_t at = node_offset(b, u"ProductName");
         put16(b, at, 6 + 2 * 3);  // ends inside "ProductName"
         return b;
       },
       nullptr},
  };
  for (const auto& row : cases) {
    const bytes block = row.make();
    const std::optional<std::wstring> found = kro::sfx::find_version_string(block, L"ProductId");
    if (row.expected == nullptr) {
      EXPECT_FALSE(found.has_value()) << row.what;
      expect_no_product_id(block, row.what);
    } else {
      ASSERT_TRUE(found.has_value()) << row.what;
      EXPECT_EQ(*found, row.expected) << row.what;
      EXPECT_EQ(kro::sfx::product_id_from_version_block(block), row.expected) << row.what;
    }
  }
}

// A loaded PE32 image with a resource section at 0x200 holding type 16,
// name 1, language 1033, whose data (the version block) lies at 0x400.
constexpr size_t optional_header = 0x40 + 24;
constexpr size_t directory_count = optional_header + 92;
constexpr size_t resource_directory = directory_count + 4 + 2 * 8;
constexpr size_t rsrc = 0x200;
constexpr size_t data = 0x400;

bytes pe_image() {
  bytes image(data);
  image[0] = 'M';
  image[1] = 'Z';
  put32(image, 0x3C, 0x40);
  put32(image, 0x40, 0x00004550);
  put16(image, optional_header, 0x10B);
  put32(image, directory_count, 16);
  put32(image, resource_directory, rsrc);
  put32(image, resource_directory + 4, 0x80);
  // type directory: one id entry 16 -> subdirectory 0x18
  put16(image, rsrc + 14, 1);
  put32(image, rsrc + 16, 16);
  put32(image, rsrc + 20, 0x80000000u | 0x18);
  // name directory: one id entry 1 -> subdirectory 0x30
  put16(image, rsrc + 0x18 + 14, 1);
  put32(image, rsrc + 0x18 + 16, 1);
  put32(image, rsrc + 0x18 + 20, 0x80000000u | 0x30);
  // language directory: one id entry 1033 -> data entry 0x48
  put16(image, rsrc + 0x30 + 14, 1);
  put32(image, rsrc + 0x30 + 16, 1033);
  put32(image, rsrc + 0x30 + 20, 0x48);
  const bytes block = standard_block();
  put32(image, rsrc + 0x48, data);
  put32(image, rsrc + 0x48 + 4, static_cast<uint32_t>(block.size()));
  image.insert(image.end(), block.begin(), block.end());
  return image;
}

TEST(brand, version_resource_of_a_loaded_image) {
  static const char* const no_section = "There is no resource section in module";
  static const char* const empty = "Resource section is empty";
  static const char* const no_id = "Unable to determine product identifier from resources!";
  static const struct {
    const char* what;
    void (*mutate)(bytes&);
    const char* error;  // nullptr: the product identifier is found
  } cases[] = {
      {"valid image", [](bytes&) {}, nullptr},
      {"entry counts beyond the section are capped", [](bytes& b) { put16(b, rsrc + 14, 0xFFFF); }, nullptr},
      {"only two data directories", [](bytes& b) { put32(b, directory_count, 2); }, no_section},
      {"resource directory address 0", [](bytes& b) { put32(b, resource_directory, 0); }, no_section},
      {"resource directory size 0", [](bytes& b) { put32(b, resource_directory + 4, 0); }, empty},
      {"no version type", [](bytes& b) { put32(b, rsrc + 16, 24); }, no_id},
      {"version type named, not numbered", [](bytes& b) { put32(b, rsrc + 16, 0x80000000u | 16); }, no_id},
      {"type entry is no subdirectory", [](bytes& b) { put32(b, rsrc + 20, 0x18); }, no_id},
      {"no name entry", [](bytes& b) { put16(b, rsrc + 0x18 + 14, 0); }, no_id},
      {"language entry is a subdirectory", [](bytes& b) { put32(b, rsrc + 0x30 + 20, 0x80000000u | 0x48); },
       no_id},
      {"subdirectory outside the section", [](bytes& b) { put32(b, rsrc + 20, 0x80000000u | 0x7FFFFFF0u); },
       no_id},
      {"data outside the image", [](bytes& b) { put32(b, rsrc + 0x48, 0xFFFFFFF0u); }, no_id},
      {"data size beyond the image", [](bytes& b) { put32(b, rsrc + 0x48 + 4, 0xFFFFFFFFu); }, no_id},
      {"section beyond the image", [](bytes& b) { put32(b, resource_directory + 4, 0xFFFFFFFFu); }, no_id},
      {"no PE signature", [](bytes& b) { b[0x40] = 'X'; }, no_id},
      {"header offset beyond the image", [](bytes& b) { put32(b, 0x3C, 0xFFFFFFF0u); }, no_id},
  };
  for (const auto& row : cases) {
    bytes image = pe_image();
    row.mutate(image);
    try {
      const std::wstring id = kro::sfx::product_id_from_version_block(kro::sfx::find_version_resource(image));
      EXPECT_EQ(row.error, nullptr) << row.what;
      EXPECT_EQ(id, L"orvex-morrow") << row.what;
    } catch (const kro::exceptions::error& e) {
      ASSERT_NE(row.error, nullptr) << row.what << ": " << e.what();
      EXPECT_STREQ(e.what(), row.error) << row.what;
      EXPECT_EQ(e.code(), -1) << row.what;
    }
  }
}

TEST(brand, deduced_from_the_prefix_before_the_first_hyphen) {
  static constexpr struct {
    const wchar_t* product_id;
    uint32_t number;  // 0: code 192
    const wchar_t* company_folder;
  } cases[] = {
      {L"orvex-morrow", 1, L"Orvex Software"},
      {L"tallis-morrow", 2, L"Tallis"},
      {L"sorrel-a-b", 3, L"Sorrel"},
      {L"quenby-", 4, L"Quenby"},
      {L"Orvex-morrow", 0, nullptr},
      {L"ORVEX-morrow", 0, nullptr},
      {L"orvexmorrow", 0, nullptr},
      {L"orvex", 0, nullptr},
      {L"orvexx-morrow", 0, nullptr},
      {L"orv-morrow", 0, nullptr},
      {L"-orvex", 0, nullptr},
      {L"morrow-orvex", 0, nullptr},
      {L"", 0, nullptr},
  };
  for (const auto& row : cases) {
    const std::string id = testing::PrintToString(std::wstring(row.product_id));
    if (row.number != 0) {
      const kro::sfx::brand_info brand = kro::sfx::deduce_brand(row.product_id);
      EXPECT_EQ(brand.number, row.number) << id;
      EXPECT_EQ(brand.product_id, row.product_id) << id;
      EXPECT_EQ(brand.company_folder, row.company_folder) << id;
      continue;
    }
    try {
      kro::sfx::deduce_brand(row.product_id);
      ADD_FAILURE() << id << ": no exception";
    } catch (const kro::exceptions::fatal& e) {
      EXPECT_EQ(e.code(), 192) << id;
    }
  }
  try {
    kro::sfx::deduce_brand(L"Orvex-morrow");
  } catch (const kro::exceptions::fatal& e) {
    EXPECT_STREQ(e.what(), "Unable to deduce brand from product identifier 'Orvex-morrow'!");
  }
}

}  // namespace
