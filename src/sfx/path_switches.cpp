#include "sfx/path_switches.h"

#include <algorithm>

#include "files/directory.h"
#include "sfx/command_line.h"
#include "text/text.h"

namespace kro::sfx {
namespace {

bool is_space(wchar_t c) { return c == L' ' || c == L'\t' || c == L'\r' || c == L'\n'; }

bool is_path_switch(std::wstring_view key) {
  return std::any_of(std::begin(path_switch_keys), std::end(path_switch_keys),
                     [&](const wchar_t* k) { return text::equals_nocase(key, k); });
}

// The switch token with a resolved value, or nothing to change.
std::wstring rewritten(const std::wstring& token, const path_resolver& resolve,
                       std::vector<resolved_path_switch>* resolved) {
  size_t prefix = 0;
  if (!token.empty() && token[0] == L'/')
    prefix = 1;
  else if (token.size() >= 2 && token[0] == L'-' && token[1] == L'-')
    prefix = 2;
  if (prefix == 0) return std::wstring();
  const size_t separator = std::min(token.find(L'=', prefix), token.find(L':', prefix));
  if (separator == std::wstring::npos) return std::wstring();
  const std::wstring key = token.substr(prefix, separator - prefix);
  const std::wstring value = token.substr(separator + 1);
  if (!is_path_switch(key) || value.empty() || files::is_fully_qualified(value)) return std::wstring();
  const std::wstring full = resolve(value);
  if (full.empty() || full == value) return std::wstring();
  if (resolved) resolved->push_back({key, value, full});
  return command_line::quote(token.substr(0, separator + 1) + full);
}

}  // namespace

std::wstring absolute_path_switches(std::wstring_view text, const path_resolver& resolve,
                                    std::vector<resolved_path_switch>* resolved) {
  std::wstring out;
  size_t copied = 0;  // text before this index is in out already
  size_t i = 0;
  while (i < text.size()) {
    if (is_space(text[i])) {
      ++i;
      continue;
    }
    // One run of characters up to white space outside quotes: at most one
    // token, read exactly as command_line reads it.
    const size_t start = i;
    bool in_quotes = false;
    while (i < text.size() && (in_quotes || !is_space(text[i]))) {
      if (text[i] == L'"') {
        if (i + 1 < text.size() && text[i + 1] == L'"') {
          i += 2;
          continue;
        }
        in_quotes = !in_quotes;
      }
      ++i;
    }
    const std::vector<std::wstring> tokens = command_line::tokenize(text.substr(start, i - start));
    if (tokens.size() != 1) continue;
    const std::wstring replacement = rewritten(tokens[0], resolve, resolved);
    if (replacement.empty()) continue;
    out.append(text.substr(copied, start - copied));
    out += replacement;
    copied = i;
  }
  if (copied == 0) return std::wstring(text);
  out.append(text.substr(copied));
  return out;
}

}  // namespace kro::sfx
