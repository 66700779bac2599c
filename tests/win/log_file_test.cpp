// The log file on a real file system under Wine: creation, the byte-order
// mark, CR LF line ends, rotation, foreign and locked files, concurrent
// writers and the closing records written at process exit.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "log/logger.h"
#include "root/random.h"
#include "text/text.h"

namespace {

using kro::log::Logger;

const std::string bom = "\xEF\xBB\xBF";

class handle {
 public:
  explicit handle(HANDLE h) : m_h(h) {}
  ~handle() {
    if (m_h != INVALID_HANDLE_VALUE) CloseHandle(m_h);
  }
  handle(const handle&) = delete;
  handle& operator=(const handle&) = delete;
  HANDLE get() const { return m_h; }
  explicit operator bool() const { return m_h != INVALID_HANDLE_VALUE; }

 private:
  HANDLE m_h;
};

std::string read_file(const std::wstring& path) {
  handle f(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       nullptr, OPEN_EXISTING, 0, nullptr));
  if (!f) return "<missing>";
  std::string out;
  char buffer[65536];
  DWORD got = 0;
  while (ReadFile(f.get(), buffer, sizeof(buffer), &got, nullptr) && got > 0) out.append(buffer, got);
  return out;
}

void write_file(const std::wstring& path, const std::string& bytes) {
  handle f(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
  ASSERT_TRUE(f) << GetLastError();
  DWORD written = 0;
  ASSERT_TRUE(WriteFile(f.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
  ASSERT_EQ(written, bytes.size());
}

// Collects what the process passes to OutputDebugStringA: the call raises
// DBG_PRINTEXCEPTION_C, which a vectored handler sees first.
class debugger_capture {
 public:
  debugger_capture() {
    s_current = this;
    m_handler = AddVectoredExceptionHandler(1, &on_exception);
  }
  ~debugger_capture() {
    RemoveVectoredExceptionHandler(m_handler);
    s_current = nullptr;
  }
  debugger_capture(const debugger_capture&) = delete;
  debugger_capture& operator=(const debugger_capture&) = delete;

  std::string text() {
    std::lock_guard<std::mutex> hold(m_lock);
    return m_text;
  }

 private:
  static LONG CALLBACK on_exception(EXCEPTION_POINTERS* info) {
    const EXCEPTION_RECORD* r = info->ExceptionRecord;
    if (r->ExceptionCode == DBG_PRINTEXCEPTION_C && r->NumberParameters >= 2 && s_current) {
      const auto* text = reinterpret_cast<const char*>(r->ExceptionInformation[1]);
      const size_t n = r->ExceptionInformation[0];
      std::lock_guard<std::mutex> hold(s_current->m_lock);
      if (text && n > 0) s_current->m_text.append(text, n - 1);
    }
    return EXCEPTION_CONTINUE_SEARCH;
  }

  static inline debugger_capture* s_current = nullptr;
  PVOID m_handler;
  std::mutex m_lock;
  std::string m_text;
};

// The lines of a file body (after the mark), each of which must end in CR LF.
std::vector<std::string> crlf_lines(const std::string& body) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < body.size()) {
    const size_t end = body.find("\r\n", start);
    if (end == std::string::npos) {
      ADD_FAILURE() << "unterminated line: " << body.substr(start);
      break;
    }
    lines.push_back(body.substr(start, end - start));
    EXPECT_EQ(lines.back().find('\n'), std::string::npos) << "bare line feed: " << lines.back();
    start = end + 2;
  }
  return lines;
}

// The message of a line, i.e. what follows "[...] [level  ] [tag        ] [pid:tid] ".
std::string message_of(const std::string& line) {
  const size_t ids = line.find("] [", 36 + 10);  // after the tag field
  const size_t end = ids == std::string::npos ? ids : line.find("] ", ids + 3);
  return end == std::string::npos ? "<malformed: " + line + ">" : line.substr(end + 2);
}

class log_file : public testing::Test {
 protected:
  void SetUp() override {
    wchar_t temp[MAX_PATH + 1];
    ASSERT_GT(GetTempPathW(MAX_PATH + 1, temp), 0u);
    m_dir = std::wstring(temp) + L"kro-log-" + kro::root::new_guid_text();
    ASSERT_TRUE(CreateDirectoryW(m_dir.c_str(), nullptr)) << GetLastError();
    m_log = path(L"sfx.log");
  }
  void TearDown() override {
    for (const std::wstring& name : names()) DeleteFileW(path(name.c_str()).c_str());
    RemoveDirectoryW(m_dir.c_str());
  }

  std::wstring path(const wchar_t* name) const { return m_dir + L"\\" + name; }

  std::vector<std::wstring> names() const {
    std::vector<std::wstring> out;
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((m_dir + L"\\*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) return out;
    do {
      const std::wstring name = data.cFileName;
      if (name != L"." && name != L"..") out.push_back(name);
    } while (FindNextFileW(find, &data));
    FindClose(find);
    std::sort(out.begin(), out.end());
    return out;
  }

  std::string names_text() const {
    std::string out;
    for (const auto& n : names()) out += kro::text::to_utf8(n) + " ";
    return out;
  }

  std::wstring m_dir;
  std::wstring m_log;
};

TEST_F(log_file, new_file_holds_the_mark_and_indented_crlf_lines) {
  debugger_capture debugger;
  {
    Logger l;
    l.set_log_file(m_log, 4194304, 0);
    EXPECT_EQ(read_file(m_log), bom);  // created through a temporary name that is gone again
    EXPECT_EQ(names_text(), "sfx.log ");

    l.logf(kro::log::info, "msfx", "first line\nsecond line");
    const std::string content = read_file(m_log);
    ASSERT_EQ(content.substr(0, 3), bom);
    const std::vector<std::string> lines = crlf_lines(content.substr(3));
    ASSERT_EQ(lines.size(), 2u) << content;
    EXPECT_EQ(lines[0].substr(0, 1), "[");
    EXPECT_EQ(lines[0].substr(25, 26), " [info   ] [msfx       ] [") << lines[0];
    const size_t column = lines[0].size() - std::string("first line").size();
    EXPECT_EQ(lines[0].substr(column), "first line");
    EXPECT_EQ(lines[1], std::string(column, ' ') + "second line");

    // A second logger (or process) appends to the same file meanwhile.
    Logger other;
    other.set_log_file(m_log, 4194304, 0);
    other.logf(kro::log::info, "other", "from the second");
    l.logf(kro::log::error, "msfx", "%s", "from the first again");
    const std::vector<std::string> all = crlf_lines(read_file(m_log).substr(3));
    ASSERT_EQ(all.size(), 4u);
    EXPECT_EQ(message_of(all[2]), "from the second");
    EXPECT_EQ(message_of(all[3]), "from the first again");
  }
  EXPECT_EQ(debugger.text().find("Unable"), std::string::npos) << debugger.text();
}

TEST_F(log_file, full_log_moves_to_old_replacing_an_older_one) {
  std::string full = bom;
  const std::string row(1022, 'a');
  while (full.size() < 4194304) full += row + "\r\n";
  write_file(m_log, full);
  write_file(path(L"sfx.log.old"), "older run");

  Logger l;
  l.set_debugger_level(kro::log::nothing);
  l.set_log_file(m_log, 4194304, 0);
  EXPECT_EQ(read_file(m_log).size(), full.size());  // opening alone does not rotate
  l.logf(kro::log::info, "msfx", "after rotation");

  EXPECT_EQ(names_text(), "sfx.log sfx.log.old ");
  EXPECT_TRUE(read_file(path(L"sfx.log.old")) == full) << "old file differs";
  const std::string fresh = read_file(m_log);
  ASSERT_EQ(fresh.substr(0, 3), bom);
  const std::vector<std::string> lines = crlf_lines(fresh.substr(3));
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(message_of(lines[0]), "after rotation");

  // Below the limit nothing moves.
  l.logf(kro::log::info, "msfx", "second");
  EXPECT_EQ(crlf_lines(read_file(m_log).substr(3)).size(), 2u);
  EXPECT_TRUE(read_file(path(L"sfx.log.old")) == full);
}

TEST_F(log_file, file_without_the_mark_is_moved_away_at_first_open) {
  struct test_case {
    const char* name;
    std::string content;
  };
  const test_case cases[] = {
      {"5 MiB of foreign text", std::string(5 * 1024 * 1024, 'x')},
      {"empty file", ""},
      {"cut mark", "\xEF\xBB"},
      {"UTF-16 mark",
       "\xFF\xFE"
       "a\0"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    write_file(m_log, c.content);
    Logger l;
    l.set_debugger_level(kro::log::nothing);
    l.set_log_file(m_log, 4194304, 0);
    EXPECT_EQ(names_text(), "sfx.log sfx.log.old ");
    EXPECT_TRUE(read_file(path(L"sfx.log.old")) == c.content);
    EXPECT_EQ(read_file(m_log), bom);
    l.logf(kro::log::info, "msfx", "x");
    EXPECT_EQ(crlf_lines(read_file(m_log).substr(3)).size(), 1u);
  }
}

// Records the FlushFileBuffers calls of this process: the executable's import
// of it is pointed at a recorder that notes the file and its size at that
// moment, then calls the system's function. The logger is linked into this
// executable, so its calls go through that import.
class flush_recorder {
 public:
  struct call {
    std::wstring path;
    int64_t size;  // of the file when it was flushed
  };

  flush_recorder() {
    m_slot = import_slot("kernel32.dll", "FlushFileBuffers");
    if (!m_slot) return;
    s_current = this;
    s_original = reinterpret_cast<flush_function>(*m_slot);
    set_slot(reinterpret_cast<void*>(&record));
  }
  ~flush_recorder() {
    if (!m_slot) return;
    set_slot(reinterpret_cast<void*>(s_original));
    s_current = nullptr;
  }
  flush_recorder(const flush_recorder&) = delete;
  flush_recorder& operator=(const flush_recorder&) = delete;

  bool installed() const { return m_slot != nullptr; }
  // The calls for files whose path ends in tail (case-insensitive).
  std::vector<call> calls_for(const std::wstring& tail) {
    std::lock_guard<std::mutex> hold(m_lock);
    std::vector<call> out;
    for (const call& c : m_calls) {
      if (c.path.size() >= tail.size() &&
          lstrcmpiW(c.path.c_str() + (c.path.size() - tail.size()), tail.c_str()) == 0)
        out.push_back(c);
    }
    return out;
  }

 private:
  using flush_function = BOOL(WINAPI*)(HANDLE);

  static BOOL WINAPI record(HANDLE file) {
    if (flush_recorder* self = s_current) {
      call c{std::wstring(MAX_PATH * 2, L'\0'), -1};
      const DWORD n = GetFinalPathNameByHandleW(file, c.path.data(), static_cast<DWORD>(c.path.size()), 0);
      c.path.resize(n < c.path.size() ? n : 0);
      LARGE_INTEGER size;
      if (GetFileSizeEx(file, &size)) c.size = size.QuadPart;
      std::lock_guard<std::mutex> hold(self->m_lock);
      self->m_calls.push_back(c);
    }
    return s_original(file);
  }

  // The import address table entry of dll!function in this executable.
  static void** import_slot(const char* dll, const char* function) {
    auto* base = reinterpret_cast<unsigned char*>(GetModuleHandleW(nullptr));
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    for (auto* d = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress); d->Name;
         ++d) {
      if (lstrcmpiA(reinterpret_cast<const char*>(base + d->Name), dll) != 0) continue;
      const auto* names = reinterpret_cast<const IMAGE_THUNK_DATA*>(
          base + (d->OriginalFirstThunk ? d->OriginalFirstThunk : d->FirstThunk));
      auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + d->FirstThunk);
      for (; names->u1.AddressOfData; ++names, ++slots) {
        if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
        const auto* by_name = reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
        if (std::strcmp(reinterpret_cast<const char*>(by_name->Name), function) == 0)
          return reinterpret_cast<void**>(&slots->u1.Function);
      }
    }
    return nullptr;
  }

  void set_slot(void* value) {
    DWORD protection = 0;
    VirtualProtect(m_slot, sizeof(void*), PAGE_READWRITE, &protection);
    *m_slot = value;
    VirtualProtect(m_slot, sizeof(void*), protection, &protection);
  }

  static inline flush_recorder* s_current = nullptr;
  static inline flush_function s_original = nullptr;
  void** m_slot = nullptr;
  std::mutex m_lock;
  std::vector<call> m_calls;
};

// FlushFileBuffers runs on the log file exactly for the records at or above
// the flush level, after the record was written.
TEST_F(log_file, records_at_or_above_the_flush_level_are_flushed_after_writing) {
  debugger_capture debugger;
  flush_recorder flushes;
  ASSERT_TRUE(flushes.installed());
  const std::wstring tail = m_dir.substr(m_dir.rfind(L'\\')) + L"\\sfx.log";
  Logger l;
  l.set_debugger_level(kro::log::nothing);
  l.set_log_file(m_log, 4194304, 0);
  struct step {
    uint32_t flush_level;  // set before the record
    uint32_t level;
    bool flushed;
  };
  static constexpr step steps[] = {
      {kro::log::nothing, kro::log::fatal, false},  // the logger's default: nothing is flushed
      {kro::log::error, kro::log::info, false},    {kro::log::error, kro::log::warning, false},
      {kro::log::error, kro::log::error, true},    {kro::log::error, kro::log::fatal, true},
      {kro::log::debug, kro::log::debug, true},    {kro::log::nothing, kro::log::fatal, false},
  };
  size_t expected = 0;
  for (const step& s : steps) {
    SCOPED_TRACE(testing::Message() << "flush level " << s.flush_level << ", record " << s.level);
    l.set_flush_level(s.flush_level);
    l.logf(s.level, "msfx", "record at level %u", s.level);
    const std::vector<flush_recorder::call> calls = flushes.calls_for(tail);
    if (s.flushed) ++expected;
    ASSERT_EQ(calls.size(), expected);
    // A flush comes after the record's bytes were written.
    if (s.flushed) {
      EXPECT_EQ(calls.back().size, static_cast<int64_t>(read_file(m_log).size()));
    }
  }
  const std::vector<std::string> lines = crlf_lines(read_file(m_log).substr(3));
  ASSERT_EQ(lines.size(), std::size(steps));
  EXPECT_EQ(message_of(lines[3]), "record at level 7");
  // A failing FlushFileBuffers (say, for lack of write access) would show here.
  EXPECT_EQ(debugger.text(), "");
}

// Names the system will delete at the next restart, as one text.
std::wstring pending_deletions() {
  HKEY key;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\Session Manager", 0, KEY_READ,
                    &key) != ERROR_SUCCESS)
    return {};
  DWORD type = 0, bytes = 0;
  std::wstring out;
  if (RegQueryValueExW(key, L"PendingFileRenameOperations", nullptr, &type, nullptr, &bytes) ==
      ERROR_SUCCESS) {
    out.resize(bytes / sizeof(wchar_t) + 1);
    RegQueryValueExW(key, L"PendingFileRenameOperations", nullptr, &type, reinterpret_cast<BYTE*>(out.data()),
                     &bytes);
    for (auto& c : out)
      if (c == L'\0') c = L'|';
  }
  RegCloseKey(key);
  return out;
}

