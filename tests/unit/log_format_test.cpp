#include <gtest/gtest.h>

#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

#include "exceptions/exceptions.h"
#include "log/logger.h"

namespace {

using kro::log::Logger;
using kro::log::record;

record make(uint32_t level, const char* tag, const char* message, uint64_t time, uint32_t pid, uint32_t tid) {
  record r;
  r.level = level;
  std::snprintf(r.tag, sizeof(r.tag), "%s", tag);
  r.message = std::string(message);
  r.time = time;
  r.process_id = pid;
  r.thread_id = tid;
  return r;
}

TEST(log_format, header_fields_and_widths) {
  struct test_case {
    uint32_t level;
    const char* tag;
    uint64_t time;  // FILETIME
    uint32_t pid, tid;
    const char* header;
  };
  static constexpr test_case cases[] = {
      {0, "msfx", 0, 1, 2, "[1601-01-01 00:00:00.000] [debug  ] [msfx       ] [    1:    2] "},
      {2, "msfx", 116444736000000000ull, 4242, 77,
       "[1970-01-01 00:00:00.000] [info   ] [msfx       ] [ 4242:   77] "},
      {3, "a", 125911583999990000ull, 0, 0,
       "[1999-12-31 23:59:59.999] [fnction] [a          ] [    0:    0] "},
      {5, "log_module", 125963012967890000ull, 99999, 1,
       "[2000-02-29 12:34:56.789] [warning] [log_module ] [99999:    1] "},
      {8, "elevenchars", 133801631999990000ull, 123456, 7654321,
       "[2024-12-31 23:59:59.999] [fatal  ] [elevenchars] [123456:7654321] "},
      {6, "", 157520160000010000ull, 5, 6,
       "[2100-03-01 00:00:00.001] [thread ] [           ] [    5:    6] "},
      {9, "msfx", 0, 1, 1, "[1601-01-01 00:00:00.000] [       ] [msfx       ] [    1:    1] "},
      {0xFFFFFFFFu, "msfx", 0, 1, 1, "[1601-01-01 00:00:00.000] [       ] [msfx       ] [    1:    1] "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.header);
    EXPECT_EQ(kro::log::format_line(make(c.level, c.tag, "m", c.time, c.pid, c.tid)),
              std::string(c.header) + "m\n");
  }
}

TEST(log_format, level_names_in_order_and_empty_outside) {
  static constexpr const char* names[] = {"debug",   "block",  "info",  "fnction", "notice",
                                          "warning", "thread", "error", "fatal"};
  for (uint32_t level = 0; level < 9; ++level)
    EXPECT_STREQ(kro::log::level_name(level), names[level]) << level;
  EXPECT_STREQ(kro::log::level_name(9), "");
  EXPECT_STREQ(kro::log::level_name(1000), "");
}

TEST(log_format, tag_is_cut_to_eleven_bytes) {
  const record r = kro::log::make_record(kro::log::info, "a_very_long_component", "x");
  EXPECT_STREQ(r.tag, "a_very_long");
  const std::string line = kro::log::format_line(r);
  EXPECT_NE(line.find("[info   ] [a_very_long] ["), std::string::npos) << line;
}

TEST(log_format, continuation_lines_start_under_the_message) {
  const std::string header = "[2000-02-29 12:34:56.789] [info   ] [msfx       ] [ 4242:   77] ";
  ASSERT_EQ(header.size(), 64u);
  const std::string pad(header.size(), ' ');
  struct test_case {
    const char* message;
    std::string expected;
  };
  const test_case cases[] = {
      {"one", header + "one\n"},
      {"first\nsecond", header + "first\n" + pad + "second\n"},
      {"a\n\nb", header + "a\n" + pad + "\n" + pad + "b\n"},
      {"trailing\n", header + "trailing\n" + pad + "\n"},
      {"", header + "\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    EXPECT_EQ(kro::log::format_line(make(2, "msfx", c.message, 125963012967890000ull, 4242, 77)), c.expected);
  }
  // A wider header (six-digit ids) widens the indentation with it.
  const std::string wide = kro::log::format_line(make(2, "msfx", "a\nb", 0, 123456, 1));
  EXPECT_EQ(wide.substr(wide.find('\n') + 1), std::string(65, ' ') + "b\n");
}

std::exception_ptr nested_pair() {
  try {
    try {
      throw kro::sfx::exceptions::download_file_fail(12029, "inner");
    } catch (...) {
      std::throw_with_nested(std::runtime_error("outer"));
    }
  } catch (...) {
    return std::current_exception();
  }
  return nullptr;
}

std::string describe_ptr(const std::exception_ptr& p) {
  try {
    std::rethrow_exception(p);
  } catch (const std::exception& e) {
    return kro::log::describe(e);
  }
}

TEST(log_format, exception_descriptions) {
  struct test_case {
    const char* name;
    std::exception_ptr exception;
    const char* expected;
  };
  const test_case cases[] = {
      {"download 12029", std::make_exception_ptr(kro::sfx::exceptions::download_file_fail(12029, "x")),
       "Exception: x\nCode: 0x00002efd (12029)"},
      {"code -1", std::make_exception_ptr(kro::exceptions::error(-1, "no code")), "Exception: no code"},
      {"code only", std::make_exception_ptr(kro::exceptions::fatal(5)), "Code: 0x00000005 (5)"},
      {"negative code",
       std::make_exception_ptr(kro::exceptions::error(static_cast<int32_t>(0xC000001D), "ill")),
       "Exception: ill\nCode: 0xc000001d (-1073741795)"},
      {"foreign", std::make_exception_ptr(std::runtime_error("plain")), "Exception: plain"},
      {"empty", std::make_exception_ptr(std::runtime_error("")), ""},
      {"nested", nested_pair(), "Exception: outer\nException: inner\nCode: 0x00002efd (12029)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(describe_ptr(c.exception), c.expected);
  }
}

// Reads back everything a stream output received.
std::string stream_text(std::FILE* f) {
  std::string out;
  std::rewind(f);
  char buffer[4096];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof(buffer), f)) > 0) out.append(buffer, n);
  return out;
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> out;
  size_t start = 0;
  for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
    out.push_back(text.substr(start, end - start));
  return out;
}

