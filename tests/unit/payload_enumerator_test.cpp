// The payload record reader over mapped PE-shaped images, and the record
// writer that the packaging tool uses, read back by the reader.
#include "sfx/payload_enumerator.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "exceptions/exceptions.h"
#include "pe_fixture.h"
#include "root/sha256.h"
#include "sfx/payload_format.h"
#include "sfx/payload_writer.h"

namespace {

using kro::sfx::payload_entry;
using kro::sfx::payload_enumerator;
using kro::sfx::payload_writer;
using kro::test::bytes_of;
using kro::test::image_with_payload;
using kro::test::pe_fixture;
namespace fmt = kro::sfx::payload_format;

constexpr int32_t no_error = 0;

struct outcome {
  std::vector<payload_entry> records;
  uint32_t payload_start = 0;
  int32_t code = no_error;
  std::string what;
  std::string log;
};

// Constructs the reader over the bytes and walks every record.
outcome walk(const std::vector<uint8_t>& bytes) {
  outcome out;
  kro::test::log_capture capture;
  try {
    payload_enumerator reader(kro::test::map_bytes(bytes));
    out.payload_start = reader.payload_start();
    for (bool more = reader.first(); more; more = reader.next()) {
      out.records.push_back(*reader.current());
      if (out.records.size() > 1000) {
        ADD_FAILURE() << "the walk does not end";
        return out;
      }
    }
    EXPECT_EQ(reader.current(), nullptr);
    EXPECT_FALSE(reader.next());
  } catch (const kro::exceptions::error& e) {
    out.code = e.code();
    out.what = e.what();
  }
  out.log = capture.text();
  return out;
}

std::vector<uint8_t> one_file(const pe_fixture& pe = pe_fixture()) {
  return image_with_payload(pe, [](payload_writer& w) {
    const auto data = bytes_of("hello");
    w.add_file(L"a.txt", data.data(), data.size(), 7);
    w.add_end();
  });
}

// One file record "a.txt" with 5 data bytes, no end record.
std::vector<uint8_t> cut_payload(size_t keep) {
  std::vector<uint8_t> bytes = image_with_payload(pe_fixture(), [](payload_writer& w) {
    const auto data = bytes_of("hello");
    w.add_file(L"a.txt", data.data(), data.size(), 7);
  });
  bytes.resize(pe_fixture().section_end() + keep);
  return bytes;
}

std::vector<uint8_t> with_header_byte(size_t at, uint8_t value) {
  std::vector<uint8_t> bytes = one_file();
  bytes[pe_fixture().section_end() + at] = value;
  return bytes;
}

struct failure_case {
  const char* name;
  std::function<std::vector<uint8_t>()> make;
  int32_t code;
  const char* what;
  std::vector<const char*> log;  // in this order
  size_t records;                // read before the failure
};

const std::vector<failure_case>& failure_cases() {
  static const std::vector<failure_case> cases = {
      {"shorter than a DOS header",
       [] { return std::vector<uint8_t>(63, 'M'); },
       5,
       "Unable to read outside of the mapped view!",
       {},
       0},
      {"no MZ",
       [] {
         auto b = one_file();
         b[0] = 'Z';
         return b;
       },
       193,
       "Missing DOS signature.",
       {"File is not PE."},
       0},
      {"e_lfanew behind the file",
       [] {
         auto b = one_file();
         kro::test::put32(b, 0x3C, static_cast<uint32_t>(b.size() + 1));
         return b;
       },
       5,
       "Unable to read outside of the mapped view!",
       {},
       0},
      {"e_lfanew leaves fewer than 248 bytes",
       [] {
         auto b = one_file();
         kro::test::put32(b, 0x3C, static_cast<uint32_t>(b.size() - 247));
         return b;
       },
       5,
       "Unable to read outside of the mapped view!",
       {},
       0},
      {"no PE signature",
       [] {
         auto b = one_file();
         b[0x80 + 2] = 1;
         return b;
       },
       193,
       "Missing NT signature.",
       {"File is missing NT signature"},
       0},
      {"64-bit optional header",
       [] { return one_file(pe_fixture().optional_magic(0x20B)); },
       193,
       "Exe file is not 32-bit.",
       {"File is not 32-bit executable."},
       0},
      {"section table outside the file",
       [] {
         auto b = pe_fixture().image();
         kro::test::put16(b, 0x80 + 6, 0xFFFF);
         return b;
       },
       5,
       "Unable to read outside of the mapped view!",
       {},
       0},
      {"section data behind the file end",
       [] {
         auto b = pe_fixture().add_section(0x300, 0x100).image();
         b.resize(b.size() - 1);
         return b;
       },
       193,
       "Payload starts behind file end.",
       {"Payload starts behind file end. File is invalid."},
       0},
      {"section end beyond 4 GiB does not wrap",
       [] { return one_file(pe_fixture().add_section(0xFFFFFF00u, 0x200)); },
       193,
       "Payload starts behind file end.",
       {"Payload starts behind file end. File is invalid."},
       0},
      {"record version 2",
       [] { return with_header_byte(0, 2); },
       487,
       "Header version is not supported",
       {"Version 2 is not supported!"},
       0},
      {"record magic APX",
       [] { return with_header_byte(3, 'X'); },
       487,
       "Fail on read payload",
       {"Invalid payload, 'APE' expected, 'APX' got.", "Fail on read value 0."},
       0},
      {"header cut inside the sha-256",
       [] { return cut_payload(fmt::sha256.offset + 10); },
       487,
       "Fail on read payload",
       {"Fail on read value 5."},
       0},
      {"no end record behind the last data",
       [] { return cut_payload(fmt::header_size + 5 + 5); },
       5,
       "Unable to read outside of the mapped view!",
       {"Data file sha="},
       1},
      {"size reaching back to the record itself",
       [] {
         // data offset + size wraps to the record's own offset in 32 bits.
         auto b = one_file();
         const uint32_t start = pe_fixture().section_end();
         kro::test::put32(b, start + fmt::size.offset, 0u - (fmt::header_size + 5));
         return b;
       },
       5,
       "Unable to read outside of the mapped view!",
       {},
       1},
  };
  return cases;
}

TEST(payload_enumerator, refuses_malformed_images_and_records) {
  for (const failure_case& c : failure_cases()) {
    SCOPED_TRACE(c.name);
    const outcome out = walk(c.make());
    EXPECT_EQ(out.code, c.code);
    EXPECT_EQ(out.what, c.what);
    EXPECT_EQ(out.records.size(), c.records);
    size_t at = 0;
    for (const char* line : c.log) {
      at = out.log.find(line, at);
      EXPECT_NE(at, std::string::npos) << "missing in order: " << line << "\n" << out.log;
      if (at == std::string::npos) break;
    }
  }
}

// Every cut inside a record header names the field that could not be read.
TEST(payload_enumerator, cut_header_reports_the_field_being_read) {
  struct cut {
    uint32_t keep;
    int step;
  };
  static constexpr cut cuts[] = {
      {1, 0},  {3, 0},  {4, 1},  {7, 1},  {8, 2},  {11, 2}, {12, 3}, {19, 3},
      {20, 4}, {23, 4}, {24, 5}, {55, 5}, {56, 6}, {57, 6}, {58, 7}, {62, 7},
  };
  for (const cut& c : cuts) {
    SCOPED_TRACE("bytes kept " + std::to_string(c.keep));
    const outcome out = walk(cut_payload(c.keep));
    EXPECT_EQ(out.code, 487);
    EXPECT_EQ(out.what, "Fail on read payload");
    EXPECT_NE(out.log.find("Fail on read value " + std::to_string(c.step) + "."), std::string::npos)
        << out.log;
  }
}

TEST(payload_enumerator, no_payload_when_sections_end_at_the_file_end) {
  const outcome out = walk(pe_fixture().add_section(0x300, 0x80).image());
  EXPECT_EQ(out.code, no_error);
  EXPECT_TRUE(out.records.empty());
  EXPECT_EQ(out.payload_start, 0x380u);
  const size_t line = out.log.find("No payload present in file.");
  ASSERT_NE(line, std::string::npos) << out.log;
  const size_t line_start = line == 0 ? 0 : out.log.rfind('\n', line) + 1;
  EXPECT_NE(out.log.substr(line_start, line - line_start).find("[info   ]"), std::string::npos) << out.log;
}

TEST(payload_enumerator, payload_starts_behind_the_largest_section_end_in_any_order) {
  pe_fixture pe;
  pe.add_section(0x600, 0x40).add_section(0x300, 0x100);  // the last header is not the last data
  const outcome out = walk(one_file(pe));
  ASSERT_EQ(out.code, no_error) << out.what;
  EXPECT_EQ(out.payload_start, 0x640u);
  ASSERT_EQ(out.records.size(), 1u);
  EXPECT_EQ(out.records[0].data_offset, 0x640u + fmt::header_size + 5);
}

TEST(payload_enumerator, reads_every_field_of_each_record) {
  const auto config = bytes_of("<sfx-info/>");
  const auto edat = bytes_of("edat bytes");
  const std::vector<uint8_t> bytes = image_with_payload(pe_fixture(), [&](payload_writer& w) {
    w.add_file(L"sfx-info.xml", config.data(), config.size(), 1700000000);
    w.add_file(L"", edat.data(), edat.size(), 0xFFFFFFFFFFull, payload_writer::storage::stored,
               fmt::type_config);
    w.add_file(L"d\u00e9j\u00e0.txt", config.data(), config.size(), 3, payload_writer::storage::lzma);
    w.add_end();
  });
  const outcome out = walk(bytes);
  ASSERT_EQ(out.code, no_error) << out.what;
  ASSERT_EQ(out.records.size(), 3u);

  const uint32_t start = pe_fixture().section_end();
  const payload_entry& a = out.records[0];
  EXPECT_EQ(a.alias, L"sfx-info.xml");
  EXPECT_EQ(a.type, static_cast<uint32_t>('F'));
  EXPECT_EQ(a.flags, 0u);
  EXPECT_EQ(a.timestamp, 1700000000u);
  EXPECT_EQ(a.size, config.size());
  EXPECT_EQ(a.data_offset, start + 58 + 12);
  EXPECT_EQ(a.sha256, kro::root::hash_block(config.data(), config.size()).to_hex());
  EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + a.data_offset, bytes.begin() + a.data_offset + a.size),
            config);

  const payload_entry& b = out.records[1];
  EXPECT_EQ(b.alias, L"");
  EXPECT_EQ(b.type, static_cast<uint32_t>('C'));
  EXPECT_EQ(b.timestamp, 0xFFFFFFFFFFull);
  EXPECT_EQ(b.data_offset, a.data_offset + a.size + 58);  // empty alias: data right behind the header
  EXPECT_EQ(b.sha256.size(), 64u);

  const payload_entry& c = out.records[2];
  EXPECT_EQ(c.alias, L"d\u00e9j\u00e0.txt");
  EXPECT_EQ(c.flags, 1u);
  EXPECT_EQ(c.data_offset, b.data_offset + b.size + 58 + 10);  // alias is 10 bytes of UTF-8
  // The digest is that of the unpacked bytes, not of the LZMA file stored.
  EXPECT_EQ(c.sha256, a.sha256);
  EXPECT_NE(c.size, config.size());
  EXPECT_NE(
      out.log.find("Data file sha='" + kro::root::hash_block(config.data(), config.size()).to_hex_narrow() +
                   "', alias='sfx-info.xml', found in payload."),
      std::string::npos);
}

