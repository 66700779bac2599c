#include "tool/pe.h"

#include <string>

#include "bytes/pe_format.h"
#include "tool/io.h"

namespace kro::tool::pe {

layout read(const bytes::view& image) {
  namespace format = kro::pe;
  if (!format::has_dos_header(image)) throw tool_error("no PE image (missing MZ)");
  layout l;
  l.e_lfanew = image.u32(format::e_lfanew.offset);
  if (!image.contains(l.e_lfanew, format::signature.size)) throw tool_error("PE header outside the file");
  if (!image.equals(l.e_lfanew, format::nt_signature)) throw tool_error("no PE image (missing PE signature)");
  const format::nt_headers headers = format::read_nt_headers(image, l.e_lfanew);
  if (headers.problem == format::fault::headers_outside) throw tool_error("PE header outside the file");
  if (headers.magic != format::magic_pe32) throw tool_error("not a 32-bit PE image");
  // The same refusals as sfx.exe's payload reader and signature check.
  if (headers.problem != format::fault::none)
    throw tool_error(std::string("malformed PE image: ") + format::describe(headers.problem));
  l.machine = headers.machine;
  l.sections = headers.number_of_sections;
  l.magic = headers.magic;
  l.subsystem = headers.subsystem;
  l.checksum_offset = static_cast<uint32_t>(headers.checksum);
  l.security_dir_offset = static_cast<uint32_t>(headers.security_entry);
  l.security_offset = headers.security_offset;
  l.security_size = headers.security_size;
  l.section_table = static_cast<uint32_t>(headers.section_table);
  return l;
}

uint32_t checksum(const std::vector<uint8_t>& image, uint32_t checksum_offset) {
  uint64_t sum = 0;
  for (size_t i = 0; i < image.size(); i += 2) {
    if (i >= checksum_offset && i < checksum_offset + 4) continue;
    uint32_t word = image[i];
    if (i + 1 < image.size()) word |= static_cast<uint32_t>(image[i + 1]) << 8;
    sum += word;
    sum = (sum & 0xFFFF) + (sum >> 16);
  }
  sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<uint32_t>(sum + image.size());
}

}  // namespace kro::tool::pe
