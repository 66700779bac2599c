// sfxtool's file writer (tool/io.h): permissions at creation, exclusive
// temporary files that never follow a link, nothing left behind on failure;
// and the time stamp conversions for any 64-bit value.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "root/random.h"
#include "tool/io.h"

#ifdef _WIN32
#include <windows.h>
// after windows.h
#include <aclapi.h>
#include <sddl.h>
#else
#include <sys/stat.h>
#endif

namespace {

namespace fs = std::filesystem;
namespace tool = kro::tool;
using tool::file_access;

std::string read(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class tool_io : public testing::Test {
 protected:
  void SetUp() override {
    m_dir = fs::temp_directory_path() / (L"kro-tool-io-" + kro::root::new_guid_text());
    fs::create_directory(m_dir);
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(m_dir, ignored);
  }
  fs::path path(const char* name) const { return m_dir / name; }
  std::set<std::string> names() const {
    std::set<std::string> out;
    for (const auto& e : fs::directory_iterator(m_dir)) out.insert(e.path().filename().string());
    return out;
  }
  // A link to a file outside the writer's business; false where links
  // cannot be made.
  bool plant_link(const fs::path& at, const fs::path& target) {
    std::error_code ec;
    fs::create_symlink(target, at, ec);
    return !ec;
  }

  fs::path m_dir;
};

TEST_F(tool_io, writes_whole_files_with_their_permissions) {
  const std::string secret = "x 0123456789abcdef\n";
  tool::write_file_atomically(path("key.txt"), secret.data(), secret.size(), file_access::private_to_owner);
  tool::write_file_atomically(path("package.exe"), "MZ", 2);
  EXPECT_EQ(read(path("key.txt")), secret);
  EXPECT_EQ(read(path("package.exe")), "MZ");
  // Rewriting replaces the content; no temporary file stays.
  tool::write_file_atomically(path("package.exe"), "MZ2", 3);
  EXPECT_EQ(read(path("package.exe")), "MZ2");
  EXPECT_EQ(names(), (std::set<std::string>{"key.txt", "package.exe"}));
#ifndef _WIN32
  struct stat info {};
  ASSERT_EQ(::stat(path("key.txt").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0600u);
  const mode_t mask = ::umask(0);
  ::umask(mask);
  ASSERT_EQ(::stat(path("package.exe").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0666u & ~mask);
  // The umask cannot widen a private file: still exactly 0600 under 0.
  ::umask(0);
  tool::write_file_atomically(path("key2.txt"), "x", 1, file_access::private_to_owner);
  ::umask(mask);
  ASSERT_EQ(::stat(path("key2.txt").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0600u);
#else
  // Only the user (and SYSTEM) may touch a private file. Windows shows the
  // list given at creation: one entry, the user's full control, protected
  // from inheritance. Wine keeps no list; it turns the one given into the
  // Unix mode and shows a list made from that mode (SYSTEM and the owner),
  // while a file made without our list shows Everyone reading it there.
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  PACL dacl = nullptr;
  ASSERT_EQ(GetNamedSecurityInfoW(path("key.txt").c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                  nullptr, &dacl, nullptr, &descriptor),
            static_cast<DWORD>(ERROR_SUCCESS));
  ASSERT_NE(dacl, nullptr);
  HANDLE token = nullptr;
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
  char buffer[256];
  DWORD size = 0;
  ASSERT_TRUE(GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &size));
  CloseHandle(token);
  const PSID user = reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid;
  PSID system = nullptr;
  ASSERT_TRUE(ConvertStringSidToSidW(L"S-1-5-18", &system));
  bool user_has_all = false;
  for (DWORD i = 0; i < dacl->AceCount; ++i) {
    ACCESS_ALLOWED_ACE* ace = nullptr;
    ASSERT_TRUE(GetAce(dacl, i, reinterpret_cast<void**>(&ace)));
    ASSERT_EQ(ace->Header.AceType, ACCESS_ALLOWED_ACE_TYPE);
    const PSID who = &ace->SidStart;
    EXPECT_TRUE(EqualSid(who, user) || EqualSid(who, system)) << "entry " << i << " grants someone else";
    user_has_all = user_has_all || (EqualSid(who, user) && (ace->Mask & FILE_ALL_ACCESS) == FILE_ALL_ACCESS);
  }
  EXPECT_TRUE(user_has_all);
  LocalFree(system);
  LocalFree(descriptor);
#endif
}

TEST_F(tool_io, temporary_names_are_random_and_created_exclusively) {
  std::set<std::string> seen;
  for (int i = 0; i < 8; ++i) {
    tool::temporary_file t = tool::create_temporary_beside(path("out.bin"));
    ASSERT_TRUE(t.file.valid());
    const std::string name = t.path.filename().string();
    EXPECT_EQ(name.rfind("out.bin.", 0), 0u) << name;
    EXPECT_EQ(name.size(), std::string("out.bin.").size() + 16 + std::string(".tmp-sfxtool").size()) << name;
    EXPECT_TRUE(seen.insert(name).second) << name;
    t.file.reset();
    // A second exclusive creation of the same name fails.
    EXPECT_THROW(tool::detail::create_exclusive(t.path, file_access::usual), tool::tool_error);
    tool::remove_file(t.path);
  }
  EXPECT_TRUE(names().empty());
}

// A link planted at the temporary name: creation refuses it, nothing is
// written through it, and the link (not the writer's) is left alone.
TEST_F(tool_io, a_link_at_the_temporary_name_is_not_followed) {
  const fs::path target = path("victim.txt");
  { std::ofstream(target) << "precious"; }
  const fs::path temporary = path("key.txt.0123456789abcdef.tmp-sfxtool");
  if (!plant_link(temporary, target)) GTEST_SKIP() << "no symbolic links here";
  const fs::path dangling = path("key2.txt.0123456789abcdef.tmp-sfxtool");
  ASSERT_TRUE(plant_link(dangling, path("created-through-link.txt")));
  for (const fs::path& planted : {temporary, dangling}) {
    SCOPED_TRACE(planted.string());
    EXPECT_THROW(tool::detail::write_file_through(path("key.txt"), planted, "secret", 6,
                                                  file_access::private_to_owner),
                 tool::tool_error);
    EXPECT_TRUE(fs::is_symlink(fs::symlink_status(planted)));
  }
  EXPECT_EQ(read(target), "precious");
  EXPECT_FALSE(fs::exists(path("key.txt")));
  EXPECT_FALSE(fs::exists(path("created-through-link.txt")));
}

// A link at the destination is replaced by the new file, never written
// through.
TEST_F(tool_io, a_link_at_the_destination_is_replaced) {
  const fs::path target = path("victim.txt");
  { std::ofstream(target) << "precious"; }
  if (!plant_link(path("key.txt"), target)) GTEST_SKIP() << "no symbolic links here";
  tool::write_file_atomically(path("key.txt"), "secret", 6, file_access::private_to_owner);
  EXPECT_FALSE(fs::is_symlink(fs::symlink_status(path("key.txt"))));
  EXPECT_EQ(read(path("key.txt")), "secret");
  EXPECT_EQ(read(target), "precious");
}

// A failure after the temporary file was made (here the rename: the
// destination is a folder that is not empty) leaves nothing behind.
TEST_F(tool_io, failures_leave_no_temporary_file) {
  fs::create_directory(path("taken"));
  { std::ofstream(path("taken") / "inside") << "x"; }
  EXPECT_THROW(tool::write_file_atomically(path("taken"), "data", 4), tool::tool_error);
  EXPECT_THROW(
      tool::detail::write_file_through(path("taken"), path("taken.tmp"), "data", 4, file_access::usual),
      tool::tool_error);
  EXPECT_EQ(names(), (std::set<std::string>{"taken"}));
  // A missing folder fails at creation.
  EXPECT_THROW(tool::write_file_atomically(path("missing") / "file", "data", 4), tool::tool_error);
  EXPECT_EQ(names(), (std::set<std::string>{"taken"}));
}

// Record time stamps: every 64-bit value converts, none overflows.
TEST_F(tool_io, time_stamps_of_any_value) {
  struct row {
    uint64_t seconds;
    const char* text;
  };
  // Independent values: Python's dates within one 400-year cycle of the
  // Gregorian calendar, plus whole cycles.
  static constexpr row rows[] = {
      {0, "1970-01-01 00:00:00"},
      {1700000000, "2023-11-14 22:13:20"},
      {951868799, "2000-02-29 23:59:59"},
      {253402300799, "9999-12-31 23:59:59"},
      {253402300800, "10000-01-01 00:00:00"},
      {INT64_MAX, "292277026596-12-04 15:30:07"},
      {UINT64_MAX, "584554051223-11-09 07:00:15"},
  };
  for (const row& c : rows) {
    SCOPED_TRACE(c.seconds);
    EXPECT_EQ(tool::utc_text(c.seconds), c.text);
  }

  const uint64_t latest = tool::latest_file_time;
  tool::write_file_atomically(path("f"), "x", 1);
  for (const uint64_t stamp : {uint64_t{0}, uint64_t{1700000000}, uint64_t{9000000000}}) {
    SCOPED_TRACE(stamp);
    ASSERT_TRUE(tool::set_modification_time(path("f"), stamp));
    EXPECT_EQ(tool::modification_time(path("f")), stamp);
  }
  // Beyond the clock's range a stamp is clamped to its end, which the file
  // system may clamp further to its own.
  ASSERT_TRUE(tool::set_modification_time(path("f"), latest));
  const uint64_t at_latest = tool::modification_time(path("f"));
  EXPECT_GT(at_latest, uint64_t{9000000000});
  for (const uint64_t stamp : {latest + 1, uint64_t{INT64_MAX}, uint64_t{INT64_MAX} + 1, UINT64_MAX}) {
    SCOPED_TRACE(stamp);
    ASSERT_TRUE(tool::set_modification_time(path("f"), 0));
    ASSERT_TRUE(tool::set_modification_time(path("f"), stamp));
    EXPECT_EQ(tool::modification_time(path("f")), at_latest);
  }
}

}  // namespace
