// The log folder under Wine: the access list the program builds, entry by
// entry; the common application data folder from both registry forms of an
// empty value; and the folders' creation and checks on a real file system,
// with the facts the system reports replaced where Wine cannot show them
// (Wine keeps no stored access lists: it makes one up from the Unix mode,
// owned by the program's user).
#include "sfx/log_folder.h"

#include <gtest/gtest.h>
// clang-format off
#include <windows.h>
#include <sddl.h>  // needs <windows.h> first
#include <shlobj.h>
// clang-format on

#include <filesystem>
#include <functional>
#include <string>

#include "exceptions/exceptions.h"
#include "files/access_check.h"
#include "root/random.h"
#include "sfx/failure_policy.h"
#include "sfx/temp_dir.h"
#include "text/text.h"

namespace kro::sfx::log_folder {
namespace {

namespace access = files::access;
using access::entry_facts;
using access::trustee;
using text::to_utf8;

access::unique_descriptor descriptor_of(const wchar_t* sddl) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor, nullptr)) {
    ADD_FAILURE() << to_utf8(sddl) << " " << GetLastError();
    return nullptr;
  }
  return access::unique_descriptor(descriptor);
}

TEST(log_folder_win, private_access_list_entry_by_entry) {
  const access::unique_descriptor built = access::private_folder_descriptor();
  ASSERT_TRUE(built);
  const entry_facts facts = access::facts_of_descriptor(built.get(), nullptr);
  ASSERT_TRUE(facts.has_dacl);
  EXPECT_TRUE(facts.dacl_protected);
  ASSERT_EQ(facts.dacl.size(), 3u);
  struct expected {
    trustee who;
    uint32_t mask;
  };
  const expected entries[] = {{trustee::local_system, GENERIC_ALL},
                              {trustee::administrators, GENERIC_ALL},
                              {trustee::users, GENERIC_READ | GENERIC_EXECUTE}};
  for (size_t i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(facts.dacl[i].kind, access::entry_kind::allow);
    EXPECT_EQ(facts.dacl[i].flags, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE);
    EXPECT_EQ(facts.dacl[i].mask, entries[i].mask);
    EXPECT_EQ(facts.dacl[i].who, entries[i].who);
  }
  EXPECT_TRUE(access::is_private_folder_list(facts));
  // With the owner an elevated run gives what it creates, the folder passes
  // its own check.
  entry_facts as_created = facts;
  as_created.attributes = FILE_ATTRIBUTE_DIRECTORY;
  as_created.owner = trustee::administrators;
  EXPECT_EQ(access::judge_folder(as_created), access::verdict::accepted);

  // The temporary folder is made with the same list.
  void* temp = detail::make_temp_dir_security_descriptor();
  ASSERT_NE(temp, nullptr);
  EXPECT_TRUE(access::is_private_folder_list(access::facts_of_descriptor(temp, nullptr)));
  LocalFree(temp);
}

