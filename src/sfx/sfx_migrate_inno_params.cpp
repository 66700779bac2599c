#include "sfx/sfx_migrate_inno_params.h"

#include "text/text.h"

namespace kro::sfx {
namespace {

constexpr size_t npos = std::wstring::npos;

bool is_space(wchar_t c) { return c == L' ' || c == L'\t' || c == L'\r' || c == L'\n'; }

bool contains(const std::wstring& text, std::wstring_view what) {
  return text::find_nocase(text, what) != npos;
}

void migrate_very_silent(std::wstring& text) {
  constexpr std::wstring_view very_silent = L"/verysilent";
  const size_t at = text::find_nocase(text, very_silent);
  if (at == npos || contains(text, L"/silent")) return;
  text.replace(at, very_silent.size(), L"/silent");
}

// /LANG=L1031 (or /LANG="L1031") becomes " /lang-id:1031".
void migrate_language(std::wstring& text) {
  constexpr std::wstring_view lang = L"/LANG=";
  size_t start = text::find_nocase(text, lang);
  if (start == npos || contains(text, L"/lang-id")) return;
  const size_t value_start = start + lang.size();
  size_t end = value_start;
  while (end < text.size() && !is_space(text[end])) ++end;
  std::wstring_view value = std::wstring_view(text).substr(value_start, end - value_start);
  if (value.empty()) return;
  const bool opening_quote = value.front() == L'"';
  if (opening_quote) value.remove_prefix(1);
  const bool closing_quote = !value.empty() && value.back() == L'"';
  if (closing_quote) value.remove_suffix(1);
  if (value.empty() || (value.front() != L'L' && value.front() != L'l')) return;
  value.remove_prefix(1);
  // A token quoted as a whole ("/LANG=L1031") loses its opening quote with
  // its closing one; otherwise the lone quote left behind would swallow the
  // rest of the command line into one argument.
  if (closing_quote && !opening_quote && start > 0 && text[start - 1] == L'"') --start;
  std::wstring replacement = L" /lang-id:";
  replacement += value;
  text.replace(start, end - start, replacement);
}

void migrate_folder(std::wstring& text) {
  constexpr std::wstring_view dir = L"/DIR=";
  const size_t at = text::find_nocase(text, dir);
  if (at == npos || contains(text, L"/install-path")) return;
  text.replace(at, dir.size(), L"/install-path:");
}

}  // namespace

std::unique_ptr<sfx_migrate_inno_params_intf> sfx_migrate_inno_params::factory::create() {
  return std::make_unique<sfx_migrate_inno_params>();
}

std::wstring sfx_migrate_inno_params::convert(const wchar_t* command_line) {
  std::wstring text = command_line ? command_line : L"";
  migrate_very_silent(text);
  migrate_language(text);
  migrate_folder(text);
  return text;
}

}  // namespace kro::sfx