// The end record is known by its flag alone; nothing behind its flags is read.
TEST(payload_enumerator, end_record_is_recognised_by_its_flag) {
  struct end_case {
    const char* name;
    uint32_t type;
    uint32_t flags;
    size_t keep;  // bytes of the end record left in the file
  };
  static constexpr end_case cases[] = {
      {"written end record", ':', 0x10, 58},
      {"file type letter with end flag", 'F', 0x11, 58},
      {"cut right behind the flags", 'Z', 0x10, 12},
  };
  for (const end_case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<uint8_t> bytes = image_with_payload(pe_fixture(), [&](payload_writer& w) {
      const auto data = bytes_of("x");
      w.add_file(L"x", data.data(), data.size(), 0);
      fmt::header end;
      end.type = c.type;
      end.flags = c.flags;
      w.add_record(end, "", nullptr, 0);
    });
    // Fields behind the flags that would run far past the file if they were read.
    const size_t end_at = bytes.size() - 58;
    kro::test::put32(bytes, end_at + fmt::size.offset, 0xFFFFFFFF);
    kro::test::put16(bytes, end_at + fmt::alias_length.offset, 0xFFFF);
    bytes.resize(end_at + c.keep);
    const outcome out = walk(bytes);
    EXPECT_EQ(out.code, no_error) << out.what;
    EXPECT_EQ(out.records.size(), 1u);
  }
}

