#pragma once
// Byte layout of the payload records appended behind the executable's last
// section data. The reader (payload_enumerator) and the writer
// (payload_writer) both take every offset and size from this one table.
//
//   offset  size  field
//        0     1  version        always 1
//        1     3  magic          "APE"
//        4     4  type           ASCII letter in the low byte: 'F', 'C'; ':' ends
//        8     4  flags          0 stored, 1 LZMA stream; 0x10 marks the end record
//       12     8  timestamp      seconds since 1970-01-01 UTC, carried through
//       20     4  size           byte count of the data as stored
//       24    32  sha-256        digest of the unpacked bytes, raw
//       56     2  alias length   n, bytes of UTF-8
//       58     n  alias          UTF-8, no terminator, may be empty
//   58 + n  size  data
//
// All integers are little-endian, no padding. The next record starts at the
// data offset + size. An end record (flags bit 0x10) is written as a full
// 58-byte header with zeros behind its flags; the reader stops at its flags.
#include <array>
#include <cstddef>
#include <cstdint>

#include "bytes/byte_view.h"

namespace kro::sfx::payload_format {

inline constexpr uint8_t header_version = 1;
inline constexpr std::array<uint8_t, 3> magic = {'A', 'P', 'E'};

inline constexpr uint32_t flags_stored = 0;
inline constexpr uint32_t flags_lzma = 1;
inline constexpr uint32_t flag_end = 0x10;

inline constexpr uint32_t type_file = 'F';
inline constexpr uint32_t type_config = 'C';
inline constexpr uint32_t type_end = ':';

struct field {
  uint32_t offset;
  uint32_t size;
  constexpr uint32_t end() const { return offset + size; }
};

inline constexpr field version{0, 1};
inline constexpr field magic_field{version.end(), 3};
inline constexpr field type{magic_field.end(), 4};
inline constexpr field flags{type.end(), 4};
inline constexpr field timestamp{flags.end(), 8};
inline constexpr field size{timestamp.end(), 4};
inline constexpr field sha256{size.end(), 32};
inline constexpr field alias_length{sha256.end(), 2};
inline constexpr uint32_t header_size = alias_length.end();

static_assert(magic_field.offset == 1 && type.offset == 4 && flags.offset == 8);
static_assert(timestamp.offset == 12 && size.offset == 20 && sha256.offset == 24);
static_assert(alias_length.offset == 56 && header_size == 58);
static_assert(magic_field.size == magic.size());

// Largest alias the 16-bit length field can describe.
inline constexpr uint32_t max_alias_bytes = 0xFFFF;

// Largest file a record carries: the 32-bit size field bounds a stored file;
// the tools hold the files of LZMA records (whose own header may announce
// any size) to the same bound.
inline constexpr uint64_t max_file_bytes = 0xFFFFFFFF;

// The fixed part of a record as the writer fills it.
struct header {
  uint32_t type = type_file;
  uint32_t flags = flags_stored;
  uint64_t timestamp = 0;
  uint32_t size = 0;
  std::array<uint8_t, 32> sha256{};
  uint16_t alias_length = 0;
};

// The 58 header bytes of h, version and magic included.
inline std::array<uint8_t, header_size> encode(const header& h) {
  std::array<uint8_t, header_size> out{};
  out[version.offset] = header_version;
  for (size_t i = 0; i < magic.size(); ++i) out[magic_field.offset + i] = magic[i];
  bytes::store_le<uint32_t>(out.data() + type.offset, h.type);
  bytes::store_le<uint32_t>(out.data() + flags.offset, h.flags);
  bytes::store_le<uint64_t>(out.data() + timestamp.offset, h.timestamp);
  bytes::store_le<uint32_t>(out.data() + size.offset, h.size);
  for (size_t i = 0; i < h.sha256.size(); ++i) out[sha256.offset + i] = h.sha256[i];
  bytes::store_le<uint16_t>(out.data() + alias_length.offset, h.alias_length);
  return out;
}

}  // namespace kro::sfx::payload_format
