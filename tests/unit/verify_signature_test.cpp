// The signature check of blocks, XML documents, PE images and files, against
// the framing the signer writes (keys of the development ring).
#include "root/verify_signature.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "exceptions/exceptions.h"
#include "files/file_handle.h"
#include "log/logger.h"
#include "pe_fixture.h"
#include "root/dsa.h"

namespace {

namespace dsa = kro::root::dsa;
namespace signature = kro::sfx::signature;
using bytes = std::vector<uint8_t>;

const dsa::key_pair& dev_key(char name) {
  static std::vector<dsa::key_pair> keys = [] {
    std::vector<dsa::key_pair> all;
    for (char n = 'A'; n <= 'H'; ++n) {
      std::ifstream in(
          std::filesystem::path(KRO_SOURCE_DIR) / "keys" / "dev-private" / (std::string(1, n) + ".txt"),
          std::ios::binary);
      std::stringstream s;
      s << in.rdbuf();
      all.push_back(dsa::parse_key_text(s.str()));
    }
    return all;
  }();
  return keys.at(static_cast<size_t>(name - 'A'));
}

bool verify(const bytes& data) {
  return kro::sfx::verify_signature::factory().create()->verify_block(data.data(), data.size());
}
bool verify(const std::string& data) {
  return kro::sfx::verify_signature::factory().create()->verify_block(data.data(), data.size());
}

bytes pattern(size_t n, uint8_t seed) {
  bytes out(n);
  for (size_t i = 0; i < n; ++i) out[i] = static_cast<uint8_t>(seed + i * 7 + (i >> 5));
  return out;
}

bytes signed_block(const bytes& data, char key) {
  bytes out = data;
  const bytes block = signature::make_block(data, dev_key(key));
  out.insert(out.end(), block.begin(), block.end());
  return out;
}

using log_lines = kro::test::log_capture;

// --- Binary block ----------------------------------------------------------------

TEST(verify_signature, binary_block_covers_every_byte) {
  const bytes data = pattern(1000, 1);
  const bytes good = signed_block(data, 'G');
  EXPECT_TRUE(verify(good));
  EXPECT_TRUE(verify(signed_block(data, 'H')));
  EXPECT_FALSE(verify(signed_block(data, 'A')));  // valid DSA, but not a key of set 3
  for (size_t at : {size_t{0}, size_t{500}, size_t{999}, size_t{1000}, size_t{1040}, size_t{1063},
                    size_t{1064}, size_t{1071}}) {
    SCOPED_TRACE(at);
    bytes changed = good;
    changed[at] ^= 0x20;
    EXPECT_FALSE(verify(changed));
  }
  // An empty signed range is still a signed range.
  EXPECT_TRUE(verify(signed_block({}, 'G')));
}

TEST(verify_signature, short_or_missing_blocks_fail) {
  const std::string marker = "KROSig2B";
  EXPECT_FALSE(verify(marker));
  EXPECT_FALSE(verify(std::string(63, 'x') + marker));
  EXPECT_FALSE(verify(bytes()));
  EXPECT_FALSE(verify(pattern(200, 3)));
  EXPECT_FALSE(kro::sfx::verify_signature::factory().create()->verify_block(nullptr, 0));
  bytes good = signed_block(pattern(10, 2), 'G');
  good.push_back('\n');  // binary data takes no line break
  EXPECT_FALSE(verify(good));
}

// --- XML comment -----------------------------------------------------------------

const std::string document = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n<sfx-info>\r\n</sfx-info>\r\n\n";

TEST(verify_signature, xml_comment_endings) {
  const std::string signed_doc = signature::sign_xml(document, dev_key('G'));
  ASSERT_EQ(signed_doc.size(), document.size() + 5 + 144 + 4);
  EXPECT_EQ(signed_doc.substr(document.size(), 13), "<!-- KROSig2A");
  EXPECT_EQ(signed_doc.substr(signed_doc.size() - 12), "KROSig2A -->");
  struct row {
    const char* tail;
    bool valid;
  };
  static constexpr row rows[] = {
      {"", true},        {"\n", true},  {"\r\n", true}, {"\n\n", false}, {"\r\n\r\n", false},
      {"\n\r\n", false}, {"\r", false}, {" ", false},   {"x", false},
  };
  for (const row& c : rows) {
    SCOPED_TRACE(testing::PrintToString(std::string(c.tail)));
    EXPECT_EQ(verify(signed_doc + c.tail), c.valid);
  }
  EXPECT_TRUE(verify(signature::sign_xml(document, dev_key('H'))));
  EXPECT_FALSE(verify(signature::sign_xml(document, dev_key('D'))));
}

TEST(verify_signature, xml_comment_covers_the_opening_but_not_the_hex_text) {
  const std::string good = signature::sign_xml(document, dev_key('G'));
  const size_t hex_at = document.size() + 5 + 8;
  std::string upper = good;
  for (size_t i = hex_at; i < hex_at + 128; ++i) upper[i] = static_cast<char>(std::toupper(upper[i]));
  ASSERT_NE(upper, good);
  EXPECT_TRUE(verify(upper));

  struct row {
    const char* name;
    size_t at;
    char value;
  };
  const row rows[] = {
      {"document byte", 10, 'X'},
      {"line break before the comment", document.size() - 1, ' '},
      {"opening", document.size() + 2, '*'},
      {"first marker", document.size() + 5, 'k'},
      {"second marker", good.size() - 6, 'a'},
      {"signature digit", hex_at + 3, good[hex_at + 3] == '0' ? '1' : '0'},
  };
  for (const row& c : rows) {
    SCOPED_TRACE(c.name);
    std::string changed = good;
    changed[c.at] = c.value;
    EXPECT_FALSE(verify(changed));
  }
}

TEST(verify_signature, non_hex_signature_text_is_false_and_logged) {
  std::string bad = signature::sign_xml(document, dev_key('G'));
  bad[document.size() + 5 + 8 + 10] = 'g';
  log_lines log;
  EXPECT_FALSE(verify(bad));
  EXPECT_NE(log.text().find("DSA for block with size '" + std::to_string(bad.size()) +
                            "' verified with result '0'"),
            std::string::npos);
}

// --- PE images -------------------------------------------------------------------

// A PE-shaped image: DOS header (e_lfanew 0x80), "PE\0\0", file header,
// optional header with Magic, CheckSum and the security directory, a body;
// then the signature block, zero padding and a certificate table. The offsets
// are spelled out here, independent of the checker.
struct pe_case {
  uint16_t machine;
  uint16_t magic;
  size_t security_at;                      // file offset of the security directory entry
  bool is_pe;                              // the checker must treat it as an image
  uint16_t optional_size = 224;            // SizeOfOptionalHeader
  size_t directories_at = 0x80 + 24 + 92;  // NumberOfRvaAndSizes
  uint32_t directories = 16;
};
constexpr size_t lfanew = 0x80;
constexpr size_t checksum_at = lfanew + 88;

struct pe_file {
  bytes data;
  size_t cert_at = 0;
};

void put32(bytes& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

pe_file make_pe(const pe_case& c, size_t padding, size_t cert_size, char key = 'G') {
  bytes image = pattern(1200, 9);
  image[0] = 'M';
  image[1] = 'Z';
  put32(image, 0x3C, lfanew);
  image[lfanew] = 'P';
  image[lfanew + 1] = 'E';
  image[lfanew + 2] = 0;
  image[lfanew + 3] = 0;
  image[lfanew + 4] = static_cast<uint8_t>(c.machine);
  image[lfanew + 5] = static_cast<uint8_t>(c.machine >> 8);
  image[lfanew + 6] = 1;  // one section header, behind the optional header
  image[lfanew + 7] = 0;
  image[lfanew + 20] = static_cast<uint8_t>(c.optional_size);
  image[lfanew + 21] = static_cast<uint8_t>(c.optional_size >> 8);
  put32(image, c.directories_at, c.directories);
  image[lfanew + 24] = static_cast<uint8_t>(c.magic);
  image[lfanew + 25] = static_cast<uint8_t>(c.magic >> 8);
  put32(image, checksum_at, 0x12345678);
  pe_file out;
  out.cert_at = image.size() + signature::block_size + padding;
  put32(image, c.security_at, cert_size == 0 ? 0 : static_cast<uint32_t>(out.cert_at));
  put32(image, c.security_at + 4, static_cast<uint32_t>(cert_size));
  out.data = signed_block(image, key);
  out.data.insert(out.data.end(), padding, 0);
  const bytes cert = pattern(cert_size, 77);
  out.data.insert(out.data.end(), cert.begin(), cert.end());
  return out;
}

constexpr size_t pe32_plus_directories_at = lfanew + 24 + 108;
constexpr pe_case pe_cases[] = {
    {0x14C, 0x10B, lfanew + 152, true},                                  // PE32, x86
    {0x8664, 0x20B, lfanew + 168, true, 240, pe32_plus_directories_at},  // PE32+, x64
    {0xAA64, 0x20B, lfanew + 168, true, 240, pe32_plus_directories_at},  // PE32+, ARM64
    {0x14C, 0x20B, lfanew + 152, false, 240, pe32_plus_directories_at},  // wrong Magic for the machine
    {0x1C0, 0x10B, lfanew + 152, false},                                 // a machine outside the list
};

TEST(verify_signature, pe_checksum_is_excluded_only_for_images) {
  for (const pe_case& c : pe_cases) {
    SCOPED_TRACE(testing::Message() << std::hex << c.machine << "/" << c.magic);
    const pe_file pe = make_pe(c, 0, 0);
    EXPECT_TRUE(verify(pe.data));
    bytes changed = pe.data;
    put32(changed, checksum_at, 0xA5A5A5A5);
    EXPECT_EQ(verify(changed), c.is_pe);
    changed = pe.data;
    changed[checksum_at + 4] ^= 1;  // the byte after the field is covered
    EXPECT_FALSE(verify(changed));
  }
}

TEST(verify_signature, pe_certificate_table_and_padding) {
  for (const pe_case& c : pe_cases) {
    if (!c.is_pe) continue;
    SCOPED_TRACE(testing::Message() << std::hex << c.machine);
    // The padding rule does not depend on the machine: swept for x86 only.
    for (size_t padding = 0; padding <= (c.machine == 0x14C ? 9u : 0u); ++padding) {
      SCOPED_TRACE(testing::Message() << "padding " << padding);
      EXPECT_EQ(verify(make_pe(c, padding, 300).data), padding <= 8);
      // Without a table the signature block ends the file: no zeros behind it.
      EXPECT_EQ(verify(make_pe(c, padding, 0).data), padding == 0);
    }
    const pe_file pe = make_pe(c, 8, 300);
    bytes changed = pe.data;
    for (size_t i = pe.cert_at; i < changed.size(); ++i) changed[i] = static_cast<uint8_t>(~changed[i]);
    put32(changed, checksum_at, 0);
    EXPECT_TRUE(verify(changed));
    changed.resize(changed.size() - 1);  // the table now reaches past the end
    EXPECT_FALSE(verify(changed));
    changed = pe.data;
    changed[pe.cert_at - 1] = 1;  // padding that is not zero
    EXPECT_FALSE(verify(changed));
    changed = pe.data;
    put32(changed, c.security_at + 4, 0);  // the directory entry is covered
    EXPECT_FALSE(verify(changed));
  }
  // A table at offset 0 with a size leaves nothing signed.
  pe_file pe = make_pe(pe_cases[0], 0, 0);
  put32(pe.data, pe_cases[0].security_at + 4, 16);
  EXPECT_FALSE(verify(pe.data));
}

// Nothing unsigned may follow the signed range but the certificate table
// the signed directory names: the whole file is what the run hands on.
TEST(verify_signature, certificate_table_or_signature_block_ends_the_file) {
  const pe_case& c = pe_cases[0];
  struct row {
    const char* name;
    size_t cert_size;
    size_t appended;
    uint8_t fill;
    bool valid;
  };
  static constexpr row rows[] = {
      {"table ends the file", 300, 0, 0, true},
      {"2200 bytes behind the table", 300, 2200, 0x5A, false},
      {"one zero byte behind the table", 300, 1, 0, false},
      {"block ends the file", 0, 0, 0, true},
      {"2200 bytes behind the block", 0, 2200, 0x5A, false},
      {"8 zero bytes behind the block", 0, 8, 0, false},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.name);
    bytes data = make_pe(c, 0, r.cert_size).data;
    data.insert(data.end(), r.appended, r.fill);
    log_lines log;
    EXPECT_EQ(verify(data), r.valid);
    const bool refused = log.text().find(
                             "DSA check refused the data: the certificate table does not end the "
                             "file.") != std::string::npos;
    EXPECT_EQ(refused, r.cert_size && !r.valid) << log.text();
  }
  // The directory names a table that is not there (yet), or has no offset.
  pe_file pe = make_pe(c, 0, 300);
  pe.data.resize(pe.cert_at);
  EXPECT_FALSE(verify(pe.data));
  pe = make_pe(c, 0, 0);
  put32(pe.data, c.security_at + 4, 16);
  EXPECT_FALSE(verify(pe.data));
}

// SizeOfOptionalHeader and NumberOfRvaAndSizes must describe a whole optional
// header with a security directory, and the section table must be signed.
TEST(verify_signature, malformed_pe_headers_are_refused) {
  for (const pe_case& image : {pe_cases[0], pe_cases[1]}) {
    const uint16_t fixed = image.optional_size;  // 224 for PE32, 240 for PE32+
    SCOPED_TRACE(testing::Message() << std::hex << image.magic);
    struct row {
      const char* name;
      uint16_t optional_size;
      uint32_t directories;
      bool valid;
    };
    const row rows[] = {
        {"whole optional header", fixed, 16, true},
        {"optional header one byte short", static_cast<uint16_t>(fixed - 1), 16, false},
        {"larger optional header", static_cast<uint16_t>(fixed + 16), 16, true},
        {"5 directories", fixed, 5, true},
        {"4 directories", fixed, 4, false},
        // The section table lies in the certificate table, which no
        // signature covers.
        {"section table behind the signature", static_cast<uint16_t>(1200 + 72 - lfanew - 24), 16, false},
    };
    for (const row& r : rows) {
      SCOPED_TRACE(r.name);
      pe_case c = image;
      c.optional_size = r.optional_size;
      c.directories = r.directories;
      const pe_file pe = make_pe(c, 0, 300);
      log_lines log;
      EXPECT_EQ(verify(pe.data), r.valid);
      EXPECT_EQ(log.text().find("DSA check refused the data: ") == std::string::npos, r.valid) << log.text();
    }
  }
}

// The signer zeroes the CheckSum field itself, so it may be set afterwards.
TEST(verify_signature, checksum_written_after_signing) {
  pe_file pe = make_pe(pe_cases[0], 0, 0, 'H');
  EXPECT_TRUE(verify(pe.data));
  put32(pe.data, checksum_at, 0);
  EXPECT_TRUE(verify(pe.data));
  EXPECT_EQ(signature::pe_checksum_offset(pe.data), checksum_at);
  EXPECT_FALSE(signature::pe_checksum_offset({pe.data.data(), 63}).has_value());
}

// --- Files and handles -------------------------------------------------------------

class verify_signature_files : public ::testing::Test {
 protected:
  void SetUp() override {
    m_dir = std::filesystem::temp_directory_path() /
            ("kro-verify-" + std::string(testing::UnitTest::GetInstance()->current_test_info()->name()));
    std::filesystem::create_directories(m_dir);
  }
  void TearDown() override {
    std::error_code ignored;
    std::filesystem::remove_all(m_dir, ignored);
  }
  std::wstring write(const char* name, const bytes& data) {
    const std::filesystem::path path = m_dir / name;
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
    return path.wstring();
  }
  static void* as_handle(kro::files::native_handle h) {
#if defined(_WIN32)
    return h;
#else
    return reinterpret_cast<void*>(static_cast<intptr_t>(h));
#endif
  }