TEST(payload_enumerator, needs_a_mapped_view) {
  kro::test::log_capture capture;
  try {
    payload_enumerator reader(nullptr);
    ADD_FAILURE() << "no exception";
  } catch (const kro::exceptions::error& e) {
    EXPECT_EQ(e.code(), 87);
    EXPECT_STREQ(e.what(), "file handle is null");
  }
  EXPECT_NE(capture.text().find("payload_enumerator: input handle is nullptr"), std::string::npos);

  kro::test::temp_file file("unmapped");
  file.write(one_file());
  auto mapping = std::make_shared<kro::files::file_mapping>();
  mapping->open(kro::files::open_for_read(file.path()), false, /*whole_view=*/false);
  try {
    payload_enumerator reader(mapping);
    ADD_FAILURE() << "no exception";
  } catch (const kro::exceptions::error& e) {
    EXPECT_STREQ(e.what(), "Unable to retrieve pointer of the unmapped view!");
  }
}

// --- writer ------------------------------------------------------------------

TEST(payload_writer, end_record_is_a_full_zeroed_header) {
  std::vector<uint8_t> out;
  payload_writer w(out, 0x400);
  w.add_end();
  const std::vector<uint8_t> expected = {1, 'A', 'P', 'E', ':', 0, 0, 0, 0x10, 0, 0, 0};
  ASSERT_EQ(out.size(), 58u);
  EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.begin() + 12), expected);
  EXPECT_EQ(std::vector<uint8_t>(out.begin() + 12, out.end()), std::vector<uint8_t>(46, 0));
  EXPECT_THROW(w.add_end(), kro::exceptions::error);
  EXPECT_THROW(w.add_file(L"late", nullptr, 0, 0), kro::exceptions::error);
}

