#include "sfx/payload_writer.h"

#include <limits>

#include "exceptions/exceptions.h"
#include "packers/lzma_packer.h"
#include "root/sha256.h"
#include "sfx/error_codes.h"
#include "sfx/payload_enumerator.h"
#include "text/text.h"

namespace kro::sfx {

namespace fmt = payload_format;

payload_writer::payload_writer(std::vector<uint8_t>& out, uint64_t payload_start)
    : m_out(out), m_start(payload_start), m_base(out.size()) {}

uint32_t payload_writer::add_file(std::wstring_view alias, const uint8_t* data, size_t size,
                                  uint64_t timestamp, storage how, uint32_t type) {
  fmt::header fields;
  fields.type = type;
  fields.timestamp = timestamp;
  const root::digest sha = root::hash_block(data, size);
  std::copy(sha.bytes().begin(), sha.bytes().end(), fields.sha256.begin());
  const std::string alias_utf8 = text::to_utf8(alias);
  if (how == storage::stored) {
    fields.flags = fmt::flags_stored;
    return add_record(fields, alias_utf8, data, size);
  }
  packers::lzma_packer packer;
  const std::vector<uint8_t> packed = packer.pack(data, size);
  fields.flags = fmt::flags_lzma;
  return add_record(fields, alias_utf8, packed.data(), packed.size());
}

uint32_t payload_writer::add_record(const fmt::header& fields, std::string_view alias_utf8,
                                    const uint8_t* data, size_t size) {
  if (m_ended)
    throw kro::exceptions::error(codes::invalid_argument, "%s",
                                 "Payload record added behind the end record.");
  if (alias_utf8.size() > fmt::max_alias_bytes) {
    throw kro::exceptions::error(codes::invalid_argument, "Payload alias of %llu bytes is too long.",
                                 static_cast<unsigned long long>(alias_utf8.size()));
  }
  if (size > std::numeric_limits<uint32_t>::max()) {
    throw kro::exceptions::error(codes::invalid_argument, "Payload file of %llu bytes is too big.",
                                 static_cast<unsigned long long>(size));
  }
  // The reader addresses data by 32-bit file offsets: the whole record must
  // end within them.
  const uint64_t data_offset = offset() + fmt::header_size + alias_utf8.size();
  if (data_offset > std::numeric_limits<uint32_t>::max() ||
      size > std::numeric_limits<uint32_t>::max() - data_offset) {
    throw kro::exceptions::error(codes::invalid_argument, "%s", "Payload record lies beyond 4 GiB.");
  }

  fmt::header h = fields;
  h.size = static_cast<uint32_t>(size);
  h.alias_length = static_cast<uint16_t>(alias_utf8.size());
  const auto bytes = fmt::encode(h);
  m_out.insert(m_out.end(), bytes.begin(), bytes.end());
  m_out.insert(m_out.end(), alias_utf8.begin(), alias_utf8.end());
  if (size) m_out.insert(m_out.end(), data, data + size);
  return static_cast<uint32_t>(data_offset);
}

void payload_writer::add_end() {
  if (m_ended)
    throw kro::exceptions::error(codes::invalid_argument, "%s", "Payload end record written twice.");
  fmt::header h;
  h.type = fmt::type_end;
  h.flags = fmt::flag_end;
  const auto bytes = fmt::encode(h);
  m_out.insert(m_out.end(), bytes.begin(), bytes.end());
  m_ended = true;
}

stub_layout measure_stub(const uint8_t* image, size_t size) {
  if (size > std::numeric_limits<uint32_t>::max()) {
    throw sfx::exceptions::unsupported_file_format("Stub image of 4 GiB or more.");
  }
  const uint64_t end = pe_section_data_end(bytes::view(image, size));
  if (end > size) throw sfx::exceptions::unsupported_file_format("Payload starts behind file end.");
  return stub_layout{static_cast<uint32_t>(end), size - end};
}

}  // namespace kro::sfx