TEST(log_format, log_exception_joins_text_and_description) {
  std::FILE* f = std::tmpfile();
  ASSERT_NE(f, nullptr);
  Logger l;
  l.set_debugger_level(kro::log::nothing);
  l.set_stream(f, kro::log::debug);
  const kro::sfx::exceptions::download_file_fail e(12029, "x");
  auto call = [&](const char* format, ...) {
    va_list args;
    va_start(args, format);
    l.log_exception(kro::log::error, "msfx", e, format, args);
    va_end(args);
  };
  call("Download of %s failed", "a.lzma");
  call("%s", "");
  const std::vector<std::string> lines = lines_of(stream_text(f));
  std::fclose(f);
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[0].substr(64), "Download of a.lzma failed");
  EXPECT_EQ(lines[1], std::string(64, ' ') + "Exception: x");
  EXPECT_EQ(lines[2], std::string(64, ' ') + "Code: 0x00002efd (12029)");
  EXPECT_EQ(lines[3].substr(64), "Exception: x");  // no empty first line without a text
}

// Which records are created, and which outputs they reach, follows the levels.
TEST(log_format, records_are_accepted_by_levels) {
  struct test_case {
    uint32_t debugger, file;
    bool stream;
    uint32_t stream_level, level;
    bool accepted;
  };
  static constexpr test_case cases[] = {
      {7, 2, false, 2, 1, false},                               // defaults: debug and block dropped
      {7, 2, false, 2, 2, true},                                // info reaches the file level
      {9, 8, false, 0, 7, false},                               // debugger off, file only fatal
      {9, 8, false, 0, 8, true},    {9, 8, true, 0, 0, true},   // the stream takes everything
      {9, 8, true, 5, 4, false},    {0, 8, false, 0, 0, true},  // debugger takes everything
      {9, 8, false, 0, 9, true},                                // out of range levels reach the file level 8
      {9, 8, false, 0, 1000, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "debugger " << c.debugger << " file " << c.file << " stream "
                                    << c.stream << "/" << c.stream_level << " level " << c.level);
    Logger l;
    l.set_debugger_level(c.debugger);
    l.set_file_level(c.file);
    std::FILE* f = c.stream ? std::tmpfile() : nullptr;
    l.set_stream(f, c.stream_level);
    EXPECT_EQ(l.accepts(c.level), c.accepted);
    if (f) std::fclose(f);
  }
}

TEST(log_format, stream_gets_lines_at_or_above_its_level_and_wide_text_as_utf8) {
  std::FILE* f = std::tmpfile();
  ASSERT_NE(f, nullptr);
  Logger l;
  l.set_debugger_level(kro::log::nothing);
  l.set_stream(f, kro::log::notice);
  l.logf(kro::log::info, "msfx", "dropped %d", 1);
  l.logf(kro::log::notice, "msfx", "kept %d", 2);
  auto wide = [&](const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    l.log(kro::log::fatal, "msfx", format, args);
    va_end(args);
  };
  wide(L"%ls %s", L"gr\u00fc\u00df", "x");
  const std::vector<std::string> lines = lines_of(stream_text(f));
  std::fclose(f);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].substr(26, 10), "[notice ] ");
  EXPECT_EQ(lines[0].substr(64), "kept 2");
  EXPECT_EQ(lines[1].substr(64), "gr\xc3\xbc\xc3\x9f x");
}

TEST(log_format, levels_above_their_maximum_raise_87) {
  Logger l;
  auto code_of = [](auto&& call) {
    try {
      call();
    } catch (const kro::exceptions::error& e) {
      return e.code();
    }
    return 0;
  };
  EXPECT_EQ(code_of([&] { l.set_debugger_level(10); }), 87);
  EXPECT_EQ(code_of([&] { l.set_file_level(9); }), 87);
  EXPECT_EQ(code_of([&] { l.set_flush_level(10); }), 87);
  EXPECT_EQ(code_of([&] { l.set_log_file(L"unused.log", 0, 9); }), 87);
  EXPECT_EQ(code_of([&] { l.set_log_file(L"unused.log", -1, 0); }), 87);
  EXPECT_EQ(code_of([&] {
              l.set_debugger_level(9);
              l.set_file_level(8);
              l.set_flush_level(9);
            }),
            0);
}

}  // namespace
