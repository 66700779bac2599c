// The log file through the portable Logger: natively this exercises the POSIX
// file, under Wine the Win32 one. The Win32 suite covers the Windows-only
// cases (files in use, concurrent writers, process exit).
#include <gtest/gtest.h>

#include <cstdarg>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "exceptions/exceptions.h"
#include "files/file_handle.h"
#include "log/logger.h"
#include "root/random.h"
#include "text/text.h"

namespace {

namespace fs = std::filesystem;

std::string read_all(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void write_all(const fs::path& p, const std::string& bytes) {
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out << bytes;
}

class log_sink : public testing::Test {
 protected:
  void SetUp() override {
    m_dir = fs::temp_directory_path() / (L"kro-log-sink-" + kro::root::new_guid_text());
    fs::create_directory(m_dir);
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(m_dir, ignored);
  }
  size_t file_count() const {
    return static_cast<size_t>(std::distance(fs::directory_iterator(m_dir), fs::directory_iterator()));
  }
  fs::path m_dir;
};

// Files are read back once the logger has let go of them: its handle holds
// delete access, which plain C++ streams on Windows do not share.
TEST_F(log_sink, creates_rotates_and_replaces_foreign_files) {
  const fs::path log = m_dir / "sfx.log";
  const fs::path old = m_dir / "sfx.log.old";
  const std::string bom = "\xEF\xBB\xBF";
  auto run = [&](int64_t limit, auto&& body) {
    kro::log::Logger l;
    l.set_debugger_level(kro::log::nothing);
    l.set_log_file(log.wstring(), limit, 0);
    body(l);
  };

  run(100, [](kro::log::Logger&) {});
  EXPECT_EQ(read_all(log), bom);
  EXPECT_EQ(file_count(), 1u);  // the temporary name is gone

  // The second record finds the file over its 100-byte limit and starts a new one.
  run(100, [](kro::log::Logger& l) {
    l.logf(kro::log::info, "msfx", "a\nb");
    l.logf(kro::log::info, "msfx", "c");
  });
  const std::string first = read_all(old);
  ASSERT_EQ(first.substr(0, 3), bom);
  const size_t end = first.find("\r\n");
  ASSERT_NE(end, std::string::npos);
  EXPECT_EQ(first.substr(end), "\r\n" + std::string(end - 3 - 1, ' ') + "b\r\n");
  const std::string second = read_all(log);
  EXPECT_EQ(second.substr(0, 3), bom);
  EXPECT_EQ(second.size(), end + 2);  // the same header, then "c" and CR LF
  EXPECT_EQ(second.substr(second.size() - 3), "c\r\n");
  EXPECT_EQ(file_count(), 2u);

  // A file without the mark is never appended to.
  write_all(log, "foreign");
  run(4194304, [](kro::log::Logger&) {});
  EXPECT_EQ(read_all(old), "foreign");
  EXPECT_EQ(read_all(log), bom);
}

// Cyrillic, CJK and emoji (outside the basic plane: a surrogate pair on
// Windows) pass through every kind of record and raise into the file as UTF-8,
// whatever the locale of the process.
TEST_F(log_sink, names_outside_latin1_reach_the_file_intact) {
  const std::wstring name = L"\u0416\u0443\u0440\u043d\u0430\u043b-\u65e5\u5fd7-\U0001F600";
  const std::string utf8 =
      "\xd0\x96\xd1\x83\xd1\x80\xd0\xbd\xd0\xb0\xd0\xbb-\xe6\x97\xa5\xe5\xbf\x97-\xf0\x9f\x98\x80";
  // Paths go through UTF-8, which std::filesystem converts without a locale.
  const auto path_of = [](const std::string& bytes) {
    return fs::path(std::u8string(bytes.begin(), bytes.end()));
  };
  const auto wide_of = [](const fs::path& p) {
    const std::u8string bytes = p.u8string();
    return kro::text::from_utf8(std::string(bytes.begin(), bytes.end()));
  };
  const fs::path folder = m_dir / path_of(utf8);  // the log file itself lies in such a folder
  fs::create_directory(folder);
  const fs::path log = folder / "sfx.log";
  const std::wstring missing = wide_of(folder / path_of(utf8 + ".txt"));
  {
    kro::log::Logger l;
    l.set_debugger_level(kro::log::nothing);
    l.set_log_file(wide_of(log), 4194304, 0);
    auto wide = [&](const wchar_t* format, ...) {
      va_list args;
      va_start(args, format);
      l.log(kro::log::info, "msfx", format, args);
      va_end(args);
    };
    auto raised = [&](const std::exception& e, const char* format, ...) {
      va_list args;
      va_start(args, format);
      l.log_exception(kro::log::error, "msfx", e, format, args);
      va_end(args);
    };
    wide(L"wide '%ls'", name.c_str());
    wide(L"wide from UTF-8 '%s'", utf8.c_str());
    l.logf(kro::log::info, "msfx", "narrow '%s'", utf8.c_str());
    raised(kro::exceptions::error(5, L"raised '%ls'", name.c_str()), "caught '%s'", utf8.c_str());
    try {
      kro::files::open_for_read(missing);  // a real failure of the program's own code
      FAIL() << "opened a missing file";
    } catch (const std::exception& e) {
      raised(e, "%s", "open failed");
    }
  }
  const std::string bytes = read_all(log);
  for (const std::string& expected : {
           "wide '" + utf8 + "'\r\n",
           "wide from UTF-8 '" + utf8 + "'\r\n",
           "narrow '" + utf8 + "'\r\n",
           "caught '" + utf8 + "'\r\n",
           "Exception: raised '" + utf8 + "'\r\n",
           "Exception: Unable to open file '" + kro::text::to_utf8(missing) + "'!\r\n",
       }) {
    EXPECT_NE(bytes.find(expected), std::string::npos) << expected << "\nin:\n" << bytes;
  }
  EXPECT_NE(kro::text::to_utf8(missing).find(utf8), std::string::npos);
}

}  // namespace
