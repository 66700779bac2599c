#include "systools/file_version.h"

#include "bytes/byte_view.h"

namespace kro::systools {
namespace {

constexpr char16_t version_key[] = u"VS_VERSION_INFO";
constexpr uint32_t fixed_signature = 0xFEEF04BD;
constexpr size_t fixed_info_size = 52;
constexpr size_t header_size = 6;

}  // namespace

std::optional<file_version> parse_version_resource(std::span<const uint8_t> resource) {
  const bytes::view whole(resource);
  if (whole.size() < header_size) return std::nullopt;
  const size_t length = whole.u16(0);
  const size_t value_length = whole.u16(2);
  if (length > whole.size() || length < header_size) return std::nullopt;
  const bytes::view block = whole.first(length);

  // The key, NUL included, must be there whole and be VS_VERSION_INFO.
  constexpr size_t key_chars = sizeof(version_key) / sizeof(char16_t);  // with the NUL
  constexpr size_t key_bytes = 2 * key_chars;
  if (key_bytes > block.size() - header_size) return std::nullopt;
  for (size_t i = 0; i < key_chars; ++i)
    if (block.u16(header_size + 2 * i) != static_cast<uint16_t>(version_key[i])) return std::nullopt;

  const size_t value = (header_size + key_bytes + 3) & ~size_t{3};
  if (value_length < fixed_info_size || value > block.size() || fixed_info_size > block.size() - value)
    return std::nullopt;
  if (block.u32(value) != fixed_signature) return std::nullopt;
  const uint32_t ms = block.u32(value + 8);
  const uint32_t ls = block.u32(value + 12);
  return file_version{static_cast<uint16_t>(ms >> 16), static_cast<uint16_t>(ms),
                      static_cast<uint16_t>(ls >> 16), static_cast<uint16_t>(ls)};
}

}  // namespace kro::systools