// A pattern ending in "." matches names that start with it, any other only itself.
bool name_matches(const std::string& name, const std::string& pattern) {
  return pattern.back() == '.' ? name.rfind(pattern, 0) == 0 : name == pattern;
}

// The previous ".old" file is held open by another program while the current
// log rotates: the current content must survive and the new log must start.
TEST_F(log_file, rotation_past_an_old_file_in_use_keeps_the_current_log) {
  struct test_case {
    const char* name;
    DWORD share;                // of the holder of sfx.log.old
    const char* current_under;  // where the current run's content ends up
    const char* older_under;    // where the older run's file ends up
  };
  static constexpr test_case cases[] = {
      // ".old" can be neither replaced nor renamed: the rotated file stays.
      {"held without delete sharing", FILE_SHARE_READ | FILE_SHARE_WRITE, "sfx.log.to_rotate.",
       "sfx.log.old"},
      // ".old" is renamed away for deletion at restart, then replaced.
      {"held with delete sharing", FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, "sfx.log.old",
       "sfx.log.old.to_delete."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TearDown();
    SetUp();
    const std::string current = bom + "current run\r\n";
    write_file(m_log, current);
    write_file(path(L"sfx.log.old"), "older run");
    handle holder(
        CreateFileW(path(L"sfx.log.old").c_str(), GENERIC_READ, c.share, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(holder);

    debugger_capture debugger;
    Logger l;
    l.set_debugger_level(kro::log::nothing);
    l.set_log_file(m_log, 10, 0);
    l.logf(kro::log::info, "msfx", "next");
    EXPECT_EQ(debugger.text(), "");

    const std::string fresh = read_file(m_log);
    ASSERT_EQ(fresh.substr(0, 3), bom);
    ASSERT_EQ(crlf_lines(fresh.substr(3)).size(), 1u);
    EXPECT_EQ(message_of(crlf_lines(fresh.substr(3))[0]), "next");

    const std::vector<std::wstring> files = names();
    ASSERT_EQ(files.size(), 3u) << names_text();
    for (const std::wstring& name : files) {
      const std::string n = kro::text::to_utf8(name);
      if (n == "sfx.log") continue;
      const bool is_current = name_matches(n, c.current_under);
      const std::string body = read_file(path(name.c_str()));
      if (is_current) {
        EXPECT_TRUE(body == current) << n;
      } else {
        EXPECT_TRUE(name_matches(n, c.older_under)) << n;
        EXPECT_EQ(body, "older run") << n;
        if (n != "sfx.log.old") {
          EXPECT_NE(pending_deletions().find(name), std::wstring::npos) << n;
        }
      }
    }
  }
}

TEST_F(log_file, concurrent_writers_never_tear_lines_or_lose_the_mark) {
  struct test_case {
    int64_t limit;
    bool rotates;
  };
  static constexpr test_case cases[] = {{4194304, false}, {4096, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.limit);
    TearDown();
    SetUp();
    debugger_capture debugger;
    {
      Logger l;
      l.set_debugger_level(kro::log::nothing);
      l.set_log_file(m_log, c.limit, 0);
      std::vector<std::thread> threads;
      for (int t = 0; t < 4; ++t)
        threads.emplace_back([&l, t] {
          for (int i = 0; i < 100; ++i) l.logf(kro::log::info, "msfx", "thread %d record %03d\nsecond", t, i);
        });
      for (auto& th : threads) th.join();
    }
    EXPECT_EQ(debugger.text(), "");
    // A rotation that meets the previous .old still open by a writer that
    // was waiting for the lock moves it aside for deletion at restart.
    std::string kept;
    for (const std::wstring& name : names()) {
      const std::string n = kro::text::to_utf8(name);
      if (n.rfind("sfx.log.old.to_delete.", 0) == 0) {
        EXPECT_NE(pending_deletions().find(name), std::wstring::npos) << n;
        continue;
      }
      kept += n + " ";
    }
    EXPECT_EQ(kept, c.rotates ? "sfx.log sfx.log.old " : "sfx.log ");
    std::vector<std::string> seen;
    for (const wchar_t* name : {L"sfx.log", L"sfx.log.old"}) {
      const std::string content = read_file(path(name));
      if (content == "<missing>") continue;
      ASSERT_EQ(content.substr(0, 3), bom);
      const std::vector<std::string> lines = crlf_lines(content.substr(3));
      ASSERT_EQ(lines.size() % 2, 0u);
      for (size_t i = 0; i < lines.size(); i += 2) {
        const std::string m = message_of(lines[i]);
        EXPECT_EQ(m.substr(0, 7), "thread ") << lines[i];
        EXPECT_EQ(lines[i + 1], std::string(lines[i].size() - m.size(), ' ') + "second") << lines[i + 1];
        seen.push_back(m);
      }
      if (c.rotates && std::wstring(name) == L"sfx.log.old") {
        EXPECT_GE(content.size(), 4096u);
      }
    }
    std::sort(seen.begin(), seen.end());
    EXPECT_EQ(std::unique(seen.begin(), seen.end()), seen.end());
    if (!c.rotates) {
      EXPECT_EQ(seen.size(), 400u);
    }
  }
}

TEST_F(log_file, file_that_cannot_be_used_leaves_the_logger_without_a_file) {
  debugger_capture debugger;
  Logger l;
  l.set_debugger_level(kro::log::nothing);
  l.set_log_file(m_log, 4194304, 0);
  l.logf(kro::log::info, "msfx", "one");
  const std::string before = read_file(m_log);

  const std::wstring missing = path(L"no-such-folder\\sfx.log");
  EXPECT_NO_THROW(l.set_log_file(missing, 4194304, 0));
  EXPECT_NE(debugger.text().find("Failed to open log file '" + kro::text::to_utf8(missing) + "'"),
            std::string::npos)
      << debugger.text();
  l.logf(kro::log::info, "msfx", "goes nowhere");
  EXPECT_EQ(read_file(m_log), before);

  // A foreign file that is no ".log" cannot be rotated away: it is left alone
  // and never appended to.
  write_file(path(L"notes.txt"), "someone else's");
  l.set_log_file(path(L"notes.txt"), 4194304, 0);
  l.logf(kro::log::info, "msfx", "goes nowhere either");
  EXPECT_EQ(read_file(path(L"notes.txt")), "someone else's");
  EXPECT_EQ(names_text(), "notes.txt sfx.log ");
}

// --- Closing records at process exit -----------------------------------------

const wchar_t exit_log_variable[] = L"KRO_TEST_EXIT_LOG";

bool child_mode() { return GetEnvironmentVariableW(exit_log_variable, nullptr, 0) > 0; }

// Static objects that log while they are destroyed.
struct logs_at_exit {
  const char* text;
  ~logs_at_exit() {
    if (child_mode()) kro::log::write(kro::log::info, "%s", text);
  }
};
// Initialised before every static object of ordinary priority, whatever the
// link order: the log module must still outlive it.
__attribute__((init_priority(200))) logs_at_exit g_namespace_static{"namespace static ends"};

TEST(log_file_exit, child_process_part) {
  if (!child_mode()) GTEST_SKIP() << "runs inside log_file.closing_records_end_the_log_after_static_objects";
  wchar_t path[MAX_PATH];
  GetEnvironmentVariableW(exit_log_variable, path, MAX_PATH);
  kro::log::logger().set_log_file(path, 4194304, 0);
  kro::log::write(kro::log::info, "%s", "child runs");
  static logs_at_exit function_static{"function static ends"};
}

TEST_F(log_file, closing_records_end_the_log_after_static_objects) {
  wchar_t exe[MAX_PATH];
  ASSERT_GT(GetModuleFileNameW(nullptr, exe, MAX_PATH), 0u);
  std::wstring command = L"\"" + std::wstring(exe) + L"\" --gtest_filter=log_file_exit.child_process_part";
  ASSERT_TRUE(SetEnvironmentVariableW(exit_log_variable, m_log.c_str()));
  STARTUPINFOW si = {};
  si.cb = sizeof(si);
  PROCESS_INFORMATION pi = {};
  const BOOL started = CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW,
                                      nullptr, nullptr, &si, &pi);
  SetEnvironmentVariableW(exit_log_variable, nullptr);
  ASSERT_TRUE(started) << GetLastError();
  handle process(pi.hProcess), thread(pi.hThread);
  ASSERT_EQ(WaitForSingleObject(process.get(), 60000), WAIT_OBJECT_0);
  DWORD code = 1;
  GetExitCodeProcess(process.get(), &code);
  EXPECT_EQ(code, 0u);

  const std::string content = read_file(m_log);
  ASSERT_EQ(content.substr(0, 3), bom);
  const std::vector<std::string> lines = crlf_lines(content.substr(3));
  ASSERT_EQ(lines.size(), 5u) << content;
  EXPECT_EQ(message_of(lines[0]), "child runs");
  EXPECT_EQ(message_of(lines[1]), "function static ends");
  EXPECT_EQ(message_of(lines[2]), "namespace static ends");
  EXPECT_EQ(lines[3].substr(25, 26), " [info   ] [log_module ] [");
  EXPECT_EQ(message_of(lines[3]), "LogModule is going to be destroyed.");
  EXPECT_EQ(lines[4].substr(25, 26), " [info   ] [log_module ] [");
  EXPECT_EQ(message_of(lines[4]), std::string(117, '='));
}

}  // namespace
