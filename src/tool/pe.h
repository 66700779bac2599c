#pragma once
// The few PE header fields the packer touches (32-bit images; offsets in
// bytes/pe_format.h).
#include <cstddef>
#include <cstdint>
#include <vector>

#include "bytes/byte_view.h"

namespace kro::tool::pe {

struct layout {
  uint32_t e_lfanew = 0;
  uint16_t machine = 0;
  uint16_t sections = 0;
  uint16_t magic = 0;
  uint16_t subsystem = 0;
  uint32_t checksum_offset = 0;      // the CheckSum field
  uint32_t security_dir_offset = 0;  // the security directory entry
  uint32_t security_offset = 0;      // certificate table: file offset
  uint32_t security_size = 0;
  uint32_t section_table = 0;  // first section header, inside the file
};

// Reads the headers of a PE32 image; tool_error for anything else, and for
// an image sfx.exe refuses (SizeOfOptionalHeader below 224,
// NumberOfRvaAndSizes below 5, a section table outside the file).
layout read(const bytes::view& image);

// The PE image checksum over the whole file (CheckSum field taken as zero).
uint32_t checksum(const std::vector<uint8_t>& image, uint32_t checksum_offset);

}  // namespace kro::tool::pe
