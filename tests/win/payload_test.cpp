// The executable opened through the Win32 path: one inheritable handle that
// nobody can write through while the payload holds it, and extraction
// targets that are created anew and gone again after a failed check.
#include "sfx/payload.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "exceptions/exceptions.h"
#include "sfx/morrow_info.h"
#include "sfx/payload_writer.h"
#include "sfx/sfx_data.h"

namespace {

std::filesystem::path temp_path(const std::string& name) {
  return std::filesystem::temp_directory_path() / ("kro-payload-win-" + name);
}

// A PE32 image with one section and one payload file behind it.
std::vector<uint8_t> package(const std::string& content) {
  std::vector<uint8_t> b(0x300, 0);
  b[0] = 'M';
  b[1] = 'Z';
  b[0x3C] = 0x80;
  b[0x80] = 'P';
  b[0x81] = 'E';
  b[0x86] = 1;          // one section
  b[0x80 + 20] = 224;   // SizeOfOptionalHeader
  b[0x80 + 24] = 0x0B;  // PE32 magic 0x10B
  b[0x80 + 25] = 0x01;
  b[0x80 + 24 + 92] = 16;  // NumberOfRvaAndSizes
  const size_t section = 0x80 + 24 + 224;
  b[section + 17] = 0x01;  // SizeOfRawData 0x100
  b[section + 21] = 0x02;  // PointerToRawData 0x200
  kro::sfx::payload_writer w(b, b.size());
  w.add_file(L"file.txt", reinterpret_cast<const uint8_t*>(content.data()), content.size(), 1);
  w.add_end();
  return b;
}

void write(const std::filesystem::path& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  ASSERT_TRUE(out.good());
}

HANDLE try_open(const std::filesystem::path& path, DWORD access, DWORD share) {
  return CreateFileW(path.wstring().c_str(), access, share, nullptr, OPEN_EXISTING, 0, nullptr);
}

TEST(payload_win32, executable_handle_is_inheritable_and_refuses_writers) {
  const auto exe = temp_path("exe");
  write(exe, package("content"));
  {
    kro::sfx::executable_image image = kro::sfx::open_executable(exe.wstring());
    DWORD flags = 0;
    ASSERT_TRUE(GetHandleInformation(image.file->get(), &flags));
    EXPECT_TRUE(flags & HANDLE_FLAG_INHERIT);

    // Nobody may write to the file while it is held; readers may.
    HANDLE writer = try_open(exe, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
    EXPECT_EQ(writer, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    if (writer != INVALID_HANDLE_VALUE) CloseHandle(writer);
    HANDLE reader = try_open(exe, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
    EXPECT_NE(reader, INVALID_HANDLE_VALUE);
    if (reader != INVALID_HANDLE_VALUE) CloseHandle(reader);

    kro::sfx::sfx_data data;
    data.info = kro::sfx::morrow_info::factory().create();
    auto files = kro::sfx::payload::factory().create_from(std::move(image), data);
    const std::vector<uint8_t> bytes = files->find_by_alias(L"file.txt")->unpack_to_memory();
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()), "content");
  }
  // Everything is closed with the payload: the file can be written again.
  HANDLE writer = try_open(exe, GENERIC_WRITE, 0);
  EXPECT_NE(writer, INVALID_HANDLE_VALUE) << GetLastError();
  if (writer != INVALID_HANDLE_VALUE) CloseHandle(writer);
  std::filesystem::remove(exe);
}

TEST(payload_win32, failed_check_removes_the_target_through_its_handle) {
  const auto exe = temp_path("bad");
  std::vector<uint8_t> bytes = package("content");
  bytes[0x300 + 24] ^= 0xFF;  // the stored digest no longer matches
  write(exe, bytes);
  const auto target = temp_path("target");
  write(target, {'o', 'l', 'd'});
  {
    kro::sfx::sfx_data data;
    data.info = kro::sfx::morrow_info::factory().create();
    auto files = kro::sfx::payload::factory().create(exe.wstring(), data);
    try {
      files->find_by_alias(L"file.txt")->unpack_to_file(target.wstring());
      ADD_FAILURE() << "wrong checksum accepted";
    } catch (const kro::exceptions::error& e) {
      EXPECT_EQ(e.code(), 13);
    }
    EXPECT_FALSE(std::filesystem::exists(target));

    // A target someone else holds open without sharing cannot be replaced.
    HANDLE held = CreateFileW(target.wstring().c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    try {
      files->find_by_alias(L"file.txt")->unpack_to_file(target.wstring());
      ADD_FAILURE() << "held target replaced";
    } catch (const kro::exceptions::error& e) {
      EXPECT_EQ(e.code(), ERROR_SHARING_VIOLATION);
      EXPECT_NE(std::string(e.what()).find("Unable to create file '"), std::string::npos) << e.what();
    }
    CloseHandle(held);
  }
  std::filesystem::remove(target);
  std::filesystem::remove(exe);
}

}  // namespace
