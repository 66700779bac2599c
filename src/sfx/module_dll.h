#pragma once
// The product's module DLL morrow_mod.dll, asked whether the release channel
// stays. Its export
//
//   uint32_t __cdecl CheckChannelCompatibility(const wchar_t* product,
//       const wchar_t* channel, wchar_t* answer, uint32_t* length,
//       uint32_t reserved /* always 0 */);
//
// gets the length as the answer buffer's capacity in characters (100 at
// first) and sets it to the answer's length. It returns 0 on success and 234
// when the buffer is too small; the call is then repeated once with a buffer
// of the returned length. Any other result is a failure.
#include <cstdint>
#include <optional>
#include <string>

namespace kro::sfx::module_dll {

inline constexpr uint32_t first_capacity = 100;
inline constexpr uint32_t more_data = 234;

// Loads the DLL from its full path, asks it and unloads it again. The answer
// cut to its returned length, or nothing after an error-level record:
// "Loading MOD:'%s' fail %u.", "MOD.dll function not found", "Calling
// MOD.dll function fail %u".
std::optional<std::wstring> ask_channel(const std::wstring& path, const std::wstring& product,
                                        const std::wstring& channel);

}  // namespace kro::sfx::module_dll
