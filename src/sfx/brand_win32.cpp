#include <windows.h>

#include "bytes/pe_format.h"
#include "exceptions/exceptions.h"
#include "sfx/brand.h"

namespace kro::sfx::detail {

// The loaded image of the executable as one span: the loader maps
// SizeOfImage bytes from the base, so relative virtual addresses are offsets.
std::wstring own_product_id() {
  const auto* base = reinterpret_cast<const uint8_t*>(GetModuleHandleW(nullptr));
  if (base == nullptr) throw kro::exceptions::error(codes::none, "There is no resource section in module");
  const uint32_t nt = bytes::view(base, pe::dos_header_size).u32(pe::e_lfanew.offset);
  const uint64_t size_of_image_at = uint64_t{nt} + pe::optional_header_offset + pe::size_of_image.offset;
  const bytes::view headers(base, static_cast<size_t>(size_of_image_at + pe::size_of_image.size));
  const std::span<const uint8_t> image(base, headers.u32(size_of_image_at));
  return product_id_from_version_block(find_version_resource(image));
}

}  // namespace kro::sfx::detail
