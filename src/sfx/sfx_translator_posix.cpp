#include "sfx/sfx_translator.h"

namespace kro::sfx {

// Native builds carry no resources: the translator has an empty table and
// every lookup gives back its identifier.
std::shared_ptr<sfx_translator_intf> sfx_translator::factory::create(uint32_t lcid) {
  return std::make_shared<sfx_translator>(lcid, nullptr, 0);
}

}  // namespace kro::sfx
