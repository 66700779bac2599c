#pragma once
// JSON text for the setup master's report: strings written as UTF-8 with the
// escapes JSON requires, and a writer for objects and arrays that places the
// commas. Values are written in the order the caller adds them.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace morrow::json {

// A JSON string literal: quotes, backslashes and control characters escaped,
// everything else as UTF-8 (an unpaired surrogate becomes U+FFFD).
std::string quote(std::wstring_view text);

class writer {
 public:
  writer& begin_object();
  writer& end_object();
  writer& begin_array();
  writer& end_array();
  // The key of the next value inside an object.
  writer& key(std::string_view name);
  writer& string(std::wstring_view text);
  writer& string_or_null(const std::optional<std::wstring>& text);  // null without a value
  writer& number(int64_t value);
  writer& boolean(bool value);
  writer& null();

  const std::string& text() const { return m_text; }

 private:
  void separate();
  std::string m_text;
  bool m_first = true;  // no value yet at the current level
  bool m_after_key = false;
};

}  // namespace morrow::json
