// The run's temporary folder on a real file system under Wine: its place and
// name, the access list it is created with, removal of a tree with read-only
// and locked files (the delete-at-restart fallback), keeping it with xperf,
// and links inside it that removal must not follow.
#include "sfx/temp_dir.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "../unit/pe_fixture.h"
#include "text/text.h"

namespace {

using kro::test::log_capture;
using kro::text::to_utf8;

bool is_folder(const std::wstring& path) {
  const DWORD a = GetFileAttributesW(path.c_str());
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}
bool exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

void put_file(const std::wstring& path, const std::string& bytes = "data") {
  HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE) << to_utf8(path) << " " << GetLastError();
  DWORD written = 0;
  WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  CloseHandle(h);
}

std::unique_ptr<kro::sfx::temp_dir_intf> make_folder(bool remove_at_end) {
  kro::sfx::temp_dir::factory factory;
  return factory.create(remove_at_end);
}

std::wstring temp_root() {
  wchar_t windows[MAX_PATH] = {};
  GetWindowsDirectoryW(windows, MAX_PATH);
  return std::wstring(windows) + L"\\Temp\\";
}

// The restart list: REG_MULTI_SZ pairs (source, target; an empty target means
// delete). Saved at construction and put back at destruction, so the tests
// leave the prefix's list as they found it.
class pending_renames {
 public:
  pending_renames() { m_saved = read(&m_present); }
  ~pending_renames() {
    HKEY key = open();
    if (!key) return;
    if (m_present) {
      RegSetValueExW(key, value_name, 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(m_saved.data()),
                     static_cast<DWORD>(m_saved.size() * sizeof(wchar_t)));
    } else {
      RegDeleteValueW(key, value_name);
    }
    RegCloseKey(key);
  }
  pending_renames(const pending_renames&) = delete;
  pending_renames& operator=(const pending_renames&) = delete;

  // The sources scheduled for deletion, in order.
  static std::vector<std::wstring> deletions() {
    bool present = false;
    const std::wstring all = read(&present);
    std::vector<std::wstring> strings;
    for (size_t at = 0; at < all.size();) {
      const size_t end = all.find(L'\0', at);
      strings.push_back(all.substr(at, end == std::wstring::npos ? std::wstring::npos : end - at));
      if (end == std::wstring::npos) break;
      at = end + 1;
    }
    std::vector<std::wstring> out;
    for (size_t i = 0; i + 1 < strings.size(); i += 2) {
      if (!strings[i].empty() && strings[i + 1].empty()) out.push_back(strings[i]);
    }
    return out;
  }

 private:
  static constexpr const wchar_t* value_name = L"PendingFileRenameOperations";
  static HKEY open() {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\Session Manager", 0,
                      KEY_READ | KEY_SET_VALUE, &key) != ERROR_SUCCESS) {
      return nullptr;
    }
    return key;
  }
  static std::wstring read(bool* present) {
    *present = false;
    HKEY key = open();
    if (!key) return {};
    DWORD type = 0, size = 0;
    std::wstring out;
    if (RegQueryValueExW(key, value_name, nullptr, &type, nullptr, &size) == ERROR_SUCCESS) {
      out.resize(size / sizeof(wchar_t));
      if (RegQueryValueExW(key, value_name, nullptr, &type, reinterpret_cast<BYTE*>(out.data()), &size) ==
          ERROR_SUCCESS) {
        *present = true;
        out.resize(size / sizeof(wchar_t));
      }
    }
    RegCloseKey(key);
    return out;
  }

  std::wstring m_saved;
  bool m_present = false;
};

// Index of the entry that names path (the list holds "\??\" paths); -1 when
// absent.
int position_of(const std::vector<std::wstring>& list, const std::wstring& path) {
  for (size_t i = 0; i < list.size(); ++i) {
    const std::wstring& entry = list[i];
    const std::wstring bare = entry.rfind(L"\\??\\", 0) == 0 ? entry.substr(4) : entry;
    if (kro::text::equals_nocase(bare, path)) return static_cast<int>(i);
  }
  return -1;
}

