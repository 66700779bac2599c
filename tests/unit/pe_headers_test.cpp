// The PE header checks that the payload reader and the signature check share:
// the same signed package is accepted or refused by both, so the signed range
// and the payload start are always derived from the same header fields.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "bytes/pe_format.h"
#include "exceptions/exceptions.h"
#include "pe_fixture.h"
#include "root/verify_signature.h"
#include "sfx/payload_enumerator.h"

namespace {

using kro::test::pe_fixture;

// A signed package over the fixture image: one file record and the end
// record; SizeOfOptionalHeader is set to a non-zero patch_optional_size after
// the image is built (the fixture sizes the image to hold its section table).
std::vector<uint8_t> package(const pe_fixture& pe, uint16_t patch_optional_size = 0) {
  std::vector<uint8_t> image = kro::test::image_with_payload(pe, [](kro::sfx::payload_writer& w) {
    const auto data = kro::test::bytes_of("hello");
    w.add_file(L"a.txt", data.data(), data.size(), 7);
    w.add_end();
  });
  if (patch_optional_size) kro::test::put16(image, 0x80 + 20, patch_optional_size);
  return kro::test::signed_package(std::move(image));
}

struct reader_outcome {
  int32_t code = 0;  // 0: read one record
  std::string what;
  std::string log;
};

reader_outcome read_payload(const std::vector<uint8_t>& bytes) {
  reader_outcome out;
  kro::test::log_capture log;
  try {
    kro::sfx::payload_enumerator reader(kro::test::map_bytes(bytes));
    EXPECT_TRUE(reader.first());
    EXPECT_EQ(reader.current()->alias, L"a.txt");
    EXPECT_FALSE(reader.next());
  } catch (const kro::exceptions::error& e) {
    out.code = e.code();
    out.what = e.what();
  }
  out.log = log.text();
  return out;
}

struct header_case {
  const char* name;
  uint16_t optional_size;
  uint32_t directories;
  bool accepted;
  int32_t reader_code;  // when refused
  const char* reader_what;
  uint16_t patch_optional_size = 0;
};

const header_case header_cases[] = {
    {"SizeOfOptionalHeader 224, 16 directories", 224, 16, true, 0, ""},
    {"SizeOfOptionalHeader 240 (section table further on)", 240, 16, true, 0, ""},
    {"SizeOfOptionalHeader 223", 223, 16, false, 193, "Malformed PE header."},
    {"SizeOfOptionalHeader 48: the CheckSum is read as SizeOfRawData", 48, 16, false, 193,
     "Malformed PE header."},
    {"NumberOfRvaAndSizes 5", 224, 5, true, 0, ""},
    {"NumberOfRvaAndSizes 4: no security directory", 224, 4, false, 193, "Malformed PE header."},
    {"NumberOfRvaAndSizes 0", 224, 0, false, 193, "Malformed PE header."},
    {"section table behind the file end", 224, 16, false, 5, "Unable to read outside of the mapped view!",
     0xFFFF},
};

TEST(pe_headers, payload_reader_and_signature_check_refuse_the_same_images) {
  const auto checker = kro::sfx::verify_signature::factory().create();
  for (const header_case& c : header_cases) {
    SCOPED_TRACE(c.name);
    const std::vector<uint8_t> bytes =
        package(pe_fixture().optional_header_size(c.optional_size).data_directories(c.directories),
                c.patch_optional_size);

    const reader_outcome read = read_payload(bytes);
    EXPECT_EQ(read.code, c.accepted ? 0 : c.reader_code);
    EXPECT_EQ(read.what, c.accepted ? "" : c.reader_what);
    if (c.reader_code == 193) {
      EXPECT_NE(read.log.find("File has a malformed PE header: "), std::string::npos) << read.log;
    }

    kro::test::log_capture log;
    EXPECT_EQ(checker->verify_block(bytes.data(), bytes.size()), c.accepted);
    EXPECT_EQ(checker->verify_mapping(kro::test::map_bytes(bytes).get(), L"package.exe"), c.accepted);
    const std::string& text = log.text();
    EXPECT_EQ(text.find("DSA check refused the data: ") != std::string::npos, !c.accepted) << text;
    EXPECT_NE(
        text.find("DSA for file 'package.exe' verified with result '" + std::to_string(c.accepted) + "'"),
        std::string::npos)
        << text;
  }
}

// Before the check, a package whose section table overlaps the optional
// header verified, and its payload start followed the unsigned CheckSum.
TEST(pe_headers, checksum_cannot_move_the_payload_start) {
  const pe_fixture pe = pe_fixture().optional_header_size(48);
  ASSERT_EQ(pe.section_table() + 16, 0x80u + 88) << "SizeOfRawData of the first section is the CheckSum";
  std::vector<uint8_t> bytes = package(pe);
  kro::test::put32(bytes, 0x80 + 88, 0x10);
  EXPECT_FALSE(kro::sfx::verify_signature::factory().create()->verify_block(bytes.data(), bytes.size()));
  EXPECT_EQ(read_payload(bytes).code, 193);
}

// The shared reader on its own: every bound in subtraction form, so offsets
// near the 32-bit limit are refused instead of wrapping.
TEST(pe_headers, reader_bounds) {
  namespace pe = kro::pe;
  const std::vector<uint8_t> image = pe_fixture().add_section(0x300, 0x10).image();
  const pe::nt_headers good = pe::read_nt_headers({image.data(), image.size()}, 0x80);
  EXPECT_EQ(good.problem, pe::fault::none);
  EXPECT_EQ(good.number_of_sections, 2);
  EXPECT_EQ(good.section_table, 0x80u + 24 + 224);
  EXPECT_EQ(good.section_table_end, 0x80u + 24 + 224 + 80);
  EXPECT_EQ(good.checksum, 0x80u + 88);
  EXPECT_EQ(good.security_entry, 0x80u + 152);

  struct row {
    const char* name;
    uint64_t size;
    uint32_t nt;
    pe::fault expected;
  };
  const row rows[] = {
      {"NT headers at the 32-bit limit", image.size(), 0xFFFFFFF0u, pe::fault::headers_outside},
      {"optional header cut", 0x80 + 24 + 223, 0x80, pe::fault::headers_outside},
      {"section table cut by one byte", 0x80 + 24 + 224 + 79, 0x80, pe::fault::section_table_outside},
      {"section table ends at the end", 0x80 + 24 + 224 + 80, 0x80, pe::fault::none},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.name);
    EXPECT_EQ(pe::read_nt_headers({image.data(), static_cast<size_t>(r.size)}, r.nt).problem, r.expected);
  }
  std::vector<uint8_t> plus = image;
  kro::test::put16(plus, 0x80 + 24, 0x20B);
  EXPECT_EQ(pe::read_nt_headers({plus.data(), plus.size()}, 0x80).problem,
            pe::fault::optional_header_too_small);
  kro::test::put16(plus, 0x80 + 20, 240);
  kro::test::put32(plus, 0x80 + 24 + 108, 5);
  EXPECT_EQ(pe::read_nt_headers({plus.data(), plus.size()}, 0x80).problem, pe::fault::none);
  EXPECT_EQ(pe::read_nt_headers({plus.data(), plus.size()}, 0x80).security_entry, 0x80u + 168);
  kro::test::put16(plus, 0x80 + 24, 0x10C);
  EXPECT_EQ(pe::read_nt_headers({plus.data(), plus.size()}, 0x80).problem, pe::fault::unknown_magic);
}

}  // namespace
