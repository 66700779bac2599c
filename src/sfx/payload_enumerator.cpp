#include "sfx/payload_enumerator.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <span>
#include <string>
#include <vector>

#include "bytes/pe_format.h"
#include "exceptions/exceptions.h"
#include "log/logger.h"
#include "root/sha256.h"
#include "sfx/error_codes.h"
#include "sfx/payload_format.h"
#include "text/text.h"

namespace kro::sfx {
namespace {

namespace fmt = payload_format;

// The NT headers of a PE32 image: signature, file header and the optional
// header's fixed part with its 16 directories.
constexpr uint32_t nt_headers32_size = pe::optional_header_offset + pe::pe32.min_size;  // 248

}  // namespace

uint64_t pe_section_data_end(const bytes::view& image) {
  if (!image.contains(0, pe::dos_header_size)) bytes::throw_outside_view();
  if (!image.equals(0, pe::dos_signature)) {
    log::write(log::error, "%s", "File is not PE.");
    throw sfx::exceptions::unsupported_file_format("Missing DOS signature.");
  }
  const uint32_t nt = image.u32(pe::e_lfanew.offset);
  if (!image.contains(nt, nt_headers32_size)) bytes::throw_outside_view();
  if (!image.equals(nt + pe::signature.offset, pe::nt_signature)) {
    log::write(log::error, "%s", "File is missing NT signature");
    throw sfx::exceptions::unsupported_file_format("Missing NT signature.");
  }
  const pe::nt_headers headers = pe::read_nt_headers(image, nt);
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
      bytes::throw_outside_view();
  }
  uint64_t end = 0;
  for (uint32_t i = 0; i < headers.number_of_sections; ++i) {
    const uint64_t header = headers.section_table + uint64_t{i} * pe::section_header_size;
    const uint64_t raw_size = image.u32(header + pe::size_of_raw_data.offset);
    const uint64_t raw_pointer = image.u32(header + pe::pointer_to_raw_data.offset);
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
  init(bytes::view(image, m_mapping->view_size()), m_mapping->file_size());
}

payload_enumerator::payload_enumerator(const bytes::view& file) { init(file, file.size()); }

void payload_enumerator::init(const bytes::view& file, uint64_t file_size) {
  m_bytes = file;
  m_file_size = file_size;
  const uint64_t end = pe_section_data_end(m_bytes);
  if (end > file_size) {
    log::write(log::error, "%s", "Payload starts behind file end. File is invalid.");
    throw sfx::exceptions::unsupported_file_format("Payload starts behind file end.");
  }
  // Data offsets are 32-bit: a start beyond that cannot be read.
  if (end > std::numeric_limits<uint32_t>::max()) bytes::throw_outside_view();
  m_payload_start = static_cast<uint32_t>(end);
}

bool payload_enumerator::first() {
  if (m_payload_start < m_file_size) return read_record(m_payload_start);
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
  // Offsets are computed in 64 bits; data offsets are 32-bit, so a record
  // beyond that cannot be read.
  if (offset > std::numeric_limits<uint32_t>::max()) bytes::throw_outside_view();
  auto read = [this](uint64_t at, uint32_t width) { return m_bytes.read(at, width); };

  const uint8_t version = read(offset + fmt::version.offset, fmt::version.size)[0];
  if (version != fmt::header_version) {
    log::write(log::error, "Version %u is not supported!", static_cast<unsigned>(version));
    throw sfx::exceptions::invalid_payload("Header version is not supported");
  }

  payload_entry entry;
  int step = 0;
  try {
    const std::span<const uint8_t> magic = read(offset + fmt::magic_field.offset, fmt::magic_field.size);
    if (!std::equal(fmt::magic.begin(), fmt::magic.end(), magic.begin())) {
      const std::string expected(fmt::magic.begin(), fmt::magic.end());
      const std::string got(magic.begin(), magic.end());
      log::write(log::error, "Invalid payload, '%s' expected, '%s' got.", expected.c_str(), got.c_str());
      throw sfx::exceptions::invalid_payload("Invalid magic string");
    }
    step = 1;
    entry.type = m_bytes.le<uint32_t>(offset + fmt::type.offset);
    step = 2;
    entry.flags = m_bytes.le<uint32_t>(offset + fmt::flags.offset);
    if (entry.flags & fmt::flag_end) {
      m_current.reset();
      m_next_offset = 0;
      return false;
    }
    step = 3;
    entry.timestamp = m_bytes.le<uint64_t>(offset + fmt::timestamp.offset);
    step = 4;
    entry.size = m_bytes.le<uint32_t>(offset + fmt::size.offset);
    step = 5;
    const std::span<const uint8_t> sha = read(offset + fmt::sha256.offset, fmt::sha256.size);
    entry.sha256 = root::digest(std::vector<uint8_t>(sha.begin(), sha.end())).to_hex();
    step = 6;
    const uint16_t alias_length = m_bytes.le<uint16_t>(offset + fmt::alias_length.offset);
    step = 7;
    const std::span<const uint8_t> alias = read(offset + fmt::header_size, alias_length);
    entry.alias =
        text::from_utf8(std::string_view(reinterpret_cast<const char*>(alias.data()), alias.size()));
    const uint64_t data_offset = offset + fmt::header_size + alias_length;
    if (data_offset > std::numeric_limits<uint32_t>::max()) bytes::throw_outside_view();
    entry.data_offset = static_cast<uint32_t>(data_offset);
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