TEST(temp_dir, folders_are_private_named_and_removed) {
  log_capture log;
  std::wstring first_path, second_path;
  {
    const auto first = make_folder(true);
    const auto second = make_folder(true);
    first_path = first->get_path();
    second_path = second->get_path();
    EXPECT_NE(first_path, second_path);
    for (const std::wstring& path : {first_path, second_path}) {
      SCOPED_TRACE(to_utf8(path));
      const std::wstring prefix = temp_root() + L"kro-";
      ASSERT_EQ(path.size(), prefix.size() + 36);
      EXPECT_TRUE(kro::text::equals_nocase(path.substr(0, prefix.size()), prefix));
      EXPECT_TRUE(kro::text::equals_nocase(prefix.substr(0, 20), L"C:\\windows\\Temp\\kro-"));
      const std::wstring guid = path.substr(prefix.size());
      for (size_t i = 0; i < guid.size(); ++i) {
        const bool hyphen = i == 8 || i == 13 || i == 18 || i == 23;
        EXPECT_EQ(guid[i] == L'-', hyphen) << i;
        if (!hyphen) {
          EXPECT_TRUE(std::wcschr(L"0123456789abcdef", guid[i])) << i;
        }
      }
      EXPECT_TRUE(is_folder(path));
    }
    put_file(first_path + L"\\file.txt");
  }
  EXPECT_FALSE(exists(first_path));
  EXPECT_FALSE(exists(second_path));
  const std::string text = log.text();
  for (const std::wstring& path : {first_path, second_path}) {
    const std::string p = to_utf8(path);
    EXPECT_NE(text.find("SFX temp folder '" + p + "' created."), std::string::npos) << text;
    EXPECT_NE(text.find("SFX temp folder '" + p + "' deleted."), std::string::npos) << text;
    EXPECT_NE(text.find("Temp folder (" + p + ") deleted"), std::string::npos) << text;
  }
}

