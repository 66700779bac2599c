#pragma once
// The process-wide logger. Records carry a level (0..8), a short tag and a
// printf-style message; they go to the debugger output and to the log file.
//
// Line format (one record; continuation lines of a multi-line message are
// indented under the first character of the message):
//   [YYYY-MM-DD hh:mm:ss.mmm] [level  ] [tag        ] [  pid:  tid] message
// The file is UTF-8 with a byte-order mark, lines end in CR LF.
#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <memory>
#include <mutex>
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

// --- The implementation: records, lines and the Logger itself. ---------------

// The name of a level as written into the line; "" outside 0..8.
const char* level_name(uint32_t level);

// One accepted log call.
struct record {
  uint32_t level = 0;
  char tag[12] = {};    // at most 11 bytes of the tag, zero-filled
  std::string message;  // UTF-8
  uint64_t time = 0;    // FILETIME: 100 ns units since 1601-01-01, UTC
  uint32_t process_id = 0;
  uint32_t thread_id = 0;
};

// A record stamped with the current time, process and thread.
record make_record(uint32_t level, const char* tag, std::string message);

// The line of a record, ending in a line feed:
//   "[%04hu-%02hu-%02hu %02hu:%02hu:%02hu.%03hu] [%-7s] [%-11s] [%5lu:%5lu] " message
// Every line feed inside the message is followed by as many spaces as the
// header has characters.
std::string format_line(const record& r);

// The text form of an exception: "Exception: " what(), then "Code: 0x%08x (%d)"
// for the program's own exceptions with a code other than -1, then the
// description of a nested exception; the parts are joined by line feeds.
std::string describe(const std::exception& e);

namespace detail {

// An open log file (platform shell). Writes append; the handle is shared for
// reading, writing and deletion.
class log_file {
 public:
  virtual ~log_file() = default;
  // Throws kro::exceptions::error "Unable to get file size!".
  virtual int64_t size() const = 0;
  // Writes all bytes (line ends already CR LF); throws on failure.
  virtual void write(const std::string& bytes) = 0;
  virtual void flush() = 0;
  // Moves the file to its name + ".old" (through ".to_rotate.<guid>") when its
  // name ends in ".log"; answers whether the file left its name. Throws
  // kro::exceptions::error when the first move fails.
  virtual bool rotate() = 0;
};

// Opens the log file at path: an existing file that starts with the UTF-8
// byte-order mark is appended to, one without it is rotated away, a missing
// one is created (through path + ".tmp.<guid>") holding only the mark.
// Throws kro::exceptions::error.
std::shared_ptr<log_file> open_log_file(const std::wstring& path);

uint64_t system_time();  // FILETIME, UTC
uint32_t current_process_id();
uint32_t current_thread_id();
void debugger_output(const char* text);

}  // namespace detail

// The logger: settings are atomic, the file is exchanged and rotated under one
// lock and written through a shared reference outside it. Separate instances
// are independent (the process's own one is logger()).
class Logger : public ILogger {
 public:
  Logger() = default;
  Logger(const Logger&) = delete;
  Logger& operator=(const Logger&) = delete;

  void log(uint32_t level, const char* tag, const wchar_t* format, va_list args) override;
  void log(uint32_t level, const char* tag, const char* format, va_list args) override;
  void log_exception(uint32_t level, const char* tag, const std::exception& e, const char* format,
                     va_list args) override;
  std::string describe_exception(const std::exception& e) const override;
  void set_debugger_level(uint32_t level) override;
  void set_file_level(uint32_t level) override;
  void set_flush_level(uint32_t level) override;
  void set_log_file(const std::wstring& path, int64_t size_limit, uint32_t file_level) override;

  // A C stream that receives every line at or above level (0..8); null for none.
  void set_stream(std::FILE* stream, uint32_t level);

  // Convenience for callers holding a Logger: narrow printf-style record.
  void logf(uint32_t level, const char* tag, const char* format, ...) __attribute__((format(printf, 4, 5)));

  // Whether a record of this level would be created at all.
  bool accepts(uint32_t level) const;

 private:
  void emit(const record& r);
  void write_file(const record& r, const std::string& line);

  std::atomic<uint32_t> m_debugger_level{7};
  std::atomic<uint32_t> m_file_level{2};
  std::atomic<uint32_t> m_flush_level{nothing};
  std::atomic<uint32_t> m_stream_level{2};
  std::atomic<std::FILE*> m_stream{nullptr};
  std::atomic<int64_t> m_size_limit{4194304};

  std::mutex m_lock;        // guards m_path and m_file, and rotation
  std::mutex m_write_lock;  // one write at a time: appends of this process never interleave
  std::wstring m_path;
  std::shared_ptr<detail::log_file> m_file;
};

}  // namespace kro::log