TEST(log_folder_win, identifiers_are_sorted_into_their_kinds) {
  const access::unique_descriptor user = descriptor_of(L"O:S-1-5-21-1-2-3-1000");
  ASSERT_TRUE(user);
  PSID run_user = nullptr;
  BOOL defaulted = FALSE;
  ASSERT_TRUE(GetSecurityDescriptorOwner(user.get(), &run_user, &defaulted));

  const access::unique_descriptor d = descriptor_of(
      L"O:S-1-5-21-1-2-3-1000D:(A;;FA;;;SY)(A;;FA;;;BA)(A;;FA;;;S-1-5-21-1-2-3-1000)(A;OICIIO;FA;;;CO)"
      L"(A;;0x1200a9;;;BU)(A;CI;0x1301bf;;;WD)(A;;FW;;;AU)(D;;FA;;;WD)(A;;FA;;;S-1-5-21-1-2-3-1001)"
      L"(A;;FA;;;S-1-5-32-547)");
  ASSERT_TRUE(d);
  const entry_facts facts = access::facts_of_descriptor(d.get(), run_user);
  EXPECT_EQ(facts.owner, trustee::run_user);
  EXPECT_FALSE(facts.dacl_protected);
  const trustee kinds[] = {trustee::local_system,
                           trustee::administrators,
                           trustee::run_user,
                           trustee::creator_owner,
                           trustee::users,
                           trustee::everyone,
                           trustee::authenticated_users,
                           trustee::everyone,
                           trustee::other,
                           trustee::other};
  ASSERT_EQ(facts.dacl.size(), std::size(kinds));
  for (size_t i = 0; i < std::size(kinds); ++i) EXPECT_EQ(facts.dacl[i].who, kinds[i]) << i;
  EXPECT_EQ(facts.dacl[3].flags, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE | INHERIT_ONLY_ACE);
  EXPECT_EQ(facts.dacl[5].mask, 0x1301bfu);
  EXPECT_EQ(facts.dacl[7].kind, access::entry_kind::deny);
  EXPECT_EQ(access::judge_folder(entry_facts{FILE_ATTRIBUTE_DIRECTORY, 1, true, facts.owner, facts.has_dacl,
                                             facts.dacl_protected, facts.dacl}),
            access::verdict::open_access);

  // Without a run user the same identifier is somebody else's.
  EXPECT_EQ(access::facts_of_descriptor(d.get(), nullptr).owner, trustee::other);
  EXPECT_EQ(access::facts_of_descriptor(descriptor_of(L"O:SYD:").get(), nullptr).owner,
            trustee::local_system);
  // No access list at all: everyone may do anything.
  const entry_facts no_list = access::facts_of_descriptor(descriptor_of(L"O:BA").get(), nullptr);
  EXPECT_EQ(no_list.owner, trustee::administrators);
  EXPECT_FALSE(no_list.has_dacl);
  SECURITY_DESCRIPTOR null_list{};
  ASSERT_TRUE(InitializeSecurityDescriptor(&null_list, SECURITY_DESCRIPTOR_REVISION));
  ASSERT_TRUE(SetSecurityDescriptorDacl(&null_list, TRUE, nullptr, FALSE));
  EXPECT_FALSE(access::facts_of_descriptor(&null_list, nullptr).has_dacl);
}

// --- The common application data folder --------------------------------------

// The registry value the fake reads instead of the system's, under the
// current user's key.
constexpr wchar_t test_key[] = L"Software\\kro-tests\\log-folder";
bool g_registry_asked_right = true;
std::wstring g_shell_answer;  // empty: the shell fails

HRESULT WINAPI fake_shell(HWND, int folder, HANDLE, DWORD, LPWSTR path) {
  if (folder != CSIDL_COMMON_APPDATA || g_shell_answer.empty()) return E_FAIL;
  if (g_shell_answer == L"<empty>") {
    path[0] = L'\0';
  } else {
    wcsncpy(path, g_shell_answer.c_str(), MAX_PATH);
  }
  return S_OK;
}

LSTATUS WINAPI fake_registry(HKEY key, LPCWSTR sub_key, LPCWSTR value, DWORD flags, LPDWORD type, PVOID data,
                             LPDWORD bytes) {
  if (key != HKEY_LOCAL_MACHINE ||
      std::wstring(sub_key) != L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders" ||
      std::wstring(value) != L"Common AppData") {
    g_registry_asked_right = false;
  }
  return RegGetValueW(HKEY_CURRENT_USER, test_key, value, flags, type, data, bytes);
}

class registry_value {
 public:
  registry_value() {
    RegDeleteKeyW(HKEY_CURRENT_USER, test_key);
    EXPECT_EQ(
        RegCreateKeyExW(HKEY_CURRENT_USER, test_key, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &m_key, nullptr),
        ERROR_SUCCESS);
  }
  ~registry_value() {
    RegCloseKey(m_key);
    RegDeleteKeyW(HKEY_CURRENT_USER, test_key);
  }
  registry_value(const registry_value&) = delete;
  registry_value& operator=(const registry_value&) = delete;

