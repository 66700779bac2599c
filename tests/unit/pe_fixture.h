#pragma once
// Test fixtures for the payload: small PE32-shaped images built in memory,
// written to temporary files and mapped, plus a capture of the log records
// written while a test step runs.
//
// The PE offsets are spelled out here on purpose instead of being taken from
// the reader, so that a wrong offset in the reader shows up as a failure.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "files/file_handle.h"
#include "files/file_mapping.h"
#include "log/logger.h"
#include "root/dsa.h"
#include "root/verify_signature.h"
#include "sfx/payload_writer.h"

namespace kro::test {

inline void put16(std::vector<uint8_t>& b, size_t at, uint16_t v) {
  if (b.size() < at + 2) b.resize(at + 2);
  b[at] = static_cast<uint8_t>(v);
  b[at + 1] = static_cast<uint8_t>(v >> 8);
}
inline void put32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  put16(b, at, static_cast<uint16_t>(v));
  put16(b, at + 2, static_cast<uint16_t>(v >> 16));
}

// A minimal PE32 image: DOS header with e_lfanew, "PE\0\0", file header,
// optional header (its Magic and NumberOfRvaAndSizes are filled) and N
// section headers whose raw data are filled with a pattern. image() ends exactly at the largest section
// end (or the headers' end), plus any tail bytes.
class pe_fixture {
 public:
  struct section {
    uint32_t pointer;
    uint32_t size;
  };

  pe_fixture& add_section(uint32_t pointer, uint32_t size) {
    m_sections.push_back({pointer, size});
    return *this;
  }
  pe_fixture& optional_magic(uint16_t magic) {
    m_magic = magic;
    return *this;
  }
  // SizeOfOptionalHeader (224 by default): the section table follows it.
  pe_fixture& optional_header_size(uint16_t size) {
    m_optional_size = size;
    return *this;
  }
  // NumberOfRvaAndSizes (16 by default).
  pe_fixture& data_directories(uint32_t count) {
    m_directories = count;
    return *this;
  }
  pe_fixture& nt_offset(uint32_t e_lfanew) {
    m_nt = e_lfanew;
    return *this;
  }
  // Bytes behind the section data (a COFF symbol and string table, say).
  pe_fixture& tail(std::vector<uint8_t> bytes) {
    m_tail = std::move(bytes);
    return *this;
  }

  // Offset of the first section header.
  uint32_t section_table() const { return m_nt + 24 + m_optional_size; }
  // End of the largest section data that the image holds: where a payload
  // starts. Sections placed far away (to test hostile tables) are described
  // in the headers but get no data.
  uint32_t section_end() const {
    uint64_t end = 0;
    for (const section& s : m_sections) {
      if (holds(s)) end = std::max(end, uint64_t{s.pointer} + s.size);
    }
    return static_cast<uint32_t>(end);
  }

  std::vector<uint8_t> image() const {
    const size_t headers_end = std::max<size_t>(m_nt + 248, section_table() + 40 * m_sections.size());
    std::vector<uint8_t> b(std::max<size_t>(headers_end, section_end()), 0);
    b[0] = 'M';
    b[1] = 'Z';
    put32(b, 0x3C, m_nt);
    b[m_nt] = 'P';
    b[m_nt + 1] = 'E';
    put16(b, m_nt + 4, 0x14C);
    put16(b, m_nt + 6, static_cast<uint16_t>(m_sections.size()));
    put16(b, m_nt + 20, m_optional_size);
    put16(b, m_nt + 24, m_magic);
    put32(b, m_nt + 24 + 92, m_directories);
    for (size_t i = 0; i < m_sections.size(); ++i) {
      const size_t h = section_table() + 40 * i;
      const char name[8] = {'.', 's', static_cast<char>('0' + i % 10)};
      for (size_t k = 0; k < 8; ++k) b[h + k] = static_cast<uint8_t>(name[k]);
      put32(b, h + 16, m_sections[i].size);
      put32(b, h + 20, m_sections[i].pointer);
    }
    for (const section& s : m_sections) {
      if (!holds(s)) continue;
      for (uint32_t k = 0; k < s.size; ++k) b[s.pointer + k] = static_cast<uint8_t>(0xA0 + (k & 0x0F));
    }
    b.insert(b.end(), m_tail.begin(), m_tail.end());
    return b;
  }

 private:
  static bool holds(const section& s) { return uint64_t{s.pointer} + s.size <= (1u << 24); }

  std::vector<section> m_sections{{0x200, 0x100}};
  uint16_t m_magic = 0x10B;
  uint16_t m_optional_size = 224;
  uint32_t m_directories = 16;
  uint32_t m_nt = 0x80;
  std::vector<uint8_t> m_tail;
};