  std::filesystem::path m_dir;
  std::shared_ptr<kro::sfx::verify_signature_intf> m_check = kro::sfx::verify_signature::factory().create();
};

TEST_F(verify_signature_files, path_and_handle) {
  const pe_file pe = make_pe(pe_cases[0], 4, 100);
  const std::wstring good = write("good.exe", pe.data);
  bytes changed = pe.data;
  changed[300] ^= 1;
  const std::wstring bad = write("bad.exe", changed);
  const std::wstring empty = write("empty.exe", {});
  log_lines log;
  EXPECT_TRUE(m_check->verify_file(good));
  EXPECT_FALSE(m_check->verify_file(bad));
  EXPECT_FALSE(m_check->verify_file(empty));
  {
    const kro::files::unique_file file = kro::files::open_for_read(good);
    EXPECT_TRUE(m_check->verify_handle(as_handle(file.get())));
    EXPECT_TRUE(m_check->verify_handle(as_handle(file.get())));  // the handle stays usable
  }
  {
    const kro::files::unique_file file = kro::files::open_for_read(empty);
    EXPECT_FALSE(m_check->verify_handle(as_handle(file.get())));
  }
  EXPECT_FALSE(m_check->verify_handle(as_handle(kro::files::unique_file::invalid())));
  const std::string text = log.text();
  EXPECT_NE(text.find("DSA for file '" + std::filesystem::path(good).string() + "' verified with result '1'"),
            std::string::npos);
  EXPECT_NE(text.find("DSA for file verified with result '1'"), std::string::npos);
  EXPECT_NE(text.find("DSA for file verified with result '0'"), std::string::npos);
}

// verify_mapping is the check the run makes on its own executable, through
// the whole-file view it then reads the payload from. It agrees with
// verify_file on every package.
TEST_F(verify_signature_files, mapping_of_a_package) {
  using kro::test::pe_fixture;
  auto package = [](const pe_fixture& pe, uint32_t cert_size) {
    return kro::test::signed_package(
        kro::test::image_with_payload(pe,
                                      [](kro::sfx::payload_writer& w) {
                                        const auto data = kro::test::bytes_of("hello");
                                        w.add_file(L"a.txt", data.data(), data.size(), 7);
                                        w.add_end();
                                      }),
        cert_size);
  };
  const bytes good = package(pe_fixture(), 512);
  const size_t payload_byte = pe_fixture().section_end() + 60;  // in the alias of the first record
  const size_t checksum = 0x80 + 88;
  struct row {
    const char* name;
    std::function<bytes()> make;
    bool valid;
  };
  const row rows[] = {
      {"signed package with a certificate table", [&] { return good; }, true},
      {"signed package without one", [&] { return package(pe_fixture(), 0); }, true},
      {"flipped payload byte",
       [&] {
         bytes b = good;
         b[payload_byte] ^= 1;
         return b;
       },
       false},
      {"flipped section data byte",
       [&] {
         bytes b = good;
         b[0x210] ^= 1;
         return b;
       },
       false},
      {"flipped CheckSum byte",
       [&] {
         bytes b = good;
         b[checksum + 2] ^= 0xFF;
         return b;
       },
       true},
      {"flipped certificate byte",
       [&] {
         bytes b = good;
         b[b.size() - 10] ^= 1;
         return b;
       },
       true},
      {"2200 bytes behind the certificate table",
       [&] {
         bytes b = good;
         b.insert(b.end(), 2200, 0x5A);
         return b;
       },
       false},
      {"SizeOfOptionalHeader 223", [&] { return package(pe_fixture().optional_header_size(223), 512); },
       false},
      {"NumberOfRvaAndSizes 4", [&] { return package(pe_fixture().data_directories(4), 512); }, false},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.name);
    const std::wstring path = write("package.exe", r.make());
    {
      kro::files::file_mapping mapping;
      mapping.open(kro::files::open_for_read(path), false, true);
      log_lines log;
      EXPECT_EQ(m_check->verify_mapping(&mapping, path), r.valid);
      EXPECT_NE(log.text().find("DSA for file '" + std::filesystem::path(path).string() +
                                "' verified with result '" + (r.valid ? "1" : "0") + "'"),
                std::string::npos)
          << log.text();
      EXPECT_NE(mapping.view(), nullptr) << "the caller's view stays mapped";
    }
    EXPECT_EQ(m_check->verify_file(path), r.valid);
  }

