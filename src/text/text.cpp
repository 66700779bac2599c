#include "text/text.h"

#include <cwchar>
#include <cwctype>
#include <vector>

namespace kro::text {
namespace {

void append_utf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

void append_wide(std::wstring& out, char32_t cp) {
  if constexpr (sizeof(wchar_t) == 2) {
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out += static_cast<wchar_t>(0xD800 + (cp >> 10));
      out += static_cast<wchar_t>(0xDC00 + (cp & 0x3FF));
      return;
    }
  }
  out += static_cast<wchar_t>(cp);
}

constexpr char32_t replacement = 0xFFFD;

}  // namespace

std::string to_utf8(std::wstring_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    char32_t cp = static_cast<char32_t>(text[i]);
    if constexpr (sizeof(wchar_t) == 2) {
      if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < text.size()) {
        const char32_t low = static_cast<char32_t>(text[i + 1]);
        if (low >= 0xDC00 && low <= 0xDFFF) {
          cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
          ++i;
        }
      }
    }
    if ((cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) cp = replacement;
    append_utf8(out, cp);
  }
  return out;
}

std::wstring from_utf8(std::string_view text) {
  std::wstring out;
  out.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    const unsigned char lead = static_cast<unsigned char>(text[i]);
    size_t extra = 0;
    char32_t cp = 0;
    char32_t min = 0;
    if (lead < 0x80) {
      cp = lead;
    } else if ((lead & 0xE0) == 0xC0) {
      extra = 1, cp = lead & 0x1F, min = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
      extra = 2, cp = lead & 0x0F, min = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
      extra = 3, cp = lead & 0x07, min = 0x10000;
    } else {
      append_wide(out, replacement);
      ++i;
      continue;
    }
    size_t used = 1;
    bool ok = true;
    for (; used <= extra; ++used) {
      if (i + used >= text.size() || (static_cast<unsigned char>(text[i + used]) & 0xC0) != 0x80) {
        ok = false;
        break;
      }
      cp = (cp << 6) | (static_cast<unsigned char>(text[i + used]) & 0x3F);
    }
    if (!ok || cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
      append_wide(out, replacement);
      i += ok ? used : used;  // skip the lead and the continuation bytes seen
      continue;
    }
    append_wide(out, cp);
    i += used;
  }
  return out;
}

std::string vformat(const char* format, va_list args) {
  va_list copy;
  va_copy(copy, args);
  const int n = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  if (n <= 0) return {};
  std::string out(static_cast<size_t>(n) + 1, '\0');
  std::vsnprintf(out.data(), out.size(), format, args);
  out.resize(static_cast<size_t>(n));
  return out;
}

std::wstring vformat(const wchar_t* format, va_list args) {
  // vswprintf cannot measure; grow until the text fits.
  std::vector<wchar_t> buffer(256);
  for (;;) {
    va_list copy;
    va_copy(copy, args);
    const int n = std::vswprintf(buffer.data(), buffer.size(), format, copy);
    va_end(copy);
    if (n >= 0 && static_cast<size_t>(n) < buffer.size())
      return std::wstring(buffer.data(), static_cast<size_t>(n));
    if (buffer.size() >= (size_t{1} << 26)) return {};
    buffer.resize(buffer.size() * 4);
  }
}

std::string format(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string out = vformat(format, args);
  va_end(args);
  return out;
}

std::wstring format(const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  std::wstring out = vformat(format, args);
  va_end(args);
  return out;
}

wchar_t to_lower(wchar_t c) {
  if (c >= L'A' && c <= L'Z') return static_cast<wchar_t>(c + 32);
  if (c < 0x80) return c;
  // Latin-1 capitals (except the multiplication sign), Greek and Cyrillic.
  if ((c >= 0xC0 && c <= 0xDE && c != 0xD7) || (c >= 0x391 && c <= 0x3AB && c != 0x3A2) ||
      (c >= 0x410 && c <= 0x42F))
    return static_cast<wchar_t>(c + 32);
  if (c >= 0x400 && c <= 0x40F) return static_cast<wchar_t>(c + 80);
  if (c >= 0x100 && c <= 0x17F && c != 0x130 && c != 0x131 && c != 0x138 && c != 0x149 && c != 0x178) {
    // Latin Extended-A alternates capital/small in pairs, in two runs.
    const bool odd_capital = (c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E);
    if (odd_capital ? (c % 2 == 1) : (c % 2 == 0)) return static_cast<wchar_t>(c + 1);
  }
  return c;
}

std::wstring to_lower(std::wstring_view text) {
  std::wstring out(text);
  for (auto& c : out) c = to_lower(c);
  return out;
}

bool equals_nocase(std::wstring_view a, std::wstring_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (to_lower(a[i]) != to_lower(b[i])) return false;
  return true;
}

size_t find_nocase(std::wstring_view haystack, std::wstring_view needle, size_t from) {
  if (needle.size() > haystack.size()) return std::wstring_view::npos;
  for (size_t i = from; i + needle.size() <= haystack.size(); ++i) {
    size_t k = 0;
    while (k < needle.size() && to_lower(haystack[i + k]) == to_lower(needle[k])) ++k;
    if (k == needle.size()) return i;
  }
  return std::wstring_view::npos;
}

}  // namespace kro::text