  // Sets the value to exactly these bytes (REG_SZ); null removes it.
  void set(const void* bytes, DWORD size) {
    if (!bytes) {
      RegDeleteValueW(m_key, L"Common AppData");
      return;
    }
    ASSERT_EQ(RegSetValueExW(m_key, L"Common AppData", 0, REG_SZ, static_cast<const BYTE*>(bytes), size),
              ERROR_SUCCESS);
  }

 private:
  HKEY m_key = nullptr;
};

TEST(log_folder_win, common_folder_from_the_registry_must_be_a_full_path) {
  registry_value value;
  api functions = system_api();
  functions.get_folder_path = fake_shell;
  functions.get_registry_value = fake_registry;

  struct row {
    const char* name;
    std::wstring stored;  // the value's characters, without the ending zero
    DWORD size;           // bytes stored
    bool present;
    int32_t code;  // 0: the value is the folder
  };
  const std::wstring folder = L"D:\\Data\\Common";
  const row rows[] = {
      {"zero-length string", L"", 0, true, ERROR_FILE_NOT_FOUND},
      {"empty string", L"", 2, true, ERROR_FILE_NOT_FOUND},
      {"missing value", L"", 0, false, ERROR_FILE_NOT_FOUND},
      {"relative", L"ProgramData", 24, true, ERROR_BAD_PATHNAME},
      {"root of the current drive", L"\\ProgramData", 26, true, ERROR_BAD_PATHNAME},
      {"relative to a drive", L"C:ProgramData", 28, true, ERROR_BAD_PATHNAME},
      {"full path", folder, static_cast<DWORD>((folder.size() + 1) * 2), true, 0},
      {"full path without ending zero", folder, static_cast<DWORD>(folder.size() * 2), true, 0},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.name);
    value.set(r.present ? r.stored.c_str() : nullptr, r.size);
    g_registry_asked_right = true;
    try {
      const std::wstring got = common_app_data(functions);
      EXPECT_EQ(r.code, 0) << to_utf8(got);
      EXPECT_EQ(to_utf8(got), to_utf8(r.stored));
    } catch (const kro::exceptions::error& e) {
      EXPECT_EQ(e.code(), r.code) << e.what();
      const failure_outcome outcome = classify_failure(std::current_exception());
      EXPECT_NE(outcome.exit_code, 0);
      EXPECT_EQ(outcome.exit_code, r.code);
    }
    EXPECT_TRUE(g_registry_asked_right);
  }

  // The shell's answer wins when it is a full path; an empty or relative
  // one sends the program to the registry.
  value.set(folder.c_str(), static_cast<DWORD>((folder.size() + 1) * 2));
  g_shell_answer = L"C:\\ProgramData";
  EXPECT_EQ(to_utf8(common_app_data(functions)), "C:\\ProgramData");
  g_shell_answer = L"<empty>";
  EXPECT_EQ(to_utf8(common_app_data(functions)), to_utf8(folder));
  g_shell_answer = L"ProgramData";
  EXPECT_EQ(to_utf8(common_app_data(functions)), to_utf8(folder));
  g_shell_answer.clear();
}

TEST(log_folder_win, system_answers_a_full_path) {
  const std::wstring common = common_app_data(system_api());
  EXPECT_TRUE(is_absolute_folder(common)) << to_utf8(common);
}

// --- Creating and checking the folders --------------------------------------

// A private common folder for one test, removed afterwards.
class common_folder {
 public:
  common_folder()
      : m_root(std::filesystem::temp_directory_path() / (L"kro-log-folder-" + root::new_guid_text())) {}
  ~common_folder() {
    std::error_code ignored;
    std::filesystem::remove_all(m_root, ignored);
  }
  common_folder(const common_folder&) = delete;
  common_folder& operator=(const common_folder&) = delete;

  // Not yet there: the preparation creates it.
  std::wstring common() const { return (m_root / L"ProgramData").wstring(); }
  std::wstring company() const { return common() + L"\\Orvex Software"; }
  std::wstring morrow() const { return company() + L"\\Morrow"; }
  std::wstring logs() const { return morrow() + L"\\Logs"; }
  std::wstring log_file() const { return logs() + L"\\sfx.log"; }