  // Only a mapped view of the whole file is checked.
  const std::wstring path = write("package.exe", good);
  EXPECT_FALSE(m_check->verify_mapping(nullptr, path));
  kro::files::file_mapping mapping;
  mapping.open(kro::files::open_for_read(path), false, false);
  EXPECT_FALSE(m_check->verify_mapping(&mapping, path));
  mapping.map_view(0, static_cast<uint32_t>(good.size() - 1));
  EXPECT_FALSE(m_check->verify_mapping(&mapping, path));
  mapping.map_view(0, 0);
  EXPECT_TRUE(m_check->verify_mapping(&mapping, path));
}

// Bytes behind the certificate table fail the checks by path and by handle
// as well.
TEST_F(verify_signature_files, bytes_behind_the_table_fail_every_check) {
  bytes data = make_pe(pe_cases[0], 4, 100).data;
  data.insert(data.end(), 2200, 0x5A);
  const std::wstring path = write("appended.exe", data);
  EXPECT_FALSE(m_check->verify_file(path));
  const kro::files::unique_file file = kro::files::open_for_read(path);
  EXPECT_FALSE(m_check->verify_handle(as_handle(file.get())));
  EXPECT_FALSE(m_check->verify_block(data.data(), data.size()));
}

TEST_F(verify_signature_files, missing_file_throws) {
  const std::wstring missing = (m_dir / "missing.exe").wstring();
  log_lines log;
  try {
    m_check->verify_file(missing);
    FAIL() << "no exception";
  } catch (const kro::exceptions::error& e) {
    EXPECT_STREQ(e.what(), "Open file for DSA check fail!");
    EXPECT_EQ(e.code(), 2);  // ERROR_FILE_NOT_FOUND and ENOENT alike
  }
  EXPECT_NE(log.text().find("for DSA check fail  2!"), std::string::npos);
}

}  // namespace
