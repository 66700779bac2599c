#include "tool/pe.h"

#include <string>

#include "sfx/pe_headers.h"
#include "tool/io.h"

namespace kro::tool::pe {

uint32_t load32(const std::vector<uint8_t>& image, size_t offset) {
  if (offset > image.size() || image.size() - offset < 4) throw tool_error("PE header outside the file");
  return static_cast<uint32_t>(image[offset]) | static_cast<uint32_t>(image[offset + 1]) << 8 |
         static_cast<uint32_t>(image[offset + 2]) << 16 | static_cast<uint32_t>(image[offset + 3]) << 24;
}

void store32(std::vector<uint8_t>& image, size_t offset, uint32_t value) {
  for (int i = 0; i < 4; ++i)
    image.at(offset + static_cast<size_t>(i)) = static_cast<uint8_t>(value >> (8 * i));
}

layout read(const std::vector<uint8_t>& image) {
  if (image.size() < 64 || image[0] != 'M' || image[1] != 'Z') throw tool_error("no PE image (missing MZ)");
  layout l;
  l.e_lfanew = load32(image, sfx::pe::e_lfanew_offset);
  if (load32(image, l.e_lfanew) != 0x00004550) throw tool_error("no PE image (missing PE signature)");
  const sfx::pe::nt_headers headers = sfx::pe::read_nt_headers(image.data(), image.size(), l.e_lfanew);
  if (headers.problem == sfx::pe::fault::headers_outside) throw tool_error("PE header outside the file");
  if (headers.magic != sfx::pe::magic_pe32) throw tool_error("not a 32-bit PE image");
  // The same refusals as sfx.exe's payload reader and signature check.
  if (headers.problem != sfx::pe::fault::none)
    throw tool_error(std::string("malformed PE image: ") + sfx::pe::describe(headers.problem));
  l.machine = headers.machine;
  l.sections = headers.number_of_sections;
  l.magic = headers.magic;
  l.subsystem = static_cast<uint16_t>(load32(image, l.e_lfanew + 92));
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
