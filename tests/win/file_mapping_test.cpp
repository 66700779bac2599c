// file_mapping and hash_file over Win32 file handles: 32 MiB views at
// 64 KiB-aligned (and unaligned) offsets of a file larger than 64 MiB, the
// caller's handle left open, and handle owners keeping the last error.
#include "files/file_mapping.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include "exceptions/exceptions.h"
#include "files/file_handle.h"
#include "root/random.h"
#include "root/sha256.h"

namespace kro::root {
inline void PrintTo(const digest& d, std::ostream* os) { *os << d.to_hex_narrow(); }
}  // namespace kro::root

namespace {

using kro::files::file_mapping;

constexpr uint32_t mib32 = 0x2000000;

uint8_t pattern(uint64_t i) { return static_cast<uint8_t>((i ^ (i >> 8) ^ (i >> 16) ^ (i >> 24)) * 31 + 7); }

class win_file_mapping : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    wchar_t dir[MAX_PATH + 1] = {};
    ASSERT_NE(GetTempPathW(MAX_PATH, dir), 0u);
    s_path = std::wstring(dir) + L"kro-mapping-" + kro::root::new_guid_text() + L".bin";
    s_bytes.resize(2 * mib32 + 3 * 65536 + 77);  // > 64 MiB, ends inside a granule
    for (size_t i = 0; i < s_bytes.size(); ++i) s_bytes[i] = pattern(i);
    kro::files::unique_file out(CreateFileW(s_path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                            FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(out.valid());
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(out.get(), s_bytes.data(), static_cast<DWORD>(s_bytes.size()), &written, nullptr));
    ASSERT_EQ(written, s_bytes.size());
  }
  static void TearDownTestSuite() {
    DeleteFileW(s_path.c_str());
    s_bytes.clear();
    s_bytes.shrink_to_fit();
  }

  static std::wstring s_path;
  static std::vector<uint8_t> s_bytes;
};

std::wstring win_file_mapping::s_path;
std::vector<uint8_t> win_file_mapping::s_bytes;

TEST_F(win_file_mapping, views_of_32_mib_at_granule_offsets_and_between) {
  const auto file = kro::files::open_for_read(s_path);
  file_mapping mapping;
  mapping.open(file.get());
  ASSERT_EQ(mapping.file_size(), s_bytes.size());
  const uint64_t size = s_bytes.size();
  const uint64_t offsets[] = {0, 65536, mib32, 2 * mib32, 3 * 65536 + 1, mib32 + 65535, size - 1};
  for (const uint64_t offset : offsets) {
    SCOPED_TRACE(testing::Message() << "offset " << offset);
    mapping.map_view(offset, mib32);
    const uint64_t expected = std::min<uint64_t>(mib32, size - offset);
    ASSERT_EQ(mapping.view_size(), expected);
    const uint8_t* view = mapping.view();
    EXPECT_EQ(view[0], s_bytes[offset]);
    EXPECT_EQ(view[expected - 1], s_bytes[offset + expected - 1]);
    size_t mismatches = 0;
    for (uint64_t i = 0; i < expected; i += 4093) mismatches += view[i] != s_bytes[offset + i];
    EXPECT_EQ(mismatches, 0u);
  }
}

TEST_F(win_file_mapping, hash_file_equals_hash_block_and_leaves_the_handle_open) {
  const auto file = kro::files::open_for_read(s_path);
  uint32_t windows = 0;
  const auto d = kro::root::detail::hash_file(file.get(), kro::root::detail::hash_file_window, &windows);
  EXPECT_EQ(windows, 3u);
  EXPECT_EQ(d, kro::root::hash_block(s_bytes.data(), s_bytes.size()));
  // Still the caller's handle.
  LARGE_INTEGER size{};
  EXPECT_TRUE(GetFileSizeEx(file.get(), &size));
  EXPECT_EQ(static_cast<uint64_t>(size.QuadPart), s_bytes.size());
}

TEST_F(win_file_mapping, system_errors_carry_the_last_error) {
  // A handle without read access cannot be mapped read-only.
  kro::files::unique_file write_only(CreateFileW(s_path.c_str(), GENERIC_WRITE,
                                                 FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                                 FILE_ATTRIBUTE_NORMAL, nullptr));
  ASSERT_TRUE(write_only.valid());
  file_mapping mapping;
  try {
    mapping.open(write_only.get());
    ADD_FAILURE() << "mapped a write-only handle";
  } catch (const kro::exceptions::error& e) {
    EXPECT_STREQ(e.what(), "Unable to create file mapping!");
    EXPECT_EQ(e.code(), static_cast<int32_t>(ERROR_ACCESS_DENIED));
  }
  EXPECT_FALSE(mapping.opened());
  try {
    mapping.open(INVALID_HANDLE_VALUE);
    ADD_FAILURE() << "opened INVALID_HANDLE_VALUE";
  } catch (const kro::exceptions::error& e) {
    EXPECT_STREQ(e.what(), "Unable to get file size!");
    EXPECT_EQ(e.code(), static_cast<int32_t>(ERROR_INVALID_HANDLE));
  }
  try {
    (void)kro::files::open_for_read(s_path + L".missing");
    ADD_FAILURE() << "opened a missing file";
  } catch (const kro::exceptions::error& e) {
    EXPECT_EQ(e.code(), static_cast<int32_t>(ERROR_FILE_NOT_FOUND));
  }
}

TEST_F(win_file_mapping, handle_owners_keep_the_last_error_and_their_invalid_value) {
  {
    auto file = kro::files::open_for_read(s_path);
    kro::files::unique_kernel_handle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    ASSERT_TRUE(event.valid());
    SetLastError(1234);
  }
  EXPECT_EQ(GetLastError(), 1234u);

  EXPECT_EQ(kro::files::unique_file::invalid(), INVALID_HANDLE_VALUE);
  EXPECT_EQ(kro::files::unique_kernel_handle::invalid(), nullptr);
  EXPECT_FALSE(kro::files::unique_file().valid());

  auto file = kro::files::open_for_read(s_path);
  const HANDLE raw = file.release();
  EXPECT_FALSE(file.valid());
  DWORD flags = 0;
  EXPECT_TRUE(GetHandleInformation(raw, &flags));  // release() did not close it
  CloseHandle(raw);
}

}  // namespace
