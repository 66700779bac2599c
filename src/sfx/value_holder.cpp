#include "sfx/value_holder.h"

#include <cstdint>
#include <limits>
#include <stdexcept>

namespace kro::sfx {
namespace {

const wchar_t* checked(const wchar_t* text, const char* what) {
  if (text == nullptr) throw std::invalid_argument(what);
  return text;
}

// White space as the C locale's iswspace knows it.
bool is_space(wchar_t c) { return c == L' ' || (c >= L'\t' && c <= L'\r'); }

}  // namespace

int32_t parse_int32(const std::wstring& text) {
  size_t i = 0;
  while (i < text.size() && is_space(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == L'+' || text[i] == L'-')) negative = text[i++] == L'-';
  const size_t first_digit = i;
  // Counted in 64 bits and capped just past the 32-bit range, so any run of
  // digits is read without overflow.
  constexpr int64_t cap = int64_t{std::numeric_limits<int32_t>::max()} + 2;
  int64_t magnitude = 0;
  for (; i < text.size() && text[i] >= L'0' && text[i] <= L'9'; ++i) {
    magnitude = magnitude * 10 + (text[i] - L'0');
    if (magnitude > cap) magnitude = cap;
  }
  if (i == first_digit) throw std::invalid_argument("invalid stoi argument");
  const int64_t value = negative ? -magnitude : magnitude;
  if (value < std::numeric_limits<int32_t>::min() || value > std::numeric_limits<int32_t>::max())
    throw std::out_of_range("stoi argument out of range");
  return static_cast<int32_t>(value);
}

std::shared_ptr<value_holder_intf> value_holder::factory::create() {
  return std::make_shared<value_holder>();
}

void value_holder::insert(const wchar_t* key, std::wstring value) {
  checked(key, "value_holder key nullparam");
  std::lock_guard lock(m_mutex);
  m_values.try_emplace(key, std::move(value));
}

void value_holder::set_string(const wchar_t* key, const std::wstring& value) { insert(key, value); }

void value_holder::set_string(const wchar_t* key, const wchar_t* value) {
  insert(key, checked(value, "value_holder value nullparam"));
}

void value_holder::set_bool(const wchar_t* key, bool value) { insert(key, value ? L"1" : L"0"); }

void value_holder::set_int(const wchar_t* key, int32_t value) { insert(key, std::to_wstring(value)); }

std::wstring value_holder::get_string(const wchar_t* key, const wchar_t* default_value) const {
  checked(key, "value_holder key nullparam");
  std::lock_guard lock(m_mutex);
  const auto it = m_values.find(key);
  if (it != m_values.end()) return it->second;
  return default_value ? default_value : L"";
}

bool value_holder::get_bool(const wchar_t* key, bool default_value) const {
  checked(key, "value_holder key nullparam");
  std::lock_guard lock(m_mutex);
  const auto it = m_values.find(key);
  return it == m_values.end() ? default_value : it->second == L"1";
}

int32_t value_holder::get_int(const wchar_t* key, int32_t default_value) const {
  checked(key, "value_holder key nullparam");
  std::lock_guard lock(m_mutex);
  const auto it = m_values.find(key);
  return it == m_values.end() ? default_value : parse_int32(it->second);
}

}  // namespace kro::sfx
