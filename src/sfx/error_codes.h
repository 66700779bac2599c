#pragma once
// Error and exit codes of the self-extractor. Frozen: each value is defined
// once, never changed and never reused for another meaning.
#include <cstdint>

namespace kro::codes {

inline constexpr int32_t none = -1;                 // no code given
inline constexpr int32_t read_outside_view = 5;     // read outside a mapped view
inline constexpr int32_t invalid_data = 13;         // short header, unknown flags, wrong checksum
inline constexpr int32_t write_fault = 29;          // a file could not be written, no system code known
inline constexpr int32_t invalid_argument = 87;     // missing argument, unknown key set, bad condition
inline constexpr int32_t not_implemented = 120;     // component not available in this build
inline constexpr int32_t invalid_name = 123;        // a name that would leave its folder
inline constexpr int32_t brand_unknown = 192;       // product identifier names no brand
inline constexpr int32_t unsupported_format = 193;  // not a 32-bit PE image
inline constexpr int32_t invalid_payload = 487;     // payload records malformed
inline constexpr int32_t unknown_machine = 1630;    // native machine outside the platform table
inline constexpr int32_t still_running = 259;       // process still active after its time-out

// Process exit codes of the self-extractor besides the setup master's own.
inline constexpr int32_t exit_generic = 1;                 // any other std::exception
inline constexpr int32_t exit_download_failed = 44002;     // 0xABE2
inline constexpr int32_t exit_invalid_signature = 44024;   // 0xABF8
inline constexpr int32_t exit_channel_override = 44030;    // malformed channel override
inline constexpr int32_t exit_missing_setup_file = 44051;  // 0xAC13
inline constexpr int32_t exit_restart_required = 44080;    // from the setup master
inline constexpr int32_t exit_unsupported_os = 45056;      // 0xB000

}  // namespace kro::codes
