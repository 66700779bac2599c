#include "files/safe_name.h"

#include <cstddef>

#include "text/text.h"

namespace kro::files {
namespace {

bool is_separator(wchar_t c) { return c == L'\\' || c == L'/'; }

bool is_forbidden(wchar_t c) {
  return c < 0x20 || c == L':' || c == L'<' || c == L'>' || c == L'"' || c == L'|' || c == L'?' || c == L'*';
}

// A device name: the part before the first "." decides ("nul.txt" and
// "NUL" alike); Windows also ignores blanks before the extension.
bool is_device(std::wstring_view segment) {
  std::wstring_view stem = segment.substr(0, segment.find(L'.'));
  while (!stem.empty() && stem.back() == L' ') stem.remove_suffix(1);
  if (stem.size() < 3 || stem.size() > 7) return false;
  wchar_t lower[8] = {};
  for (size_t i = 0; i < stem.size(); ++i) lower[i] = text::to_lower(stem[i]);
  const std::wstring_view name(lower, stem.size());
  static constexpr std::wstring_view fixed[] = {L"con", L"prn", L"aux", L"nul", L"conin$", L"conout$"};
  for (const std::wstring_view device : fixed)
    if (name == device) return true;
  if (name.size() == 4 && (name.substr(0, 3) == L"com" || name.substr(0, 3) == L"lpt")) {
    const wchar_t d = name[3];
    return (d >= L'0' && d <= L'9') || d == L'\u00b9' || d == L'\u00b2' || d == L'\u00b3';
  }
  return false;
}

bool is_safe_segment(std::wstring_view segment) {
  if (segment.empty() || segment == L"." || segment == L"..") return false;
  if (segment.back() == L'.' || segment.back() == L' ') return false;
  for (const wchar_t c : segment)
    if (is_forbidden(c)) return false;
  return !is_device(segment);
}

}  // namespace

bool is_safe_relative_name(std::wstring_view name) {
  if (name.empty()) return false;
  size_t start = 0;
  for (;;) {
    size_t end = start;
    while (end < name.size() && !is_separator(name[end])) ++end;
    if (!is_safe_segment(name.substr(start, end - start))) return false;
    if (end == name.size()) return true;
    start = end + 1;
  }
}

std::wstring to_backslashes(std::wstring_view name) {
  std::wstring out(name);
  for (wchar_t& c : out)
    if (c == L'/') c = L'\\';
  return out;
}

}  // namespace kro::files
