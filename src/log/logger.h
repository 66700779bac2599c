#pragma once
// The process-wide logger. Records carry a level (0..8), a short tag and a
// printf-style message; they go to the debugger output and to the log file.
//
// Line format (one record; continuation lines of a multi-line message are
// indented under the first character of the message):
//   [YYYY-MM-DD hh:mm:ss.mmm] [level  ] [tag        ] [  pid:  tid] message
// The file is UTF-8 with a byte-order mark, lines end in CR LF.
#include <cstdarg>
#include <cstdint>
#include <exception>
#include <string>

namespace kro::log {

enum level : uint32_t {
  debug = 0,
  block = 1,
  info = 2,
  fnction = 3,
  notice = 4,
  warning = 5,
  thread = 6,
  error = 7,
  fatal = 8,
};
inline constexpr uint32_t nothing = 9;  // as a threshold: no record reaches it

// Tag of every record the self-extractor writes.
inline constexpr const char* sfx_tag = "msfx";

class ILogger {
 public:
  virtual ~ILogger() = default;
  virtual void log(uint32_t level, const char* tag, const wchar_t* format, va_list args) = 0;
  virtual void log(uint32_t level, const char* tag, const char* format, va_list args) = 0;
  virtual void log_exception(uint32_t level, const char* tag, const std::exception& e, const char* format,
                             va_list args) = 0;
  virtual std::string describe_exception(const std::exception& e) const = 0;
  // Level arguments above their maximum raise kro::exceptions::error code 87.
  virtual void set_debugger_level(uint32_t level) = 0;  // 0..9
  virtual void set_file_level(uint32_t level) = 0;      // 0..8
  virtual void set_flush_level(uint32_t level) = 0;     // 0..9
  // Opens (or creates) the log file; failures go to the debugger output and
  // leave the logger without a file.
  virtual void set_log_file(const std::wstring& path, int64_t size_limit, uint32_t file_level) = 0;
};

// The logger of the process, created on first use.
ILogger& logger();

// Shorthands with the tag "msfx".
void write(uint32_t level, const char* format, ...) __attribute__((format(printf, 2, 3)));
void write(uint32_t level, const wchar_t* format, ...);
void write_exception(uint32_t level, const std::exception& e, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

}  // namespace kro::log
