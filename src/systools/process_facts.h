#pragma once
// Small facts about the running process that portable code asks for.
#include <cstdint>

namespace kro::systools {

uint32_t user_default_lang_id();  // GetUserDefaultLangID
uint32_t current_process_id();
void* executable_module();  // module handle of the executable (null off Windows)

}  // namespace kro::systools
