// The log file through the portable Logger: natively this exercises the POSIX
// file, under Wine the Win32 one. The Win32 suite covers the Windows-only
// cases (files in use, concurrent writers, process exit).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "log/logger.h"
#include "root/random.h"

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

}  // namespace