TEST(payload_writer, refuses_what_the_format_cannot_hold) {
  std::vector<uint8_t> out;
  payload_writer near_end(out, 0xFFFFFF00u);
  const std::vector<uint8_t> data(0x100, 1);
  try {
    near_end.add_file(L"x", data.data(), data.size(), 0);
    ADD_FAILURE() << "record beyond 4 GiB accepted";
  } catch (const kro::exceptions::error& e) {
    EXPECT_EQ(e.code(), 87);
  }
  payload_writer w(out, 0x400);
  EXPECT_THROW(w.add_file(std::wstring(0x10000, L'a'), nullptr, 0, 0), kro::exceptions::error);
  EXPECT_TRUE(out.empty());
  // The longest alias still fits.
  w.add_file(std::wstring(0xFFFF, L'a'), nullptr, 0, 0);
  EXPECT_EQ(out.size(), 58u + 0xFFFF);
}

TEST(payload_writer, measures_the_stub_and_what_lies_behind_its_sections) {
  // A MinGW image keeps its COFF string table behind the last section.
  const std::vector<uint8_t> strings(14, 0x2E);
  const std::vector<uint8_t> image = pe_fixture().add_section(0x300, 0x40).tail(strings).image();
  const kro::sfx::stub_layout layout = kro::sfx::measure_stub(image.data(), image.size());
  EXPECT_EQ(layout.payload_start, 0x340u);
  EXPECT_EQ(layout.trailing_bytes, 14u);

  const std::vector<uint8_t> clean = pe_fixture().image();
  EXPECT_EQ(kro::sfx::measure_stub(clean.data(), clean.size()).trailing_bytes, 0u);

  const std::vector<uint8_t> cut(image.begin(), image.begin() + 0x330);
  EXPECT_THROW(kro::sfx::measure_stub(cut.data(), cut.size()), kro::sfx::exceptions::unsupported_file_format);
  const std::vector<uint8_t> wide = one_file(pe_fixture().optional_magic(0x20B));
  EXPECT_THROW(kro::sfx::measure_stub(wide.data(), wide.size()),
               kro::sfx::exceptions::unsupported_file_format);
}

}  // namespace
