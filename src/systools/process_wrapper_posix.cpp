// The native build starts no processes: creating a wrapper raises error 120
// (not implemented).
#include "exceptions/exceptions.h"
#include "sfx/error_codes.h"
#include "systools/process_wrapper.h"

namespace kro::systools {

std::unique_ptr<process_wrapper_intf> process_wrapper::factory::create() {
  throw kro::exceptions::error(codes::not_implemented, "Component '%s' is not available in this build.",
                               "process_wrapper");
}

}  // namespace kro::systools
