// The executable's own file version, read from its image, against the
// system's reading of the same file (win_tests.exe carries the program's
// version resource).
#include "systools/file_version.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <vector>

namespace {

TEST(file_version, own_version_is_the_one_the_system_reads_from_the_file) {
  wchar_t path[MAX_PATH] = {};
  ASSERT_GT(GetModuleFileNameW(nullptr, path, MAX_PATH), 0u);
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeW(path, &ignored);
  ASSERT_GT(size, 0u);
  std::vector<unsigned char> block(size);
  ASSERT_TRUE(GetFileVersionInfoW(path, 0, size, block.data()));
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT fixed_size = 0;
  ASSERT_TRUE(VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &fixed_size));
  const kro::systools::file_version expected = {
      HIWORD(fixed->dwFileVersionMS), LOWORD(fixed->dwFileVersionMS), HIWORD(fixed->dwFileVersionLS),
      LOWORD(fixed->dwFileVersionLS)};
  EXPECT_EQ(kro::systools::own_file_version(), expected);
  EXPECT_EQ(expected, (kro::systools::file_version{KRO_SFX_VERSION}));
}

}  // namespace
