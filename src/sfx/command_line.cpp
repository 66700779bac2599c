#include "sfx/command_line.h"

#include <algorithm>
#include <stdexcept>

#include "text/text.h"

namespace kro::sfx {
namespace {

bool is_space(wchar_t c) { return c == L' ' || c == L'\t' || c == L'\r' || c == L'\n'; }

// Keys are compared with the caller's key on the right.
std::wstring_view checked_key(const wchar_t* key) {
  if (key == nullptr) throw std::invalid_argument("nocase::compare right nullparam");
  return key;
}

}  // namespace

std::vector<std::wstring> command_line::tokenize(std::wstring_view text) {
  std::vector<std::wstring> tokens;
  bool in_quotes = false;
  bool new_token = true;
  size_t i = 0;
  while (i < text.size()) {
    wchar_t c = text[i];
    if (!in_quotes && is_space(c)) {
      while (i < text.size() && is_space(text[i])) ++i;
      new_token = true;
      continue;
    }
    if (c == L'"') {
      if (i + 1 < text.size() && text[i + 1] == L'"') {
        i += 2;  // a doubled quote is one literal quote
      } else {
        in_quotes = !in_quotes;
        ++i;
        continue;
      }
    } else {
      ++i;
    }
    if (new_token) {
      tokens.emplace_back();
      new_token = false;
    }
    tokens.back() += c;
  }
  return tokens;
}

void command_line::parse(const wchar_t* text, bool starts_with_program) {
  parse(text ? std::wstring_view(text) : std::wstring_view(), starts_with_program);
}

void command_line::parse(std::wstring_view text, bool starts_with_program) {
  m_program.reset();
  m_switches.clear();
  m_arguments.clear();

  std::vector<std::wstring> tokens = tokenize(text);
  auto it = tokens.begin();
  if (starts_with_program && it != tokens.end()) m_program = std::move(*it++);

  for (; it != tokens.end(); ++it) {
    const std::wstring& token = *it;
    size_t prefix = 0;
    if (!token.empty() && token[0] == L'/')
      prefix = 1;
    else if (token.size() >= 2 && token[0] == L'-' && token[1] == L'-')
      prefix = 2;
    if (prefix == 0) {
      m_arguments.push_back(std::move(*it));
      continue;
    }
    const size_t separator = std::min(token.find(L'=', prefix), token.find(L':', prefix));
    const std::wstring_view body = std::wstring_view(token).substr(prefix);
    if (separator == std::wstring::npos)
      add(body, std::wstring_view());
    else
      add(body.substr(0, separator - prefix), body.substr(separator - prefix + 1));
  }
}

command_line::switch_list::iterator command_line::find(std::wstring_view key) {
  return std::find_if(m_switches.begin(), m_switches.end(),
                      [key](const auto& entry) { return text::equals_nocase(entry.first, key); });
}

command_line::switch_list::const_iterator command_line::find(std::wstring_view key) const {
  return std::find_if(m_switches.begin(), m_switches.end(),
                      [key](const auto& entry) { return text::equals_nocase(entry.first, key); });
}

bool command_line::has(std::wstring_view key) const { return find(key) != m_switches.end(); }

bool command_line::has(const wchar_t* key) const { return has(checked_key(key)); }

std::wstring& command_line::get(std::wstring_view key) {
  auto it = find(key);
  if (it != m_switches.end()) return it->second;
  m_switches.emplace_back(std::wstring(key), std::wstring());
  return m_switches.back().second;
}

std::wstring& command_line::get(const wchar_t* key) { return get(checked_key(key)); }

void command_line::add(std::wstring_view key, std::wstring_view value) {
  auto it = find(key);
  if (it != m_switches.end())
    it->second.assign(value);
  else
    m_switches.emplace_back(std::wstring(key), std::wstring(value));
}

void command_line::add(const wchar_t* key, const wchar_t* value) {
  add(checked_key(key), value ? std::wstring_view(value) : std::wstring_view());
}

std::wstring command_line::quote(std::wstring_view token) {
  std::wstring out;
  out.reserve(token.size() + 2);
  bool has_space = false;
  for (wchar_t c : token) {
    if (c == L'"') out += L'"';
    if (is_space(c)) has_space = true;
    out += c;
  }
  if (has_space) {
    out.insert(out.begin(), L'"');
    out += L'"';
  }
  return out;
}

std::wstring command_line::to_string(bool include_program) const {
  std::wstring out;
  if (include_program && m_program) out = quote(*m_program);
  for (const auto& [key, value] : m_switches) {
    if (!out.empty()) out += L' ';
    std::wstring token = L"/" + key;
    if (!value.empty()) {
      token += L':';
      token += value;
    }
    out += quote(token);
  }
  for (const auto& argument : m_arguments) {
    if (!out.empty()) out += L' ';
    out += quote(argument);
  }
  return out;
}

}  // namespace kro::sfx