// The descriptor as the program builds it: a protected DACL with exactly the
// three entries, each inherited by files and subfolders. (Wine does not store
// descriptors on its files, so the folder's own one cannot be read back here.)
TEST(temp_dir, security_descriptor_entries) {
  struct expected_ace {
    WELL_KNOWN_SID_TYPE sid;
    ACCESS_MASK mask;
    const char* name;
  };
  static constexpr expected_ace expected[] = {
      {WinLocalSystemSid, GENERIC_ALL, "LocalSystem: full access"},
      {WinBuiltinAdministratorsSid, GENERIC_ALL, "Administrators: full access"},
      {WinBuiltinUsersSid, GENERIC_READ | GENERIC_EXECUTE, "Users: read and execute"},
  };
  void* raw = kro::sfx::detail::make_temp_dir_security_descriptor();
  ASSERT_NE(raw, nullptr);
  const std::unique_ptr<void, decltype(&LocalFree)> descriptor(raw, &LocalFree);

  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  ASSERT_TRUE(GetSecurityDescriptorControl(descriptor.get(), &control, &revision));
  EXPECT_TRUE(control & SE_DACL_PRESENT);
  EXPECT_TRUE(control & SE_DACL_PROTECTED);
  BOOL present = FALSE, defaulted = TRUE;
  ACL* dacl = nullptr;
  ASSERT_TRUE(GetSecurityDescriptorDacl(descriptor.get(), &present, &dacl, &defaulted));
  ASSERT_TRUE(present);
  ASSERT_NE(dacl, nullptr);
  ASSERT_EQ(dacl->AceCount, std::size(expected));
  for (DWORD i = 0; i < dacl->AceCount; ++i) {
    SCOPED_TRACE(expected[i].name);
    void* ace = nullptr;
    ASSERT_TRUE(GetAce(dacl, i, &ace));
    const auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
    EXPECT_EQ(allowed->Header.AceType, ACCESS_ALLOWED_ACE_TYPE);
    EXPECT_EQ(allowed->Header.AceFlags, CONTAINER_INHERIT_ACE | OBJECT_INHERIT_ACE);
    EXPECT_EQ(allowed->Mask, expected[i].mask);
    BYTE sid[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof(sid);
    ASSERT_TRUE(CreateWellKnownSid(expected[i].sid, nullptr, sid, &size));
    EXPECT_TRUE(EqualSid(const_cast<DWORD*>(&allowed->SidStart), sid));
  }
}

TEST(temp_dir, kept_with_xperf) {
  log_capture log;
  std::wstring path;
  {
    const auto folder = make_folder(false);
    path = folder->get_path();
    put_file(path + L"\\trace.etl");
  }
  EXPECT_TRUE(exists(path + L"\\trace.etl"));
  EXPECT_NE(log.text().find("Skipping temp folder (" + to_utf8(path) + ") delete"), std::string::npos);
  DeleteFileW((path + L"\\trace.etl").c_str());
  RemoveDirectoryW(path.c_str());
}

// Read-only, hidden and system files and a read-only subfolder all go.
TEST(temp_dir, tree_with_protected_entries_is_removed) {
  std::wstring path;
  {
    const auto folder = make_folder(true);
    path = folder->get_path();
    const std::wstring sub = path + L"\\sub";
    const std::wstring deep = sub + L"\\deep";
    ASSERT_TRUE(CreateDirectoryW(sub.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW(deep.c_str(), nullptr));
    put_file(path + L"\\readonly.bin");
    put_file(sub + L"\\hidden.bin");
    put_file(deep + L"\\system.bin");
    SetFileAttributesW((path + L"\\readonly.bin").c_str(), FILE_ATTRIBUTE_READONLY);
    SetFileAttributesW((sub + L"\\hidden.bin").c_str(), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_READONLY);
    SetFileAttributesW((deep + L"\\system.bin").c_str(), FILE_ATTRIBUTE_SYSTEM);
    SetFileAttributesW(deep.c_str(), FILE_ATTRIBUTE_READONLY);
  }
  EXPECT_FALSE(exists(path));
}

// A file held open without delete sharing survives both attempts; it and the
// folders above it go on the restart list (file first, so the folders are
// empty when their turn comes), the rest of the tree is removed, and the
// closing line is written all the same.
TEST(temp_dir, locked_file_goes_to_restart_list) {
  pending_renames restore;
  log_capture log;
  std::wstring path, sub, locked;
  HANDLE held = INVALID_HANDLE_VALUE;
  {
    const auto folder = make_folder(true);
    path = folder->get_path();
    sub = path + L"\\sub";
    locked = sub + L"\\locked.bin";
    ASSERT_TRUE(CreateDirectoryW(sub.c_str(), nullptr));
    put_file(sub + L"\\free.bin");
    put_file(path + L"\\other.bin");
    held = CreateFileW(locked.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
  }
  EXPECT_TRUE(exists(locked));
  EXPECT_FALSE(exists(sub + L"\\free.bin"));
  EXPECT_FALSE(exists(path + L"\\other.bin"));

  const auto list = pending_renames::deletions();
  const int file_at = position_of(list, locked);
  const int sub_at = position_of(list, sub);
  const int root_at = position_of(list, path);
  EXPECT_GE(file_at, 0);
  EXPECT_GT(sub_at, file_at);
  EXPECT_GT(root_at, sub_at);

  const std::string text = log.text();
  EXPECT_NE(text.find("Could not delete directory '" + to_utf8(sub) + "', "), std::string::npos) << text;
  EXPECT_NE(text.find("Could not delete directory '" + to_utf8(path) + "', "), std::string::npos) << text;
  EXPECT_NE(text.find("Temp folder (" + to_utf8(path) + ") deleted"), std::string::npos) << text;

  CloseHandle(held);
  DeleteFileW(locked.c_str());
  RemoveDirectoryW(sub.c_str());
  RemoveDirectoryW(path.c_str());
}

// Driven by tests/e2e/test_temp_dir_links.py, which alone can make Linux
// symbolic links inside the prefix (Wine shows them as reparse points). The
// test writes the folder path to $KRO_LINK_HANDSHAKE.path, waits for
// $KRO_LINK_HANDSHAKE.ready (the links are in place), then removes the folder;
// the script checks that the links' targets kept their contents.
TEST(temp_dir, links_inside_are_not_followed) {
  const char* handshake = std::getenv("KRO_LINK_HANDSHAKE");
  if (!handshake || !*handshake) GTEST_SKIP() << "run by tests/e2e/test_temp_dir_links.py";
  const std::wstring base = kro::text::from_utf8(handshake);
  std::wstring path;
  {
    const auto folder = make_folder(true);
    path = folder->get_path();
    put_file(path + L"\\own.bin");
    {
      std::ofstream out(std::filesystem::path(base + L".path"), std::ios::binary | std::ios::trunc);
      out << to_utf8(path);
    }
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!exists(base + L".ready")) {
      ASSERT_LT(std::chrono::steady_clock::now(), until) << "no links made";
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }
  EXPECT_FALSE(exists(path + L"\\own.bin"));
}

}  // namespace