 private:
  std::filesystem::path m_root;
};

bool is_folder(const std::wstring& path) {
  const DWORD a = GetFileAttributesW(path.c_str());
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

void put_file(const std::wstring& path, const std::string& bytes) {
  HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE) << to_utf8(path);
  DWORD written = 0;
  WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  CloseHandle(h);
}

std::string file_text(const std::wstring& path) {
  std::string out;
  HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, 7, nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return "<missing>";
  char buffer[4096];
  DWORD got = 0;
  while (ReadFile(h, buffer, sizeof(buffer), &got, nullptr) && got > 0) out.append(buffer, got);
  CloseHandle(h);
  return out;
}

// Gives an existing entry an access list (Wine turns it into the Unix mode).
void set_list(const std::wstring& path, const wchar_t* sddl) {
  const access::unique_descriptor d = descriptor_of(sddl);
  ASSERT_TRUE(d);
  ASSERT_TRUE(SetFileSecurityW(path.c_str(), DACL_SECURITY_INFORMATION, d.get())) << GetLastError();
}

access::verdict verdict_of_folder(const std::wstring& path) {
  HANDLE h = CreateFileW(path.c_str(), READ_CONTROL | FILE_READ_ATTRIBUTES, 7, nullptr, OPEN_EXISTING,
                         FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h == INVALID_HANDLE_VALUE) return access::verdict::link;
  entry_facts facts;
  const uint32_t error = access::read_entry(h, path, facts);
  CloseHandle(h);
  EXPECT_EQ(error, 0u);
  return access::judge_folder(facts);
}

TEST(log_folder_win, folders_are_created_and_used_again) {
  common_folder place;
  for (int run = 0; run < 2; ++run) {
    SCOPED_TRACE(run);
    const prepared got = prepare(system_api(), place.common(), L"Orvex Software");
    EXPECT_TRUE(got.usable) << got.refusal;
    EXPECT_EQ(got.refusal, "");
    EXPECT_TRUE(got.notes.empty());
    EXPECT_EQ(to_utf8(got.log_file), to_utf8(place.log_file()));
    for (const std::wstring& folder : {place.company(), place.morrow(), place.logs()}) {
      EXPECT_TRUE(is_folder(folder)) << to_utf8(folder);
      EXPECT_EQ(verdict_of_folder(folder), access::verdict::accepted) << to_utf8(folder);
    }
    if (run == 0) put_file(place.log_file(), "\xEF\xBB\xBFkept\r\n");
  }
  EXPECT_EQ(file_text(place.log_file()), "\xEF\xBB\xBFkept\r\n");
}

TEST(log_folder_win, open_folder_is_reset_and_open_file_refused) {
  common_folder place;
  ASSERT_TRUE(prepare(system_api(), place.common(), L"Orvex Software").usable);

  // Everyone may change the company folder: its own list is reset.
  set_list(place.company(), L"D:(A;OICI;FA;;;WD)(A;OICI;FA;;;SY)");
  ASSERT_EQ(verdict_of_folder(place.company()), access::verdict::open_access) << "the test's own list";
  prepared got = prepare(system_api(), place.common(), L"Orvex Software");
  EXPECT_TRUE(got.usable) << got.refusal;
  ASSERT_EQ(got.notes.size(), 1u);
  EXPECT_NE(got.notes[0].find(to_utf8(place.company())), std::string::npos) << got.notes[0];
  EXPECT_EQ(verdict_of_folder(place.company()), access::verdict::accepted);

  // A log file everyone may change is not used, and left as it is.
  put_file(place.log_file(), "\xEF\xBB\xBFtheirs\r\n");
  set_list(place.log_file(), L"D:(A;;FA;;;WD)(A;;FA;;;SY)");
  got = prepare(system_api(), place.common(), L"Orvex Software");
  EXPECT_FALSE(got.usable);
  EXPECT_NE(got.refusal.find(to_utf8(place.log_file())), std::string::npos) << got.refusal;
  EXPECT_NE(got.refusal.find("access list"), std::string::npos) << got.refusal;
  EXPECT_EQ(file_text(place.log_file()), "\xEF\xBB\xBFtheirs\r\n");
}

