// The packer in the Windows build: the statically linked codec and the Win32
// file operations, with handles opened the way payload extraction opens them.
#include "packers/lzma_packer.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>
#include <string>
#include <vector>

#include "exceptions/exceptions.h"
#include "files/file_handle.h"
#include "root/random.h"

namespace {

namespace fs = std::filesystem;
using bytes = std::vector<uint8_t>;

class win_lzma_packer : public testing::Test {
 protected:
  void SetUp() override {
    m_dir = fs::temp_directory_path() / (L"kro-lzma-win-" + kro::root::new_guid_text());
    fs::create_directory(m_dir);
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(m_dir, ignored);
  }
  fs::path m_dir;
};

bytes sample(size_t size) {
  bytes out(size);
  for (size_t i = 0; i < size; ++i) out[i] = static_cast<uint8_t>((i * 7) ^ (i >> 9));
  return out;
}

TEST_F(win_lzma_packer, round_trip_through_win32_handles) {
  const bytes data = sample(700 * 1024);
  kro::packers::lzma_packer packer;
  const std::wstring packed = (m_dir / L"data.bin.lzma").wstring();
  packer.pack(data.data(), data.size(), packed);

  // Target opened as extraction does: read, write and delete access.
  const std::wstring target = (m_dir / L"data.bin").wstring();
  kro::files::unique_file out(CreateFileW(target.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE,
                                          FILE_SHARE_READ, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                          nullptr));
  ASSERT_TRUE(out.valid()) << GetLastError();
  {
    kro::files::unique_file in = kro::packers::detail::open_input(packed);
    packer.unpack(in.get(), out.get());
  }
  LARGE_INTEGER size{};
  ASSERT_TRUE(GetFileSizeEx(out.get(), &size));
  EXPECT_EQ(static_cast<uint64_t>(size.QuadPart), data.size());
  bytes back(data.size());
  DWORD got = 0;
  SetFilePointer(out.get(), 0, nullptr, FILE_BEGIN);
  ASSERT_TRUE(ReadFile(out.get(), back.data(), static_cast<DWORD>(back.size()), &got, nullptr));
  EXPECT_EQ(got, data.size());
  EXPECT_EQ(back, data);

  // A cut stream into the handle: the preallocated size stays, the error is
  // the premature end.
  const bytes stream = packer.pack(data.data(), data.size());
  SetFilePointer(out.get(), 0, nullptr, FILE_BEGIN);
  SetEndOfFile(out.get());
  try {
    packer.unpack(stream.data(), stream.size() / 2, out.get());
    ADD_FAILURE() << "no exception";
  } catch (const kro::exceptions::error& e) {
    EXPECT_EQ(e.code(), 1);
    EXPECT_STREQ(e.what(), "The LZMA stream has ended prematurely!");
  }
  ASSERT_TRUE(GetFileSizeEx(out.get(), &size));
  EXPECT_EQ(static_cast<uint64_t>(size.QuadPart), data.size());
}

TEST_F(win_lzma_packer, input_in_use_and_missing) {
  // The input is opened for reading data only, sharing read and delete: a
  // reader holding it open without write sharing does not stop the unpack.
  const bytes data = sample(10 * 1024);
  kro::packers::lzma_packer packer;
  const std::wstring packed = (m_dir / L"in.lzma").wstring();
  packer.pack(data.data(), data.size(), packed);
  kro::files::unique_file reader(CreateFileW(packed.c_str(), GENERIC_READ,
                                             FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                             FILE_ATTRIBUTE_NORMAL, nullptr));
  ASSERT_TRUE(reader.valid());
  const std::wstring target = (m_dir / L"out.bin").wstring();
  packer.unpack(packed, target);
  EXPECT_EQ(fs::file_size(target), data.size());

  try {
    packer.unpack((m_dir / L"missing.lzma").wstring(), target);
    ADD_FAILURE() << "no exception";
  } catch (const kro::exceptions::error& e) {
    EXPECT_EQ(e.code(), ERROR_FILE_NOT_FOUND);
  }
  EXPECT_TRUE(fs::exists(target));  // not created anew: the input failed first
}

}  // namespace
