#include <windows.h>

#include "exceptions/exceptions.h"
#include "sfx/brand.h"

namespace kro::sfx::detail {

// The loaded image of the executable as one span: the loader maps
// SizeOfImage bytes from the base, so relative virtual addresses are offsets.
std::wstring own_product_id() {
  const auto* base = reinterpret_cast<const uint8_t*>(GetModuleHandleW(nullptr));
  if (base == nullptr) throw kro::exceptions::error(codes::none, "There is no resource section in module");
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  const std::span<const uint8_t> image(base, nt->OptionalHeader.SizeOfImage);
  return product_id_from_version_block(find_version_resource(image));
}

}  // namespace kro::sfx::detail
