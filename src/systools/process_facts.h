#pragma once
// Small facts about the running process that portable code asks for.
#include <cstdint>

namespace kro::systools {

uint32_t user_default_lang_id();  // GetUserDefaultLangID
uint32_t current_process_id();
void* executable_module();  // module handle of the executable (null off Windows)

// The calling thread's last system error: GetLastError on Windows, errno
// elsewhere; 0 when none is recorded. set_last_error puts a code back, so a
// component that fails can log first and still leave its code to the caller.
uint32_t last_error();
void set_last_error(uint32_t code);

}  // namespace kro::systools
