// Where the log folder goes: only a full path counts as the common
// application data folder, and the program's own folders below it.
#include "sfx/log_folder.h"

#include <gtest/gtest.h>

#include "text/text.h"

namespace kro::sfx::log_folder {
namespace {

TEST(log_folder, full_paths_only) {
  struct row {
    const wchar_t* value;
    bool absolute;
  };
  constexpr row rows[] = {
      {L"C:\\ProgramData", true},
      {L"c:/ProgramData", true},
      {L"D:\\", true},
      {L"\\\\server\\share", true},
      {L"\\\\server\\share\\Common", true},
      {L"\\\\?\\C:\\ProgramData", true},
      {L"\\\\?\\UNC\\server\\share\\x", true},
      {L"", false},
      {L"ProgramData", false},
      {L"\\ProgramData", false},  // the root of the current drive
      {L"/ProgramData", false},
      {L"C:ProgramData", false},  // relative to the drive's current folder
      {L"C:", false},
      {L"1:\\x", false},
      {L"\\\\", false},
      {L"\\\\server", false},
      {L"\\\\server\\", false},
      {L"\\\\\\share", false},
      {L"\\\\.\\C:\\x", false},
      {L"\\\\?\\ProgramData", false},
      {L"\\\\?\\UNC\\server", false},
  };
  for (const row& r : rows) EXPECT_EQ(is_absolute_folder(r.value), r.absolute) << text::to_utf8(r.value);
}

TEST(log_folder, own_folders_below_the_common_folder) {
  const std::vector<std::wstring> expected = {L"C:\\ProgramData\\Orvex Software",
                                              L"C:\\ProgramData\\Orvex Software\\Morrow",
                                              L"C:\\ProgramData\\Orvex Software\\Morrow\\Logs"};
  EXPECT_EQ(own_folders(L"C:\\ProgramData", L"Orvex Software"), expected);
  EXPECT_EQ(own_folders(L"C:\\ProgramData\\", L"Orvex Software"), expected);
  EXPECT_EQ(log_file_path(L"C:\\ProgramData", L"Orvex Software"),
            L"C:\\ProgramData\\Orvex Software\\Morrow\\Logs\\sfx.log");
  EXPECT_EQ(log_file_path(L"D:\\", L"Co"), L"D:\\Co\\Morrow\\Logs\\sfx.log");
}

}  // namespace
}  // namespace kro::sfx::log_folder
