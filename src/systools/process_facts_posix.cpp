#include <unistd.h>

#include "systools/process_facts.h"

namespace kro::systools {

uint32_t user_default_lang_id() { return 1033; }
uint32_t current_process_id() { return static_cast<uint32_t>(getpid()); }
void* executable_module() { return nullptr; }

}  // namespace kro::systools
