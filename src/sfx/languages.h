#pragma once
// The fixed language table: Windows language identifiers (LCIDs) and the
// language names the string table of the self-extractor uses. The first entry
// (1033 "en-us") is the default in both directions.
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace kro::sfx::languages {

struct entry {
  uint32_t lcid;
  const wchar_t* name;
};

inline constexpr uint32_t default_lcid = 1033;
inline constexpr const wchar_t* default_name = L"en-us";

// All 45 entries in their fixed order.
std::span<const entry> table();

// Whether some entry has this LCID.
bool is_listed(uint32_t lcid);

// Name of the first entry with this LCID; "en-us" when none has it.
std::wstring name(uint32_t lcid);

// LCID of the first entry with exactly this name (case-sensitive); 1033 when
// none has it.
uint32_t lcid(std::wstring_view name);

}  // namespace kro::sfx::languages
