// The native build has no run folder: the run and its temporary folder exist
// only on Windows. Creating one raises error 120 (not implemented).
#include "exceptions/exceptions.h"
#include "sfx/error_codes.h"
#include "sfx/temp_dir.h"

namespace kro::sfx {

std::unique_ptr<temp_dir_intf> temp_dir::factory::create(bool) {
  throw kro::exceptions::error(codes::not_implemented, "Component '%s' is not available in this build.",
                               "temp_dir");
}

}  // namespace kro::sfx
