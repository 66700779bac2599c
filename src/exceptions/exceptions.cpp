#include "exceptions/exceptions.h"

#include <cstdarg>

#include "text/text.h"

namespace kro::exceptions::detail {

std::string message(const char* format, ...) {
  if (!format) return {};
  va_list args;
  va_start(args, format);
  std::string out = text::vformat(format, args);
  va_end(args);
  return out;
}

std::string message(const wchar_t* format, ...) {
  if (!format) return {};
  va_list args;
  va_start(args, format);
  std::string out = text::to_utf8(text::vformat(format, args));
  va_end(args);
  return out;
}

base::base(int32_t code) : m_code(code), m_address(__builtin_return_address(0)) {}

base::base(int32_t code, text_t text)
    : m_code(code), m_message(std::move(text.value)), m_address(__builtin_return_address(0)) {}

}  // namespace kro::exceptions::detail

namespace kro::sfx::exceptions {

unsupported_os::unsupported_os() : error(codes::exit_unsupported_os) {}

sfx_invalid_signature::sfx_invalid_signature()
    : error(codes::exit_invalid_signature, "SFX is not DSA signed!") {}

invalid_payload::invalid_payload(const std::string& text)
    : error(codes::invalid_payload, "%s", text.c_str()) {}

unsupported_file_format::unsupported_file_format(const std::string& text)
    : error(codes::unsupported_format, "%s", text.c_str()) {}

}  // namespace kro::sfx::exceptions
