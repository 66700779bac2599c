#pragma once
// Byte layout of the PE headers that the payload reader, the signature check,
// the brand lookup and sfxtool read. Every PE offset of the program is in this
// one table; readers take the bytes through bytes::view.
//
//   DOS header   "MZ" at 0, e_lfanew (32-bit) at 0x3C
//   NT headers   at e_lfanew: "PE\0\0", then the file header (20 bytes):
//                  +4 Machine, +6 NumberOfSections, +12 PointerToSymbolTable,
//                  +16 NumberOfSymbols, +20 SizeOfOptionalHeader
//                and the optional header at +24:
//                                     PE32 (0x10B)   PE32+ (0x20B)
//                  fixed part + 16 directories  224           240
//                  SizeOfImage                  +56           +56
//                  CheckSum                     +64           +64
//                  Subsystem                    +68           +68
//                  NumberOfRvaAndSizes          +92           +108
//                  data directories (8 bytes)   +96           +112
//                    no. 2 resources, no. 4 security (certificate table)
//   sections     40-byte headers behind the optional header, at e_lfanew + 24
//                + SizeOfOptionalHeader: Name (8 bytes) at 0, SizeOfRawData at
//                +16, PointerToRawData at +20
//
// Hostile lengths: an image whose SizeOfOptionalHeader is smaller than the
// fixed part with all 16 directories would place its section table over the
// optional header (the CheckSum, which the signature leaves out, could then
// be read as a section field); one with fewer than 5 directories has no
// security directory, so the field read as one is something else. Both are
// refused, as is a section table that does not lie inside the image. Every
// bound is checked in subtraction form, in 64 bits, so no offset wraps.
#include <array>
#include <cstdint>

#include "bytes/byte_view.h"

namespace kro::pe {

struct field {
  uint32_t offset;
  uint32_t size;
  constexpr uint32_t end() const { return offset + size; }
};

// DOS header, from the file start.
inline constexpr uint32_t dos_header_size = 64;
inline constexpr std::array<uint8_t, 2> dos_signature = {'M', 'Z'};
inline constexpr field e_lfanew{0x3C, 4};

// NT headers, from e_lfanew.
inline constexpr std::array<uint8_t, 4> nt_signature = {'P', 'E', 0, 0};
inline constexpr field signature{0, 4};
inline constexpr field machine{signature.end(), 2};
inline constexpr field number_of_sections{machine.end(), 2};
inline constexpr field pointer_to_symbol_table{signature.end() + 8, 4};
inline constexpr field number_of_symbols{pointer_to_symbol_table.end(), 4};
inline constexpr field size_of_optional_header{number_of_symbols.end(), 2};
inline constexpr uint32_t file_header_size = 20;
inline constexpr uint32_t optional_header_offset = signature.end() + file_header_size;

// Optional header, from its start (the same for PE32 and PE32+).
inline constexpr field magic{0, 2};
inline constexpr field size_of_image{56, 4};
inline constexpr field checksum{64, 4};
inline constexpr field subsystem{68, 2};

static_assert(e_lfanew.end() <= dos_header_size);
static_assert(machine.offset == 4 && number_of_sections.offset == 6 && size_of_optional_header.offset == 20);
static_assert(pointer_to_symbol_table.offset == 12 && number_of_symbols.offset == 16);
static_assert(optional_header_offset == 24);
static_assert(optional_header_offset + checksum.offset == 88 &&
              optional_header_offset + subsystem.offset == 92);

inline constexpr uint16_t magic_pe32 = 0x10B;
inline constexpr uint16_t magic_pe32_plus = 0x20B;
inline constexpr uint16_t machine_i386 = 0x14C;
inline constexpr uint16_t machine_amd64 = 0x8664;
inline constexpr uint16_t machine_arm64 = 0xAA64;

// Data directories: 8 bytes each, RVA (or, for security, file offset) and size.
inline constexpr uint32_t directory_entry_size = 8;
inline constexpr uint32_t resource_directory = 2;
inline constexpr uint32_t security_directory = 4;
inline constexpr uint32_t all_directories = 16;

// The optional header of one Magic.
struct optional_header_kind {
  uint16_t magic;
  uint32_t rva_count_offset;    // NumberOfRvaAndSizes, from the optional header
  uint32_t directories_offset;  // the first data directory, from the optional header
  uint32_t min_size;            // fixed part with all 16 directories
  constexpr uint32_t directory(uint32_t index) const {
    return directories_offset + directory_entry_size * index;
  }
};
inline constexpr optional_header_kind pe32{magic_pe32, 92, 96, 96 + directory_entry_size* all_directories};
inline constexpr optional_header_kind pe32_plus{magic_pe32_plus, 108, 112,
                                                112 + directory_entry_size* all_directories};
static_assert(pe32.min_size == 224 && pe32_plus.min_size == 240);
static_assert(pe32.rva_count_offset + 4 == pe32.directories_offset);
static_assert(pe32_plus.rva_count_offset + 4 == pe32_plus.directories_offset);
static_assert(optional_header_offset + pe32.directory(security_directory) == 152);

// The optional header kind of a Magic; null for any other.
constexpr const optional_header_kind* kind_of(uint16_t magic_value) {
  return magic_value == pe32.magic ? &pe32 : magic_value == pe32_plus.magic ? &pe32_plus : nullptr;
}

// Section headers, from their start.
inline constexpr uint32_t section_header_size = 40;
inline constexpr field section_name{0, 8};
inline constexpr field size_of_raw_data{16, 4};
inline constexpr field pointer_to_raw_data{20, 4};
static_assert(pointer_to_raw_data.end() <= section_header_size);

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
  uint16_t subsystem = 0;
  uint32_t number_of_rva_and_sizes = 0;
  uint64_t optional_header = 0;    // first byte of the optional header
  uint64_t section_table = 0;      // first section header
  uint64_t section_table_end = 0;  // behind the last one
  uint64_t checksum = 0;           // where the CheckSum field lies
  uint64_t security_entry = 0;     // where the security directory entry lies
  uint32_t security_offset = 0;    // certificate table: file offset ...
  uint32_t security_size = 0;      // ... and size
};

// Whether the image starts with "MZ" and a whole DOS header.
bool has_dos_header(const bytes::view& image);

// Reads the NT headers at nt of image (the caller has found "MZ" and
// "PE\0\0" there). problem names the first check that fails, in the order of
// the fault list; the fields are filled whenever the fixed part of the
// optional header lies inside the image.
nt_headers read_nt_headers(const bytes::view& image, uint32_t nt);

// A short English description of a fault, for logs and the tool's messages.
const char* describe(fault problem);

}  // namespace kro::pe
