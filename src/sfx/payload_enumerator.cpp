#include "sfx/payload_enumerator.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "exceptions/exceptions.h"
#include "log/logger.h"
#include "root/sha256.h"
#include "sfx/error_codes.h"
#include "sfx/payload_format.h"
#include "sfx/pe_headers.h"
#include "text/text.h"

namespace kro::sfx {
namespace {

namespace fmt = payload_format;

// The NT headers of a PE32 image: signature, file header and the optional
// header's fixed part with its 16 directories.
constexpr uint32_t nt_headers32_size = pe::optional_header_offset + pe::pe32.min_size;  // 248

[[noreturn]] void throw_outside_view() {
  throw kro::exceptions::error(codes::read_outside_view, "Unable to read outside of the mapped view!");
}

// Checked access to a byte range: width bytes at offset, or code 5.
class byte_span {
 public:
  byte_span(const uint8_t* data, uint32_t size) : m_data(data), m_size(size) {}
  const uint8_t* read(uint64_t offset, uint32_t width) const {
    if (offset > m_size || m_size - offset < width) throw_outside_view();
    return m_data + offset;
  }
  template <class T>
  T value(uint64_t offset) const {
    return fmt::load_le<T>(read(offset, sizeof(T)));
  }
  uint32_t size() const { return m_size; }

