#pragma once
// The program's exception tree. Every failure the program raises itself is a
// kro::exceptions::detail::base: a std::exception with a 32-bit error code
// (-1 when none is given), a UTF-8 message returned by what(), and the code
// address of the raise.
//
//   std::exception
//     detail::base
//       error                              general failure, code set by the thrower
//         sfx::exceptions::unsupported_os               45056
//         sfx::exceptions::missign_sfx_file             thrower's code
//         sfx::exceptions::download_file_fail           the failing download's code
//           sfx::exceptions::download_file_invalid_signature
//         sfx::exceptions::sfx_invalid_signature        44024 "SFX is not DSA signed!"
//         sfx::exceptions::invalid_payload              487
//         sfx::exceptions::unsupported_file_format      193
//       fatal                              unrecoverable failure
#include <cstdint>
#include <exception>
#include <string>

#include "sfx/error_codes.h"

namespace kro::exceptions {
namespace detail {

// Formats a message; wide formats are converted to UTF-8.
std::string message(const char* format, ...);
std::string message(const wchar_t* format, ...);

class base : public std::exception {
 public:
  explicit base(int32_t code = -1);
  // The message is formatted from a printf-style format (C99 conversions:
  // "%s" narrow, "%ls" wide, in either width) and kept as UTF-8.
  template <class... Args>
  base(int32_t code, const char* format, Args... args) : base(code, text_t{message(format, args...)}) {}
  template <class... Args>
  base(int32_t code, const wchar_t* format, Args... args) : base(code, text_t{message(format, args...)}) {}

  const char* what() const noexcept override { return m_message.c_str(); }
  int32_t code() const noexcept { return m_code; }
  const void* address() const noexcept { return m_address; }

 private:
  struct text_t {
    std::string value;
  };
  base(int32_t code, text_t text);

  int32_t m_code;
  std::string m_message;
  const void* m_address;
};

}  // namespace detail

// Defines a class of the tree with the constructors of its base.
#define KRO_DECLARE_EXCEPTION(name, parent) \
  class name : public parent {              \
    using inherited = parent;               \
                                            \
   public:                                  \
    using inherited::inherited;             \
  }

KRO_DECLARE_EXCEPTION(error, detail::base);
KRO_DECLARE_EXCEPTION(fatal, detail::base);

}  // namespace kro::exceptions

namespace kro::sfx::exceptions {

class unsupported_os : public kro::exceptions::error {
 public:
  unsupported_os();
};

KRO_DECLARE_EXCEPTION(missign_sfx_file, kro::exceptions::error);
KRO_DECLARE_EXCEPTION(download_file_fail, kro::exceptions::error);
KRO_DECLARE_EXCEPTION(download_file_invalid_signature, download_file_fail);

class sfx_invalid_signature : public kro::exceptions::error {
 public:
  sfx_invalid_signature();
};

class invalid_payload : public kro::exceptions::error {
 public:
  explicit invalid_payload(const std::string& text);
};

class unsupported_file_format : public kro::exceptions::error {
 public:
  explicit unsupported_file_format(const std::string& text);
};

}  // namespace kro::sfx::exceptions
