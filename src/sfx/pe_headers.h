#pragma once
// The PE header fields that the payload reader, the signature check and
// sfxtool rely on, read in one place.
//
//   DOS header   "MZ" at 0, e_lfanew (32-bit) at 0x3C
//   NT headers   at e_lfanew: "PE\0\0", then the file header (20 bytes):
//                  +4 Machine, +6 NumberOfSections, +20 SizeOfOptionalHeader
//                and the optional header at +24:
//                                     PE32 (0x10B)   PE32+ (0x20B)
//                  fixed part + 16 directories  224           240
//                  CheckSum                     +64           +64
//                  NumberOfRvaAndSizes          +92           +108
//                  security directory (no. 4)   +128          +144
//   sections     40-byte headers behind the optional header, at e_lfanew + 24
//                + SizeOfOptionalHeader: SizeOfRawData at +16, PointerToRawData
//                at +20
//
// An image whose SizeOfOptionalHeader is smaller than the fixed part with all
// 16 directories would place its section table over the optional header (the
// CheckSum, which the signature leaves out, could then be read as a section
// field); one with fewer than 5 directories has no security directory, so
// the field read as one is something else. Both are refused, as is a section
// table that does not lie inside the image.
#include <cstdint>

namespace kro::sfx::pe {

inline constexpr uint32_t dos_header_size = 64;
inline constexpr uint32_t e_lfanew_offset = 0x3C;

// Offsets from e_lfanew.
inline constexpr uint32_t signature_size = 4;  // "PE\0\0"
inline constexpr uint32_t machine_offset = 4;
inline constexpr uint32_t number_of_sections_offset = 6;
inline constexpr uint32_t size_of_optional_header_offset = 20;
inline constexpr uint32_t optional_header_offset = 24;
inline constexpr uint32_t checksum_offset = optional_header_offset + 64;  // 88

inline constexpr uint16_t magic_pe32 = 0x10B;
inline constexpr uint16_t magic_pe32_plus = 0x20B;
inline constexpr uint16_t machine_i386 = 0x14C;
inline constexpr uint16_t machine_amd64 = 0x8664;
inline constexpr uint16_t machine_arm64 = 0xAA64;

inline constexpr uint32_t security_directory = 4;  // index in the data directories
inline constexpr uint32_t section_header_size = 40;
inline constexpr uint32_t size_of_raw_data_offset = 16;     // in a section header
inline constexpr uint32_t pointer_to_raw_data_offset = 20;  // in a section header

// The optional header of one Magic.
struct optional_header_kind {
  uint16_t magic;
  uint32_t min_size;            // fixed part with all 16 directories
  uint32_t rva_count_offset;    // NumberOfRvaAndSizes, from the optional header
  uint32_t directories_offset;  // the first data directory, from the optional header
};
inline constexpr optional_header_kind pe32{magic_pe32, 224, 92, 96};
inline constexpr optional_header_kind pe32_plus{magic_pe32_plus, 240, 108, 112};

enum class fault {
  none,
  headers_outside,            // the NT headers do not fit into the image
  unknown_magic,              // neither PE32 nor PE32+
  optional_header_too_small,  // SizeOfOptionalHeader below 224 (PE32) or 240 (PE32+)
  no_security_directory,      // NumberOfRvaAndSizes below 5
  section_table_outside,      // the section table does not lie inside the image
};

// What the headers say; offsets are file offsets.
struct nt_headers {
  fault problem = fault::none;
  uint16_t machine = 0;
  uint16_t magic = 0;
  uint16_t number_of_sections = 0;
  uint16_t size_of_optional_header = 0;
  uint32_t number_of_rva_and_sizes = 0;
  uint64_t section_table = 0;      // first section header
  uint64_t section_table_end = 0;  // behind the last one
  uint64_t checksum = 0;           // where the CheckSum field lies
  uint64_t security_entry = 0;     // where the security directory entry lies
  uint32_t security_offset = 0;    // certificate table: file offset ...
  uint32_t security_size = 0;      // ... and size
};

// Reads the NT headers at nt of the size bytes at image (the caller has
// found "MZ" and "PE\0\0" there). Every bounds check is done in subtraction
// form, so no offset wraps. problem names the first check that fails, in the
// order of the fault list; the fields are filled whenever the fixed part of
// the optional header lies inside the image.
nt_headers read_nt_headers(const uint8_t* image, uint64_t size, uint32_t nt);

// A short English description of a fault, for logs and the tool's messages.
const char* describe(fault problem);

}  // namespace kro::sfx::pe