 private:
  const uint8_t* m_data;
  uint32_t m_size;
};

}  // namespace

uint64_t pe_section_data_end(const uint8_t* image, uint32_t image_size) {
  const byte_span span(image, image_size);
  if (image_size < pe::dos_header_size) throw_outside_view();
  if (span.value<uint16_t>(0) != 0x5A4D) {
    log::write(log::error, "%s", "File is not PE.");
    throw sfx::exceptions::unsupported_file_format("Missing DOS signature.");
  }
  const uint32_t nt = span.value<uint32_t>(pe::e_lfanew_offset);
  if (nt > image_size || image_size - nt < nt_headers32_size) throw_outside_view();
  static constexpr uint8_t nt_signature[4] = {'P', 'E', 0, 0};
  if (std::memcmp(span.read(nt, pe::signature_size), nt_signature, pe::signature_size) != 0) {
    log::write(log::error, "%s", "File is missing NT signature");
    throw sfx::exceptions::unsupported_file_format("Missing NT signature.");
  }
  const pe::nt_headers headers = pe::read_nt_headers(image, image_size, nt);
  if (headers.magic != pe::magic_pe32) {
    log::write(log::error, "%s", "File is not 32-bit executable.");
    throw sfx::exceptions::unsupported_file_format("Exe file is not 32-bit.");
  }
  switch (headers.problem) {
    case pe::fault::none:
      break;
    case pe::fault::optional_header_too_small:
    case pe::fault::no_security_directory:
      // The section table would overlap the optional header, or the image
      // has no security directory where the signature check reads one.
      log::write(log::error, "File has a malformed PE header: %s.", pe::describe(headers.problem));
      throw sfx::exceptions::unsupported_file_format("Malformed PE header.");
    default:
      // A section table that does not fit into the image.
      throw_outside_view();
  }
  uint64_t end = 0;
  for (uint32_t i = 0; i < headers.number_of_sections; ++i) {
    const uint64_t header = headers.section_table + uint64_t{i} * pe::section_header_size;
    const uint64_t raw_size = span.value<uint32_t>(header + pe::size_of_raw_data_offset);
    const uint64_t raw_pointer = span.value<uint32_t>(header + pe::pointer_to_raw_data_offset);
    end = std::max(end, raw_pointer + raw_size);
  }
  return end;
}

payload_enumerator::payload_enumerator(std::shared_ptr<files::file_mapping> mapping)
    : m_mapping(std::move(mapping)) {
  if (!m_mapping) {
    log::write(log::error, "%s", "payload_enumerator: input handle is nullptr");
    throw kro::exceptions::error(codes::invalid_argument, "file handle is null");
  }
  const uint8_t* image = m_mapping->view();  // throws when no view is mapped
  const uint64_t end = pe_section_data_end(image, m_mapping->view_size());
  const uint64_t file_size = m_mapping->file_size();
  if (end > file_size) {
    log::write(log::error, "%s", "Payload starts behind file end. File is invalid.");
    throw sfx::exceptions::unsupported_file_format("Payload starts behind file end.");
  }
  // The whole view of a mapped file is below 4 GiB, so is the start.
  if (end > std::numeric_limits<uint32_t>::max()) throw_outside_view();
  m_payload_start = static_cast<uint32_t>(end);
}

bool payload_enumerator::first() {
  if (m_payload_start < m_mapping->file_size()) return read_record(m_payload_start);
  m_current.reset();
  log::write(log::info, "%s", "No payload present in file.");
  return false;
}

bool payload_enumerator::next() {
  if (!m_current) return false;
  return read_record(m_next_offset);
}

const payload_entry* payload_enumerator::current() const { return m_current ? &*m_current : nullptr; }

bool payload_enumerator::read_record(uint64_t offset) {
  const files::file_mapping& mapping = *m_mapping;
  // Offsets are computed in 64 bits; one beyond the 32-bit view cannot be read.
  auto read = [&mapping](uint64_t at, uint32_t width) {
    if (at > std::numeric_limits<uint32_t>::max()) throw_outside_view();
    return mapping.read(static_cast<uint32_t>(at), width);
  };

  const uint8_t version = *read(offset + fmt::version.offset, fmt::version.size);
  if (version != fmt::header_version) {
    log::write(log::error, "Version %u is not supported!", static_cast<unsigned>(version));
    throw sfx::exceptions::invalid_payload("Header version is not supported");
  }

  payload_entry entry;
  int step = 0;
  try {
    const uint8_t* magic = read(offset + fmt::magic_field.offset, fmt::magic_field.size);
    if (!std::equal(fmt::magic.begin(), fmt::magic.end(), magic)) {
      const std::string expected(fmt::magic.begin(), fmt::magic.end());
      const std::string got(reinterpret_cast<const char*>(magic), fmt::magic_field.size);
      log::write(log::error, "Invalid payload, '%s' expected, '%s' got.", expected.c_str(), got.c_str());
      throw sfx::exceptions::invalid_payload("Invalid magic string");
    }
    step = 1;
    entry.type = fmt::load_le<uint32_t>(read(offset + fmt::type.offset, fmt::type.size));
    step = 2;
    entry.flags = fmt::load_le<uint32_t>(read(offset + fmt::flags.offset, fmt::flags.size));
    if (entry.flags & fmt::flag_end) {
      m_current.reset();
      m_next_offset = 0;
      return false;
    }
    step = 3;
    entry.timestamp = fmt::load_le<uint64_t>(read(offset + fmt::timestamp.offset, fmt::timestamp.size));
    step = 4;
    entry.size = fmt::load_le<uint32_t>(read(offset + fmt::size.offset, fmt::size.size));
    step = 5;
    const uint8_t* sha = read(offset + fmt::sha256.offset, fmt::sha256.size);
    entry.sha256 = root::digest(std::vector<uint8_t>(sha, sha + fmt::sha256.size)).to_hex();
    step = 6;
    const uint16_t alias_length =
        fmt::load_le<uint16_t>(read(offset + fmt::alias_length.offset, fmt::alias_length.size));
    step = 7;
    const uint8_t* alias = read(offset + fmt::header_size, alias_length);
    entry.alias = text::from_utf8(std::string_view(reinterpret_cast<const char*>(alias), alias_length));
    // The alias was read inside the view, so its end fits into 32 bits.
    entry.data_offset = static_cast<uint32_t>(offset + fmt::header_size + alias_length);
  } catch (const std::exception&) {
    log::write(log::error, "Fail on read value %d.", step);
    throw sfx::exceptions::invalid_payload("Fail on read payload");
  }

  log::write(log::debug, "Data file sha='%s', alias='%s', found in payload.",
             text::to_utf8(entry.sha256).c_str(), text::to_utf8(entry.alias).c_str());
  // Kept in 64 bits: a size that reaches past 4 GiB fails on the next read
  // instead of wrapping back into the payload.
  m_next_offset = uint64_t{entry.data_offset} + entry.size;
  m_current = std::move(entry);
  return true;
}

std::unique_ptr<payload_enumerator_intf> payload_enumerator::factory::create(
    std::shared_ptr<files::file_mapping> mapping) {
  return std::make_unique<payload_enumerator>(std::move(mapping));
}

}  // namespace kro::sfx
