#include "log/logger.h"

#include <cstring>
#include <new>

#include "exceptions/exceptions.h"
#include "text/text.h"

namespace kro::log {
namespace {

constexpr const char* level_names[] = {"debug",   "block",  "info",  "fnction", "notice",
                                       "warning", "thread", "error", "fatal"};

// A threshold of `nothing` is reached by no record, whatever its level.
bool reaches(uint32_t level, uint32_t threshold) { return threshold < nothing && level >= threshold; }

void check_level(uint32_t level, uint32_t maximum) {
  if (level > maximum) {
    throw exceptions::error(codes::invalid_argument, "Log level %lu is above its maximum %lu!",
                            static_cast<unsigned long>(level), static_cast<unsigned long>(maximum));
  }
}

struct civil_time {
  unsigned short year, month, day, hour, minute, second, millisecond;
};

// FILETIME (100 ns units since 1601-01-01) to the proleptic Gregorian
// calendar; days are counted from 1601-01-01, the start of a 400-year cycle.
civil_time to_civil(uint64_t filetime) {
  const uint64_t ms_total = filetime / 10000;
  const uint64_t days = ms_total / 86400000;
  const uint64_t ms_of_day = ms_total % 86400000;
  civil_time t{};
  t.hour = static_cast<unsigned short>(ms_of_day / 3600000);
  t.minute = static_cast<unsigned short>(ms_of_day / 60000 % 60);
  t.second = static_cast<unsigned short>(ms_of_day / 1000 % 60);
  t.millisecond = static_cast<unsigned short>(ms_of_day % 1000);

  // Shift to a year starting on March 1st so that the leap day ends a year.
  // 1601-01-01 is day 306 of the March-based year 1600.
  const uint64_t z = days + 306;
  const uint64_t era = z / 146097;
  const uint64_t doe = z % 146097;
  const uint64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const uint64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const uint64_t mp = (5 * doy + 2) / 153;
  const uint64_t day = doy - (153 * mp + 2) / 5 + 1;
  const uint64_t month = mp < 10 ? mp + 3 : mp - 9;
  const uint64_t year = 1600 + era * 400 + yoe + (month <= 2 ? 1 : 0);
  t.year = static_cast<unsigned short>(year);
  t.month = static_cast<unsigned short>(month);
  t.day = static_cast<unsigned short>(day);
  return t;
}

std::string to_crlf(const std::string& line) {
  std::string out;
  out.reserve(line.size() + line.size() / 32 + 2);
  for (const char c : line) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

}  // namespace

const char* level_name(uint32_t level) {
  return level < sizeof(level_names) / sizeof(level_names[0]) ? level_names[level] : "";
}

record make_record(uint32_t level, const char* tag, std::string message) {
  record r;
  r.level = level;
  if (tag) std::strncpy(r.tag, tag, sizeof(r.tag) - 1);
  r.message = std::move(message);
  r.time = detail::system_time();
  r.process_id = detail::current_process_id();
  r.thread_id = detail::current_thread_id();
  return r;
}

std::string format_line(const record& r) {
  const civil_time t = to_civil(r.time);
  char tag[sizeof(r.tag)];
  std::memcpy(tag, r.tag, sizeof(tag));
  tag[sizeof(tag) - 1] = '\0';
  const std::string header =
      text::format("[%04hu-%02hu-%02hu %02hu:%02hu:%02hu.%03hu] [%-7s] [%-11s] [%5lu:%5lu] ", t.year, t.month,
                   t.day, t.hour, t.minute, t.second, t.millisecond, level_name(r.level), tag,
                   static_cast<unsigned long>(r.process_id), static_cast<unsigned long>(r.thread_id));
  std::string line = header;
  line.reserve(header.size() + r.message.size() + 1);
  for (const char c : r.message) {
    line += c;
    if (c == '\n') line.append(header.size(), ' ');
  }
  line += '\n';
  return line;
}

std::string describe(const std::exception& e) {
  std::string out;
  const char* what = e.what();
  if (what && *what) out = std::string("Exception: ") + what;
  if (const auto* own = dynamic_cast<const exceptions::detail::base*>(&e);
      own && own->code() != codes::none) {
    out += out.empty() ? "Code: " : "\nCode: ";
    out += text::format("0x%08x (%d)", static_cast<unsigned>(own->code()), static_cast<int>(own->code()));
  }
  if (const auto* nested = dynamic_cast<const std::nested_exception*>(&e); nested && nested->nested_ptr()) {
    std::string inner;
    try {
      nested->rethrow_nested();
    } catch (const std::exception& x) {
      inner = describe(x);
    } catch (...) {
      // Not a std::exception: nothing to describe.
    }
    if (!inner.empty()) {
      if (!out.empty()) out += '\n';
      out += inner;
    }
  }
  return out;
}

// --- Logger --------------------------------------------------------------------

bool Logger::accepts(uint32_t level) const {
  return reaches(level, m_debugger_level) || reaches(level, m_file_level) ||
         (m_stream.load() && reaches(level, m_stream_level));
}

void Logger::log(uint32_t level, const char* tag, const wchar_t* format, va_list args) {
  if (!accepts(level) || !format) return;
  emit(make_record(level, tag, text::to_utf8(text::vformat(format, args))));
}

void Logger::log(uint32_t level, const char* tag, const char* format, va_list args) {
  if (!accepts(level) || !format) return;
  emit(make_record(level, tag, text::vformat(format, args)));
}

void Logger::log_exception(uint32_t level, const char* tag, const std::exception& e, const char* format,
                           va_list args) {
  if (!accepts(level)) return;
  std::string message = format ? text::vformat(format, args) : std::string();
  const std::string description = describe(e);
  if (!message.empty() && !description.empty()) message += '\n';
  message += description;
  emit(make_record(level, tag, std::move(message)));
}

void Logger::logf(uint32_t level, const char* tag, const char* format, ...) {
  va_list args;
  va_start(args, format);
  log(level, tag, format, args);
  va_end(args);
}

std::string Logger::describe_exception(const std::exception& e) const { return describe(e); }

void Logger::set_debugger_level(uint32_t level) {
  check_level(level, nothing);
  m_debugger_level = level;
}

void Logger::set_file_level(uint32_t level) {
  check_level(level, fatal);
  m_file_level = level;
}

void Logger::set_flush_level(uint32_t level) {
  check_level(level, nothing);
  m_flush_level = level;
}

void Logger::set_stream(std::FILE* stream, uint32_t level) {
  check_level(level, fatal);
  m_stream_level = level;
  m_stream = stream;
}

void Logger::set_log_file(const std::wstring& path, int64_t size_limit, uint32_t file_level) {
  check_level(file_level, fatal);
  if (size_limit < 0) {
    throw exceptions::error(codes::invalid_argument, "Log size limit %lld is negative!",
                            static_cast<long long>(size_limit));
  }
  std::shared_ptr<detail::log_file> file;
  try {
    file = detail::open_log_file(path);
  } catch (const std::exception& e) {
    detail::debugger_output((std::string(e.what()) + "\n").c_str());
  }
  std::lock_guard<std::mutex> hold(m_lock);
  if (file) {
    m_path = path;
    m_size_limit = size_limit;
    m_file_level = file_level;
  } else {
    m_path.clear();
  }
  m_file = std::move(file);
}

void Logger::emit(const record& r) {
  const std::string line = format_line(r);
  if (reaches(r.level, m_debugger_level)) detail::debugger_output(line.c_str());
  if (std::FILE* stream = m_stream.load(); stream && reaches(r.level, m_stream_level)) {
    std::fwrite(line.data(), 1, line.size(), stream);
    std::fflush(stream);
  }
  if (reaches(r.level, m_file_level)) write_file(r, line);
}

// Failures of the file output never reach the caller: their text goes to the
// debugger output and the record is written wherever the file now is.
void Logger::write_file(const record& r, const std::string& line) {
  std::shared_ptr<detail::log_file> file;
  {
    std::lock_guard<std::mutex> hold(m_lock);
    file = m_file;
  }
  if (!file) return;
  try {
    if (file->size() >= m_size_limit) {
      std::lock_guard<std::mutex> hold(m_lock);
      // Another thread may have rotated it meanwhile; then use its new file.
      if (m_file == file && file->rotate()) m_file = detail::open_log_file(m_path);
      file = m_file;
    }
  } catch (const std::exception& e) {
    detail::debugger_output((std::string(e.what()) + "\n").c_str());
  }
  const std::string bytes = to_crlf(line);
  try {
    std::lock_guard<std::mutex> hold(m_write_lock);
    file->write(bytes);
    if (reaches(r.level, m_flush_level)) file->flush();
  } catch (const std::exception& e) {
    detail::debugger_output((std::string(e.what()) + "\n").c_str());
  }
}

// --- The process's logger --------------------------------------------------------

namespace {

// The process's Logger lives in static storage of its own and is never
// destroyed, so that a record logged even after the module's end (by a static
// object of a library initialised before this one) still lands safely.
alignas(Logger) unsigned char g_logger_storage[sizeof(Logger)];

Logger& process_logger() { return *std::launder(reinterpret_cast<Logger*>(g_logger_storage)); }

// Creates the process's Logger; its destructor writes the closing records.
class LogModule {
 public:
  LogModule() { new (g_logger_storage) Logger(); }
  ~LogModule() {
    process_logger().logf(info, "log_module", "%s", "LogModule is going to be destroyed.");
    process_logger().logf(info, "log_module", "%s", std::string(117, '=').c_str());
  }
  LogModule(const LogModule&) = delete;
  LogModule& operator=(const LogModule&) = delete;
};

void ensure_log_module() { static LogModule module; }

// Creates the module before every static object of ordinary priority, so its
// destructor, and with it the closing records, runs after theirs at exit.
struct early_log_module {
  early_log_module() { ensure_log_module(); }
};
__attribute__((init_priority(101))) early_log_module g_early_log_module;

}  // namespace

ILogger& logger() {
  ensure_log_module();
  return process_logger();
}

void write(uint32_t level, const char* format, ...) {
  va_list args;
  va_start(args, format);
  logger().log(level, sfx_tag, format, args);
  va_end(args);
}

void write(uint32_t level, const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  logger().log(level, sfx_tag, format, args);
  va_end(args);
}

void write_exception(uint32_t level, const std::exception& e, const char* format, ...) {
  va_list args;
  va_start(args, format);
  logger().log_exception(level, sfx_tag, e, format, args);
  va_end(args);
}

}  // namespace kro::log
