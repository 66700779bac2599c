#include "exceptions/exceptions.h"
#include "sfx/brand.h"

namespace kro::sfx::detail {

// Native builds have no version resource of their own.
std::wstring own_product_id() {
  throw kro::exceptions::error(codes::none, "Unable to determine product identifier from resources!");
}

}  // namespace kro::sfx::detail
