#pragma once
// The file version of an executable, from its version resource.
//
// The resource (RT_VERSION, id 1) starts with a VS_VERSIONINFO block, all
// little endian:
//   uint16 length         bytes of the whole block, children included
//   uint16 value_length   bytes of the value: 52 for VS_FIXEDFILEINFO
//   uint16 type           0 (binary value)
//   UTF-16 key            "VS_VERSION_INFO", NUL terminated
//   padding               to the next multiple of 4 bytes from the block's start
//   VS_FIXEDFILEINFO      uint32 signature 0xFEEF04BD, uint32 struct version,
//                         uint32 file version MS, uint32 file version LS, ...
// The file version's four 16-bit parts are the high and low words of the
// two file version fields. The resource's bytes are read as untrusted: every
// length is checked against the bytes present.
#include <array>
#include <cstdint>
#include <optional>
#include <span>

namespace kro::systools {

using file_version = std::array<uint16_t, 4>;

// The fixed file version of a VS_VERSIONINFO block, or nothing when the
// bytes do not hold a well-formed one.
std::optional<file_version> parse_version_resource(std::span<const uint8_t> bytes);

#if defined(_WIN32)
// The running executable's own file version, read from its version resource
// through kernel32 (no version.dll); 0.0.0.0 when it has none.
file_version own_file_version();
#endif

}  // namespace kro::systools
