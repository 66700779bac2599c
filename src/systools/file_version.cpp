#include "systools/file_version.h"

namespace kro::systools {
namespace {

constexpr char16_t version_key[] = u"VS_VERSION_INFO";
constexpr uint32_t fixed_signature = 0xFEEF04BD;
constexpr size_t fixed_info_size = 52;
constexpr size_t header_size = 6;

uint16_t read16(std::span<const uint8_t> b, size_t at) {
  return static_cast<uint16_t>(b[at] | b[at + 1] << 8);
}
uint32_t read32(std::span<const uint8_t> b, size_t at) {
  return uint32_t{b[at]} | uint32_t{b[at + 1]} << 8 | uint32_t{b[at + 2]} << 16 | uint32_t{b[at + 3]} << 24;
}

}  // namespace

std::optional<file_version> parse_version_resource(std::span<const uint8_t> bytes) {
  if (bytes.size() < header_size) return std::nullopt;
  const size_t length = read16(bytes, 0);
  const size_t value_length = read16(bytes, 2);
  if (length > bytes.size() || length < header_size) return std::nullopt;
  const std::span<const uint8_t> block = bytes.first(length);

  // The key, NUL included, must be there whole and be VS_VERSION_INFO.
  constexpr size_t key_chars = sizeof(version_key) / sizeof(char16_t);  // with the NUL
  constexpr size_t key_bytes = 2 * key_chars;
  if (key_bytes > block.size() - header_size) return std::nullopt;
  for (size_t i = 0; i < key_chars; ++i)
    if (read16(block, header_size + 2 * i) != static_cast<uint16_t>(version_key[i])) return std::nullopt;

  const size_t value = (header_size + key_bytes + 3) & ~size_t{3};
  if (value_length < fixed_info_size || value > block.size() || fixed_info_size > block.size() - value)
    return std::nullopt;
  if (read32(block, value) != fixed_signature) return std::nullopt;
  const uint32_t ms = read32(block, value + 8);
  const uint32_t ls = read32(block, value + 12);
  return file_version{static_cast<uint16_t>(ms >> 16), static_cast<uint16_t>(ms),
                      static_cast<uint16_t>(ls >> 16), static_cast<uint16_t>(ls)};
}

}  // namespace kro::systools
