#include "json.h"

#include <cstdio>

#include "text/text.h"

namespace morrow::json {

std::string quote(std::wstring_view text) {
  const std::string utf8 = kro::text::to_utf8(text);
  std::string out;
  out.reserve(utf8.size() + 2);
  out += '"';
  for (const char c : utf8) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\f':
        out += "\\f";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          char escape[8];
          std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(c));
          out += escape;
        } else {
          out += c;
        }
    }
  }
  out += '"';
  return out;
}

void writer::separate() {
  if (m_after_key) {
    m_after_key = false;
    return;
  }
  if (!m_first) m_text += ',';
  m_first = false;
}

writer& writer::begin_object() {
  separate();
  m_text += '{';
  m_first = true;
  return *this;
}

writer& writer::end_object() {
  m_text += '}';
  m_first = false;
  return *this;
}

writer& writer::begin_array() {
  separate();
  m_text += '[';
  m_first = true;
  return *this;
}

writer& writer::end_array() {
  m_text += ']';
  m_first = false;
  return *this;
}

writer& writer::key(std::string_view name) {
  separate();
  m_text += quote(kro::text::from_utf8(name));
  m_text += ':';
  m_after_key = true;
  return *this;
}

writer& writer::string(std::wstring_view text) {
  separate();
  m_text += quote(text);
  return *this;
}

writer& writer::string_or_null(const std::optional<std::wstring>& text) {
  if (!text) return null();
  return string(std::wstring_view(*text));
}

writer& writer::number(int64_t value) {
  separate();
  m_text += std::to_string(value);
  return *this;
}

writer& writer::boolean(bool value) {
  separate();
  m_text += value ? "true" : "false";
  return *this;
}

writer& writer::null() {
  separate();
  m_text += "null";
  return *this;
}

}  // namespace morrow::json
