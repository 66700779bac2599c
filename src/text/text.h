#pragma once
// Text helpers shared by every component: UTF-8 <-> wide conversion and
// printf-style formatting into strings.
//
// Wide strings are UTF-16 on Windows and UTF-32 elsewhere; the conversions
// handle both. Invalid input never throws: an unpaired surrogate or a broken
// UTF-8 sequence becomes U+FFFD.
//
// Formats follow C99: "%s" takes a narrow (UTF-8) string and "%ls" a wide
// one, in narrow and wide formats alike. The formatter is the program's own
// (text.cpp describes it): every string is converted by to_utf8/from_utf8,
// never by the C runtime, so the result does not depend on the locale; only
// numbers are formatted by the C library, one conversion at a time.
#include <cstdarg>
#include <string>
#include <string_view>

namespace kro::text {

std::string to_utf8(std::wstring_view text);
std::wstring from_utf8(std::string_view text);

std::string vformat(const char* format, va_list args);
std::wstring vformat(const wchar_t* format, va_list args);
std::string format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::wstring format(const wchar_t* format, ...);

// Lower-cases one character: ASCII and the Latin-1, Greek and Cyrillic
// letters that have a simple one-to-one lower-case form.
wchar_t to_lower(wchar_t c);
std::wstring to_lower(std::wstring_view text);

// Case-insensitive equality: same length and equal after to_lower.
bool equals_nocase(std::wstring_view a, std::wstring_view b);
// Case-insensitive substring search; npos when absent.
size_t find_nocase(std::wstring_view haystack, std::wstring_view needle, size_t from = 0);

}  // namespace kro::text