// What the process passes to OutputDebugStringA: the call raises
// DBG_PRINTEXCEPTION_C, which a vectored handler sees first.
class debugger_capture {
 public:
  debugger_capture() : m_handler(AddVectoredExceptionHandler(1, &on_exception)) { s_text.clear(); }
  ~debugger_capture() { RemoveVectoredExceptionHandler(m_handler); }
  debugger_capture(const debugger_capture&) = delete;
  debugger_capture& operator=(const debugger_capture&) = delete;
  const std::string& text() const { return s_text; }

 private:
  static LONG CALLBACK on_exception(EXCEPTION_POINTERS* info) {
    const EXCEPTION_RECORD* r = info->ExceptionRecord;
    if (r->ExceptionCode == DBG_PRINTEXCEPTION_C && r->NumberParameters >= 2) {
      const auto* text = reinterpret_cast<const char*>(r->ExceptionInformation[1]);
      const size_t n = r->ExceptionInformation[0];
      if (text && n > 0) s_text.append(text, n - 1);
    }
    return EXCEPTION_CONTINUE_SEARCH;
  }
  static inline std::string s_text;
  PVOID m_handler;
};

TEST(log_folder_win, wrong_kinds_are_refused) {
  {
    common_folder place;
    ASSERT_TRUE(std::filesystem::create_directories(place.morrow()));
    put_file(place.logs(), "a file named like the folder");
    debugger_capture debugger;
    const prepared got = prepare(system_api(), place.common(), L"Orvex Software");
    EXPECT_FALSE(got.usable);
    EXPECT_NE(got.refusal.find(to_utf8(place.logs())), std::string::npos) << got.refusal;
    EXPECT_EQ(debugger.text(), got.refusal + "\n") << "the refusal goes to the debugger output";
    EXPECT_EQ(file_text(place.logs()), "a file named like the folder");
  }
  {
    common_folder place;
    ASSERT_TRUE(std::filesystem::create_directories(place.log_file()));
    const prepared got = prepare(system_api(), place.common(), L"Orvex Software");
    EXPECT_FALSE(got.usable);
    EXPECT_NE(got.refusal.find(to_utf8(place.log_file())), std::string::npos) << got.refusal;
  }
}

// What the fake reports: the real facts, changed for the entry whose path
// ends in `suffix` (until a reset when `reset_clears`).
struct fake_plan {
  std::wstring suffix;
  std::function<void(entry_facts&)> change;
  bool reset_clears = false;
  uint32_t reset_error = 0;
};
fake_plan g_plan;
int g_resets = 0;

bool ends_with(const std::wstring& path, const std::wstring& suffix) {
  return path.size() >= suffix.size() &&
         path.compare(path.size() - suffix.size(), suffix.size(), suffix) == 0;
}

uint32_t fake_read(void* handle, const std::wstring& path, entry_facts& facts) {
  const uint32_t error = access::read_entry(handle, path, facts);
  if (error == 0 && ends_with(path, g_plan.suffix) && !(g_plan.reset_clears && g_resets > 0)) {
    g_plan.change(facts);
  }
  return error;
}

uint32_t fake_protect(void* handle) {
  ++g_resets;
  if (g_plan.reset_error != 0) return g_plan.reset_error;
  return access::protect_folder(handle);
}

