#include <windows.h>

#include "systools/process_facts.h"

namespace kro::systools {

uint32_t user_default_lang_id() { return GetUserDefaultLangID(); }
uint32_t current_process_id() { return GetCurrentProcessId(); }
void* executable_module() { return GetModuleHandleW(nullptr); }
uint32_t last_error() { return GetLastError(); }
void set_last_error(uint32_t code) { SetLastError(code); }

}  // namespace kro::systools
