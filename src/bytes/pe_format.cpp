#include "bytes/pe_format.h"

namespace kro::pe {

bool has_dos_header(const bytes::view& image) {
  return image.contains(0, dos_header_size) && image.equals(0, dos_signature);
}

nt_headers read_nt_headers(const bytes::view& image, uint32_t nt) {
  nt_headers h;
  const uint64_t size = image.size();
  if (nt > size || size - nt < optional_header_offset + magic.size) {
    h.problem = fault::headers_outside;
    return h;
  }
  const uint64_t optional = uint64_t{nt} + optional_header_offset;
  h.optional_header = optional;
  h.machine = image.u16(nt + machine.offset);
  h.number_of_sections = image.u16(nt + number_of_sections.offset);
  h.size_of_optional_header = image.u16(nt + size_of_optional_header.offset);
  h.magic = image.u16(optional + magic.offset);
  const optional_header_kind* kind = kind_of(h.magic);
  if (!kind) {
    h.problem = fault::unknown_magic;
    return h;
  }
  if (size - optional < kind->min_size) {
    h.problem = fault::headers_outside;
    return h;
  }
  h.checksum = optional + checksum.offset;
  h.subsystem = image.u16(optional + subsystem.offset);
  h.number_of_rva_and_sizes = image.u32(optional + kind->rva_count_offset);
  h.security_entry = optional + kind->directory(security_directory);
  h.security_offset = image.u32(h.security_entry);
  h.security_size = image.u32(h.security_entry + 4);

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

}  // namespace kro::pe