TEST(log_folder_win, refusals_entry_by_entry) {
  const auto owned_by = [](trustee who) { return [who](entry_facts& f) { f.owner = who; }; };
  const auto writable_for = [](trustee who, uint32_t mask) {
    return [who, mask](entry_facts& f) { f.dacl.push_back({access::entry_kind::allow, 0, mask, who}); };
  };
  const auto reparse = [](entry_facts& f) { f.attributes |= FILE_ATTRIBUTE_REPARSE_POINT; };
  const auto two_names = [](entry_facts& f) { f.links = 2; };

  struct row {
    const char* name;
    const wchar_t* suffix;
    std::function<void(entry_facts&)> change;
    bool reset_clears;
    uint32_t reset_error;
    bool usable;
    int resets;
  };
  const row rows[] = {
      {"foreign owner of the company folder", L"\\Orvex Software", owned_by(trustee::other), false, 0, false,
       0},
      {"users own Morrow", L"\\Morrow", owned_by(trustee::users), false, 0, false, 0},
      {"foreign owner of Logs", L"\\Logs", owned_by(trustee::other), false, 0, false, 0},
      {"foreign owner of the log", L"\\sfx.log", owned_by(trustee::other), false, 0, false, 0},
      {"company folder is a link", L"\\Orvex Software", reparse, false, 0, false, 0},
      {"Logs is a link", L"\\Logs", reparse, false, 0, false, 0},
      {"the log is a link", L"\\sfx.log", reparse, false, 0, false, 0},
      {"the log has two names", L"\\sfx.log", two_names, false, 0, false, 0},
      {"users may create in Logs, reset", L"\\Logs", writable_for(trustee::users, FILE_ADD_SUBDIRECTORY),
       true, 0, true, 1},
      {"everyone may write Morrow, reset", L"\\Morrow", writable_for(trustee::everyone, FILE_WRITE_DATA),
       true, 0, true, 1},
      {"authenticated users may delete, reset", L"\\Orvex Software",
       writable_for(trustee::authenticated_users, DELETE), true, 0, true, 1},
      {"reset fails", L"\\Logs", writable_for(trustee::users, FILE_ADD_FILE), true, ERROR_ACCESS_DENIED,
       false, 1},
      {"still open after the reset", L"\\Logs", writable_for(trustee::everyone, WRITE_DAC), false, 0, false,
       1},
      {"users may write the log", L"\\sfx.log", writable_for(trustee::users, FILE_WRITE_DATA), false, 0,
       false, 0},
      {"everyone may append to the log", L"\\sfx.log", writable_for(trustee::everyone, FILE_APPEND_DATA),
       false, 0, false, 0},
      {"authenticated users may take the log", L"\\sfx.log",
       writable_for(trustee::authenticated_users, WRITE_OWNER), false, 0, false, 0},
  };

  api functions = system_api();
  functions.read_entry = fake_read;
  functions.protect_folder = fake_protect;
  for (const row& r : rows) {
    SCOPED_TRACE(r.name);
    common_folder place;
    // The log file exists, so that its own check runs.
    ASSERT_TRUE(prepare(system_api(), place.common(), L"Orvex Software").usable);
    put_file(place.log_file(), "\xEF\xBB\xBFmark\r\n");
    g_plan = {r.suffix, r.change, r.reset_clears, r.reset_error};
    g_resets = 0;
    const prepared got = prepare(functions, place.common(), L"Orvex Software");
    EXPECT_EQ(got.usable, r.usable) << got.refusal;
    EXPECT_EQ(g_resets, r.resets);
    if (r.usable) {
      EXPECT_EQ(got.notes.size(), 1u);
    } else {
      const std::string path = to_utf8(place.common() + L"\\Orvex Software");
      EXPECT_NE(got.refusal.find(path), std::string::npos) << got.refusal;
      EXPECT_NE(got.refusal.find("without a log file"), std::string::npos) << got.refusal;
    }
    EXPECT_EQ(file_text(place.log_file()), "\xEF\xBB\xBFmark\r\n");
  }

  // Nothing is created below a refused folder.
  common_folder fresh;
  g_plan = {L"\\Morrow", owned_by(trustee::other), false, 0};
  g_resets = 0;
  EXPECT_FALSE(prepare(functions, fresh.common(), L"Orvex Software").usable);
  EXPECT_TRUE(is_folder(fresh.morrow()));
  EXPECT_FALSE(is_folder(fresh.logs()));
}

}  // namespace
}  // namespace kro::sfx::log_folder
