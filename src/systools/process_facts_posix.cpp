#include <unistd.h>

#include <cerrno>

#include "systools/process_facts.h"

namespace kro::systools {

uint32_t user_default_lang_id() { return 1033; }
uint32_t current_process_id() { return static_cast<uint32_t>(getpid()); }
void* executable_module() { return nullptr; }
uint32_t last_error() { return static_cast<uint32_t>(errno); }
void set_last_error(uint32_t code) { errno = static_cast<int>(code); }

}  // namespace kro::systools
