#pragma once
// Names from the payload and from product-info.xml that become paths inside
// the temporary folder.
//
// A safe name is relative and stays below the folder it is joined to:
//   - one or more segments separated by "\" or "/";
//   - no segment is empty (so no leading, trailing or doubled separator),
//     "." or "..";
//   - no character is ":" (drive, alternate data stream), one of < > " | ? *,
//     or a control character below 0x20;
//   - no segment ends in "." or " " (Windows drops them, so "a." would name
//     "a");
//   - no segment is a device name, whatever its case and extension: CON, PRN,
//     AUX, NUL, COM0-COM9, LPT0-LPT9 (also with the superscript digits ¹ ² ³),
//     CONIN$, CONOUT$.
// Everything else (non-ASCII letters, blanks inside a segment, long names)
// is accepted.
#include <string>
#include <string_view>

namespace kro::files {

bool is_safe_relative_name(std::wstring_view name);

// The name with every "/" turned into "\" (the names are checked first).
std::wstring to_backslashes(std::wstring_view name);

}  // namespace kro::files