// A file in the temporary folder, removed when the object goes.
class temp_file {
 public:
  explicit temp_file(const std::string& stem) {
    static std::atomic<unsigned> counter{0};
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = "kro-" + stem + "-" + std::to_string(counter++);
    if (info) name += std::string("-") + info->name();
    m_path = std::filesystem::temp_directory_path() / name;
    std::error_code ignored;
    std::filesystem::remove(m_path, ignored);
  }
  ~temp_file() {
    std::error_code ignored;
    std::filesystem::remove(m_path, ignored);
  }
  temp_file(const temp_file&) = delete;
  temp_file& operator=(const temp_file&) = delete;

  std::wstring path() const { return m_path.wstring(); }
  const std::filesystem::path& fs_path() const { return m_path; }
  bool exists() const { return std::filesystem::exists(m_path); }

  void write(const std::vector<uint8_t>& bytes) const {
    std::ofstream out(m_path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    ASSERT_TRUE(out.good());
  }
  std::vector<uint8_t> read() const {
    std::ifstream in(m_path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

 private:
  std::filesystem::path m_path;
};

// The bytes as a mapped file: a temporary file that lives as long as the
// mapping (removed after the mapping closes it).
inline std::shared_ptr<files::file_mapping> map_bytes(const std::vector<uint8_t>& bytes) {
  struct block {
    temp_file file{"map"};
    files::file_mapping mapping;  // declared last: closed before the file is removed
  };
  auto b = std::make_shared<block>();
  b->file.write(bytes);
  b->mapping.open(files::open_for_read(b->file.path()), false, true);
  return std::shared_ptr<files::file_mapping>(b, &b->mapping);
}

// An image with payload records behind it: build(writer) appends records.
template <class Build>
std::vector<uint8_t> image_with_payload(const pe_fixture& pe, Build build) {
  std::vector<uint8_t> bytes = pe.image();
  sfx::payload_writer writer(bytes, bytes.size());
  build(writer);
  return bytes;
}

// The development key G of key set 3, from the key ring in the source tree.
inline const root::dsa::key_pair& dev_key_g() {
  static const root::dsa::key_pair key = [] {
    std::ifstream in(std::filesystem::path(KRO_SOURCE_DIR) / "keys" / "dev-private" / "G.txt",
                     std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return root::dsa::parse_key_text(text.str());
  }();
  return key;
}

// The image signed as the packer signs a package: with cert_size, the
// security directory (at e_lfanew + 152, PE32) first names a certificate
// table of that many bytes at the next 8-byte boundary behind the signature
// block; then the signature block made with key G, the zero padding and the
// table (a pattern standing in for the certificate).
inline std::vector<uint8_t> signed_package(std::vector<uint8_t> image, uint32_t cert_size = 0) {
  const uint32_t nt =
      static_cast<uint32_t>(image[0x3C] | image[0x3D] << 8 | image[0x3E] << 16 | image[0x3F] << 24);
  const size_t table = (image.size() + 72 + 7) / 8 * 8;
  if (cert_size) {
    put32(image, nt + 152, static_cast<uint32_t>(table));
    put32(image, nt + 156, cert_size);
  }
  const std::vector<uint8_t> block = sfx::signature::make_block(image, dev_key_g());
  image.insert(image.end(), block.begin(), block.end());
  if (cert_size) {
    image.resize(table, 0);
    for (uint32_t i = 0; i < cert_size; ++i) image.push_back(static_cast<uint8_t>(0x30 + i % 61));
  }
  return image;
}

inline std::vector<uint8_t> bytes_of(const std::string& s) {
  return std::vector<uint8_t>(s.begin(), s.end());
}

// Collects the lines of the process's logger from construction to text().
class log_capture {
 public:
  log_capture() : m_file("log") {
    m_stream = std::fopen(m_file.fs_path().string().c_str(), "w+b");
    if (m_stream) logger().set_stream(m_stream, log::debug);
  }
  ~log_capture() { stop(); }
  log_capture(const log_capture&) = delete;
  log_capture& operator=(const log_capture&) = delete;

  // Everything logged so far; stops the capture.
  const std::string& text() {
    stop();
    return m_text;
  }
  size_t count(const std::string& needle) {
    const std::string& all = text();
    size_t n = 0;
    for (size_t at = all.find(needle); at != std::string::npos; at = all.find(needle, at + 1)) ++n;
    return n;
  }

 private:
  static log::Logger& logger() { return dynamic_cast<log::Logger&>(log::logger()); }
  void stop() {
    if (!m_stream) return;
    logger().set_stream(nullptr, log::info);
    std::fflush(m_stream);
    std::fseek(m_stream, 0, SEEK_SET);
    char buffer[4096];
    for (size_t n; (n = std::fread(buffer, 1, sizeof(buffer), m_stream)) > 0;) m_text.append(buffer, n);
    std::fclose(m_stream);
    m_stream = nullptr;
  }

  temp_file m_file;
  std::FILE* m_stream = nullptr;
  std::string m_text;
};

}  // namespace kro::test
