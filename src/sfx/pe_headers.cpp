#include "sfx/pe_headers.h"

namespace kro::sfx::pe {
namespace {

uint16_t le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t le32(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

}  // namespace

nt_headers read_nt_headers(const uint8_t* image, uint64_t size, uint32_t nt) {
  nt_headers h;
  if (nt > size || size - nt < optional_header_offset + 2) {
    h.problem = fault::headers_outside;
    return h;
  }
  const uint64_t optional = uint64_t{nt} + optional_header_offset;
  h.machine = le16(image + nt + machine_offset);
  h.number_of_sections = le16(image + nt + number_of_sections_offset);
  h.size_of_optional_header = le16(image + nt + size_of_optional_header_offset);
  h.magic = le16(image + optional);
  const optional_header_kind* kind = h.magic == pe32.magic        ? &pe32
                                     : h.magic == pe32_plus.magic ? &pe32_plus
                                                                  : nullptr;
  if (!kind) {
    h.problem = fault::unknown_magic;
    return h;
  }
  if (size - optional < kind->min_size) {
    h.problem = fault::headers_outside;
    return h;
  }
  h.checksum = uint64_t{nt} + checksum_offset;
  h.number_of_rva_and_sizes = le32(image + optional + kind->rva_count_offset);
  h.security_entry = optional + kind->directories_offset + 8 * security_directory;
  h.security_offset = le32(image + h.security_entry);
  h.security_size = le32(image + h.security_entry + 4);

  if (h.size_of_optional_header < kind->min_size) {
    h.problem = fault::optional_header_too_small;
    return h;
  }
  if (h.number_of_rva_and_sizes <= security_directory) {
    h.problem = fault::no_security_directory;
    return h;
  }
  h.section_table = optional + h.size_of_optional_header;
  if (h.section_table > size || (size - h.section_table) / section_header_size < h.number_of_sections) {
    h.problem = fault::section_table_outside;
    return h;
  }
  h.section_table_end = h.section_table + uint64_t{section_header_size} * h.number_of_sections;
  return h;
}

const char* describe(fault problem) {
  switch (problem) {
    case fault::none:
      return "well-formed";
    case fault::headers_outside:
      return "the NT headers do not fit into the file";
    case fault::unknown_magic:
      return "the optional header is neither PE32 nor PE32+";
    case fault::optional_header_too_small:
      return "SizeOfOptionalHeader is smaller than the optional header's fixed part";
    case fault::no_security_directory:
      return "NumberOfRvaAndSizes leaves out the security directory";
    case fault::section_table_outside:
      return "the section table does not lie inside the file";
  }
  return "unknown";
}

}  // namespace kro::sfx::pe
