#pragma once
// What the sample setup master and module DLL read from their environment
// and command line: variable values and plain decimal numbers.
#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>

namespace kro::samples {

// The variable's value; nothing when it is not set.
inline std::optional<std::wstring> environment(const wchar_t* name) {
  std::wstring value(64, L'\0');
  for (;;) {
    SetLastError(ERROR_SUCCESS);
    const DWORD n = GetEnvironmentVariableW(name, value.data(), static_cast<DWORD>(value.size()));
    if (n == 0) {
      if (GetLastError() == ERROR_ENVVAR_NOT_FOUND) return std::nullopt;
      return std::wstring();
    }
    if (n < value.size()) {
      value.resize(n);
      return value;
    }
    value.resize(n);  // n counts the terminator when the buffer was too small
  }
}

// A decimal number of 0..4294967295, all of the text; nothing otherwise.
inline std::optional<uint32_t> decimal(const std::wstring& text) {
  if (text.empty() || text.size() > 10) return std::nullopt;
  uint64_t value = 0;
  for (const wchar_t c : text) {
    if (c < L'0' || c > L'9') return std::nullopt;
    value = value * 10 + static_cast<uint64_t>(c - L'0');
  }
  if (value > UINT32_MAX) return std::nullopt;
  return static_cast<uint32_t>(value);
}

}  // namespace kro::samples
