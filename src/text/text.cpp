// UTF-8 <-> wide conversion and the program's own printf-style formatter.
//
// Formatting: vformat never hands a string to the C library, so every text is
// converted by the functions of this file alone, whatever the locale. A
// conversion specification is
//   % [flags -+ #0'] [width: digits or *] [.precision: digits or *]
//     [length: hh h l ll j z t L] conversion
// with the conversions
//   s   a narrow (UTF-8) string          ls  a wide string
//   c   a narrow character (int)         lc  a wide character (wint_t)
//   d i o u x X f F e E g G a A p        one number: the C library's snprintf
//                                        formats that single conversion
//   %   a percent sign                   n   its argument is skipped, nothing stored
// In a narrow format every text comes out as UTF-8: "%s" copies its bytes,
// "%ls" and "%lc" are converted. In a wide format "%ls" copies, "%s" and "%c"
// are converted from UTF-8. Widths and precisions of strings count the units
// of the result, as C does: bytes of a narrow result, wide characters of a
// wide one; a precision never cuts a character in two (a UTF-8 sequence or a
// surrogate pair), and with a precision the string is read no further than
// needed. A null string prints "(null)". The flag "'" (locale-dependent digit
// grouping) is dropped. An unknown conversion, a length that does not fit its
// conversion, or a positional one such as "%1$s" ends the formatting: the
// rest of the format is copied as it stands, since the arguments behind it
// cannot be located.
#include "text/text.h"

#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cwchar>
#include <type_traits>

namespace kro::text {
namespace {

constexpr char32_t replacement = 0xFFFD;
constexpr bool utf16 = sizeof(wchar_t) == 2;
constexpr size_t unbounded = SIZE_MAX;

bool is_surrogate(char32_t cp) { return cp >= 0xD800 && cp <= 0xDFFF; }

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

size_t wide_units(char32_t cp) { return utf16 && cp >= 0x10000 ? 2 : 1; }

void append_wide(std::wstring& out, char32_t cp) {
  if (wide_units(cp) == 2) {
    cp -= 0x10000;
    out += static_cast<wchar_t>(0xD800 + (cp >> 10));
    out += static_cast<wchar_t>(0xDC00 + (cp & 0x3FF));
    return;
  }
  out += static_cast<wchar_t>(cp);
}

// One code point of a wide string: a surrogate pair on UTF-16 systems; a lone
// surrogate or a value beyond U+10FFFF becomes U+FFFD. Reads at most
// `available` units (at least 1); returns the units used.
size_t decode_wide(const wchar_t* p, size_t available, char32_t& cp) {
  cp = static_cast<char32_t>(p[0]);
  size_t used = 1;
  if (utf16 && cp >= 0xD800 && cp <= 0xDBFF && available > 1) {
    const char32_t low = static_cast<char32_t>(p[1]);
    if (low >= 0xDC00 && low <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
      used = 2;
    }
  }
  if (is_surrogate(cp) || cp > 0x10FFFF) cp = replacement;
  return used;
}

// One code point of UTF-8 text: a broken, overlong or out-of-range sequence
// becomes U+FFFD and uses its lead byte and the continuation bytes seen.
// Reads at most `available` bytes (at least 1) and stops at the first byte
// that does not continue the sequence, so a zero byte ends it too. Returns
// the bytes used.
size_t decode_utf8(const char* p, size_t available, char32_t& cp) {
  const unsigned char lead = static_cast<unsigned char>(p[0]);
  size_t extra = 0;
  char32_t min = 0;
  if (lead < 0x80) {
    cp = lead;
    return 1;
  }
  if ((lead & 0xE0) == 0xC0) {
    extra = 1, cp = lead & 0x1F, min = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    extra = 2, cp = lead & 0x0F, min = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    extra = 3, cp = lead & 0x07, min = 0x10000;
  } else {
    cp = replacement;
    return 1;
  }
  size_t used = 1;
  for (; used <= extra; ++used) {
    if (used >= available || (static_cast<unsigned char>(p[used]) & 0xC0) != 0x80) {
      cp = replacement;
      return used;
    }
    cp = (cp << 6) | (static_cast<unsigned char>(p[used]) & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || is_surrogate(cp)) cp = replacement;
  return used;
}

// --- The formatter's pieces ------------------------------------------------------

// Narrow result of a UTF-8 string: at most `precision` bytes (negative: all),
// cut before a sequence the limit would split.
std::string utf8_piece(const char* s, int precision) {
  if (precision < 0) return s;
  const size_t limit = static_cast<size_t>(precision);
  size_t n = 0;
  while (n < limit && s[n]) ++n;
  if (n == limit && n > 0) {
    size_t start = n;  // the start of the last sequence
    while (start > 0 && n - start < 4 && (static_cast<unsigned char>(s[start - 1]) & 0xC0) == 0x80) --start;
    if (start > 0) {
      const unsigned char lead = static_cast<unsigned char>(s[start - 1]);
      const size_t length = lead < 0xC0 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : lead < 0xF8 ? 4 : 1;
      if (length > n - (start - 1)) n = start - 1;
    }
  }
  return std::string(s, n);
}

// Narrow result of a wide string, converted to UTF-8: at most `precision`
// bytes (negative: all), whole characters only.
std::string utf8_of_wide(const wchar_t* s, int precision) {
  std::string out;
  std::string one;
  for (size_t i = 0; s[i];) {
    char32_t cp = 0;
    const size_t used = decode_wide(s + i, unbounded, cp);
    one.clear();
    append_utf8(one, cp);
    if (precision >= 0 && out.size() + one.size() > static_cast<size_t>(precision)) break;
    out += one;
    i += used;
  }
  return out;
}

// Wide result of a wide string: at most `precision` units (negative: all),
// never half a surrogate pair.
std::wstring wide_piece(const wchar_t* s, int precision) {
  if (precision < 0) return s;
  const size_t limit = static_cast<size_t>(precision);
  size_t n = 0;
  while (n < limit && s[n]) ++n;
  if (utf16 && n == limit && n > 0 && s[n - 1] >= 0xD800 && s[n - 1] <= 0xDBFF) --n;
  return std::wstring(s, n);
}

// Wide result of a UTF-8 string: at most `precision` units (negative: all),
// whole characters only.
std::wstring wide_of_utf8(const char* s, int precision) {
  std::wstring out;
  for (size_t i = 0; s[i];) {
    char32_t cp = 0;
    const size_t used = decode_utf8(s + i, unbounded, cp);
    if (precision >= 0 && out.size() + wide_units(cp) > static_cast<size_t>(precision)) break;
    append_wide(out, cp);
    i += used;
  }
  return out;
}

// wint_t is promoted to int when it is narrower (Windows).
using wint_argument = std::conditional_t<(sizeof(wint_t) < sizeof(int)), int, wint_t>;

// The C library's text of one numeric conversion; spec is built by the
// formatter from a conversion it has checked, with the matching argument.
int c_format(char* buffer, size_t size, const char* spec, ...) {
  va_list args;
  va_start(args, spec);
  const int n = std::vsnprintf(buffer, size, spec, args);
  va_end(args);
  return n;
}

template <class T>
std::string number_text(const std::string& spec, T value) {
  char small[64];
  const int n = c_format(small, sizeof small, spec.c_str(), value);
  if (n < 0) return {};
  if (static_cast<size_t>(n) < sizeof small) return std::string(small, static_cast<size_t>(n));
  std::string big(static_cast<size_t>(n) + 1, '\0');
  c_format(big.data(), big.size(), spec.c_str(), value);
  big.resize(static_cast<size_t>(n));
  return big;
}

enum class length_modifier { none, hh, h, l, ll, j, z, t, L };

template <class Char>
bool is_digit(Char c) {
  return c >= '0' && c <= '9';
}

// Reads a decimal number; false when it does not fit in an int.
template <class Char>
bool read_number(const Char*& p, int& value) {
  value = 0;
  while (is_digit(*p)) {
    const int digit = static_cast<int>(*p - '0');
    if (value > (INT_MAX - digit) / 10) return false;
    value = value * 10 + digit;
    ++p;
  }
  return true;
}

template <class Char>
void append_text(std::basic_string<Char>& out, const std::basic_string<Char>& piece, int width, bool left) {
  const size_t pad = width > 0 && piece.size() < static_cast<size_t>(width) ? width - piece.size() : 0;
  if (!left) out.append(pad, Char(' '));
  out += piece;
  if (left) out.append(pad, Char(' '));
}

void append_number(std::string& out, const std::string& text) { out += text; }
void append_number(std::wstring& out, const std::string& text) {
  for (const char c : text) out += static_cast<wchar_t>(static_cast<unsigned char>(c));
}

template <class Char>
std::basic_string<Char> format_all(const Char* format, va_list args) {
  constexpr bool narrow = sizeof(Char) == 1;
  std::basic_string<Char> out;
  va_list ap;
  va_copy(ap, args);
  const Char* p = format;
  while (*p) {
    if (*p != '%') {
      out += *p++;
      continue;
    }
    const Char* const start = p++;
    if (*p == '%') {
      out += *p++;
      continue;
    }
    std::string flags;
    bool left = false;
    for (;; ++p) {
      const Char c = *p;
      if (c == '-' || c == '+' || c == ' ' || c == '#' || c == '0') {
        flags += static_cast<char>(c);
        left = left || c == '-';
      } else if (c != '\'') {
        break;
      }
    }
    int width = -1;
    int precision = -1;
    bool valid = true;
    if (*p == '*') {
      ++p;
      const int w = va_arg(ap, int);
      if (w < 0) {
        left = true;
        flags += '-';
        width = w == INT_MIN ? INT_MAX : -w;
      } else {
        width = w;
      }
    } else if (is_digit(*p)) {
      valid = read_number(p, width);
    }
    if (valid && *p == '.') {
      ++p;
      if (*p == '*') {
        ++p;
        const int given = va_arg(ap, int);
        precision = given < 0 ? -1 : given;  // a negative precision is taken as absent
      } else {
        valid = read_number(p, precision);
      }
    }
    length_modifier length = length_modifier::none;
    const char* length_text = "";
    if (*p == 'h') {
      ++p;
      length = *p == 'h' ? (++p, length_modifier::hh) : length_modifier::h;
    } else if (*p == 'l') {
      ++p;
      length = *p == 'l' ? (++p, length_modifier::ll) : length_modifier::l;
    } else if (*p == 'j') {
      ++p, length = length_modifier::j;
    } else if (*p == 'z') {
      ++p, length = length_modifier::z;
    } else if (*p == 't') {
      ++p, length = length_modifier::t;
    } else if (*p == 'L') {
      ++p, length = length_modifier::L;
    }
    switch (length) {
      case length_modifier::none:
        length_text = "";
        break;
      case length_modifier::hh:
        length_text = "hh";
        break;
      case length_modifier::h:
        length_text = "h";
        break;
      case length_modifier::l:
        length_text = "l";
        break;
      case length_modifier::ll:
        length_text = "ll";
        break;
      case length_modifier::j:
        length_text = "j";
        break;
      case length_modifier::z:
        length_text = "z";
        break;
      case length_modifier::t:
        length_text = "t";
        break;
      case length_modifier::L:
        length_text = "L";
        break;
    }
    const Char conversion = valid ? *p : Char(0);
    const bool plain = length == length_modifier::none;
    const bool wide_argument = length == length_modifier::l;
    std::string spec = "%" + flags;
    if (width >= 0) spec += std::to_string(width);
    if (precision >= 0) spec += "." + std::to_string(precision);
    spec += length_text;
    if (conversion > 0 && conversion < 0x80) spec += static_cast<char>(conversion);

    bool done = true;
    switch (conversion) {
      case 's':
        if (!plain && !wide_argument) {
          done = false;
        } else if (wide_argument) {
          const wchar_t* s = va_arg(ap, const wchar_t*);
          if (!s) s = L"(null)";
          if constexpr (narrow) {
            append_text(out, utf8_of_wide(s, precision), width, left);
          } else {
            append_text(out, wide_piece(s, precision), width, left);
          }
        } else {
          const char* s = va_arg(ap, const char*);
          if (!s) s = "(null)";
          if constexpr (narrow) {
            append_text(out, utf8_piece(s, precision), width, left);
          } else {
            append_text(out, wide_of_utf8(s, precision), width, left);
          }
        }
        break;
      case 'c':
        if (!plain && !wide_argument) {
          done = false;
        } else if (wide_argument) {
          const wchar_t c = static_cast<wchar_t>(va_arg(ap, wint_argument));
          if constexpr (narrow) {
            std::string piece;
            char32_t cp = 0;
            decode_wide(&c, 1, cp);
            append_utf8(piece, cp);
            append_text(out, piece, width, left);
          } else {
            append_text(out, std::wstring(1, c), width, left);
          }
        } else {
          const unsigned char c = static_cast<unsigned char>(va_arg(ap, int));
          if constexpr (narrow) {
            append_text(out, std::string(1, static_cast<char>(c)), width, left);
          } else {
            // A single byte is a character of UTF-8 only below 0x80.
            append_text(out, std::wstring(1, c < 0x80 ? static_cast<wchar_t>(c) : wchar_t(replacement)),
                        width, left);
          }
        }
        break;
      case 'd':
      case 'i':
        switch (length) {
          case length_modifier::none:
          case length_modifier::hh:
          case length_modifier::h:
            append_number(out, number_text(spec, va_arg(ap, int)));
            break;
          case length_modifier::l:
            append_number(out, number_text(spec, va_arg(ap, long)));
            break;
          case length_modifier::ll:
            append_number(out, number_text(spec, va_arg(ap, long long)));
            break;
          case length_modifier::j:
            append_number(out, number_text(spec, va_arg(ap, intmax_t)));
            break;
          case length_modifier::z:
            append_number(out, number_text(spec, va_arg(ap, std::make_signed_t<size_t>)));
            break;
          case length_modifier::t:
            append_number(out, number_text(spec, va_arg(ap, ptrdiff_t)));
            break;
          case length_modifier::L:
            done = false;
            break;
        }
        break;
      case 'o':
      case 'u':
      case 'x':
      case 'X':
        switch (length) {
          case length_modifier::none:
          case length_modifier::hh:
          case length_modifier::h:
            append_number(out, number_text(spec, va_arg(ap, unsigned)));
            break;
          case length_modifier::l:
            append_number(out, number_text(spec, va_arg(ap, unsigned long)));
            break;
          case length_modifier::ll:
            append_number(out, number_text(spec, va_arg(ap, unsigned long long)));
            break;
          case length_modifier::j:
            append_number(out, number_text(spec, va_arg(ap, uintmax_t)));
            break;
          case length_modifier::z:
            append_number(out, number_text(spec, va_arg(ap, size_t)));
            break;
          case length_modifier::t:
            append_number(out, number_text(spec, va_arg(ap, std::make_unsigned_t<ptrdiff_t>)));
            break;
          case length_modifier::L:
            done = false;
            break;
        }
        break;
      case 'f':
      case 'F':
      case 'e':
      case 'E':
      case 'g':
      case 'G':
      case 'a':
      case 'A':
        if (plain || length == length_modifier::l) {
          append_number(out, number_text(spec, va_arg(ap, double)));
        } else if (length == length_modifier::L) {
          append_number(out, number_text(spec, va_arg(ap, long double)));
        } else {
          done = false;
        }
        break;
      case 'p':
        if (plain) {
          append_number(out, number_text(spec, va_arg(ap, void*)));
        } else {
          done = false;
        }
        break;
      case 'n':
        static_cast<void>(va_arg(ap, void*));  // nothing is stored through it
        break;
      default:
        done = false;
        break;
    }
    if (!done) {
      out.append(start);
      break;
    }
    ++p;
  }
  va_end(ap);
  return out;
}

}  // namespace

std::string to_utf8(std::wstring_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    char32_t cp = 0;
    i += decode_wide(text.data() + i, text.size() - i, cp);
    append_utf8(out, cp);
  }
  return out;
}

std::wstring from_utf8(std::string_view text) {
  std::wstring out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    char32_t cp = 0;
    i += decode_utf8(text.data() + i, text.size() - i, cp);
    append_wide(out, cp);
  }
  return out;
}

std::string vformat(const char* format, va_list args) {
  return format ? format_all(format, args) : std::string();
}

std::wstring vformat(const wchar_t* format, va_list args) {
  return format ? format_all(format, args) : std::wstring();
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
