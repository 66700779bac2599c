// The log file and the record stamps on Windows.
//
// The file is opened with read, append and delete access and shared for
// reading, writing and deletion, so other processes can read or rotate it
// while this one writes. Writes through an append-only handle always land at
// the end of the file. No open follows a link: a link in place of the log is
// refused, and one in place of the ".old" file is left where it is.
#include <windows.h>

#include <cstring>
#include <vector>

#include "exceptions/exceptions.h"
#include "files/file_handle.h"
#include "log/logger.h"
#include "root/random.h"

namespace kro::log::detail {
namespace {

// A file handle (invalid value INVALID_HANDLE_VALUE); closing keeps the
// thread's last error.
class file_handle {
 public:
  file_handle() = default;
  explicit file_handle(HANDLE handle) : m_handle(handle) {}
  ~file_handle() { reset(); }
  file_handle(file_handle&& other) noexcept : m_handle(other.release()) {}
  file_handle& operator=(file_handle&& other) noexcept {
    if (this != &other) {
      reset();
      m_handle = other.release();
    }
    return *this;
  }
  file_handle(const file_handle&) = delete;
  file_handle& operator=(const file_handle&) = delete;

  HANDLE get() const { return m_handle; }
  explicit operator bool() const { return m_handle != INVALID_HANDLE_VALUE; }
  [[nodiscard]] HANDLE release() {
    HANDLE handle = m_handle;
    m_handle = INVALID_HANDLE_VALUE;
    return handle;
  }
  void reset() {
    if (m_handle != INVALID_HANDLE_VALUE) {
      const DWORD last_error = GetLastError();
      CloseHandle(m_handle);
      SetLastError(last_error);
      m_handle = INVALID_HANDLE_VALUE;
    }
  }

 private:
  HANDLE m_handle = INVALID_HANDLE_VALUE;
};

constexpr DWORD log_access = GENERIC_READ | FILE_APPEND_DATA | DELETE;
constexpr DWORD share_all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr unsigned char utf8_bom[3] = {0xEF, 0xBB, 0xBF};

int32_t last_error() { return static_cast<int32_t>(GetLastError()); }

// Every open acts on the name itself: a link (reparse point) is opened as
// the link, never followed.
file_handle open_file(const std::wstring& path, DWORD access, DWORD disposition) {
  return file_handle(CreateFileW(path.c_str(), access, share_all, nullptr, disposition,
                                 FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
}

// Whether an open file is a link (or cannot be told apart from one).
bool is_reparse_point(HANDLE file) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(file, &info)) return true;
  return (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

// The NT form of a path ("\??\C:\..."), as FILE_RENAME_INFO takes it.
std::wstring nt_path(const std::wstring& path) {
  if (path.rfind(L"\\\\?\\", 0) == 0) return L"\\??\\" + path.substr(4);
  std::wstring full(MAX_PATH, L'\0');
  for (int attempt = 0; attempt < 4; ++attempt) {
    const DWORD n = GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    if (n == 0) return {};
    if (n < full.size()) {
      full.resize(n);
      break;
    }
    full.resize(n + 1);
  }
  if (full.rfind(L"\\\\", 0) == 0) return L"\\??\\UNC\\" + full.substr(2);
  return L"\\??\\" + full;
}

// Renames an open file through its handle (opened with DELETE access), so
// that the name the system keeps for the handle follows the file.
bool rename_open_file(HANDLE file, const std::wstring& to, bool replace) {
  const std::wstring target = nt_path(to);
  if (target.empty()) return false;
  const size_t name_bytes = target.size() * sizeof(wchar_t);
  std::vector<unsigned char> buffer(sizeof(FILE_RENAME_INFO) + name_bytes, 0);
  auto* info = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
  info->ReplaceIfExists = replace ? TRUE : FALSE;
  info->RootDirectory = nullptr;
  info->FileNameLength = static_cast<DWORD>(name_bytes);
  std::memcpy(info->FileName, target.data(), name_bytes);
  return SetFileInformationByHandle(file, FileRenameInfo, info, static_cast<DWORD>(buffer.size())) != 0;
}

void delete_at_restart(const std::wstring& path) {
  MoveFileExW(path.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
}

bool starts_with_bom(HANDLE file) {
  unsigned char head[3] = {};
  DWORD have = 0;
  while (have < sizeof(head)) {
    DWORD got = 0;
    if (!ReadFile(file, head + have, sizeof(head) - have, &got, nullptr) || got == 0) break;
    have += got;
  }
  return have == sizeof(head) && head[0] == utf8_bom[0] && head[1] == utf8_bom[1] && head[2] == utf8_bom[2];
}

class win32_log_file final : public log_file {
 public:
  explicit win32_log_file(file_handle file) : m_file(std::move(file)) {}

  int64_t size() const override {
    LARGE_INTEGER size;
    if (!GetFileSizeEx(m_file.get(), &size))
      throw exceptions::error(last_error(), "Unable to get file size!");
    return size.QuadPart;
  }

  void write(const std::string& bytes) override {
    const char* p = bytes.data();
    size_t left = bytes.size();
    while (left > 0) {
      const DWORD chunk = left > 0x100000 ? 0x100000 : static_cast<DWORD>(left);
      DWORD written = 0;
      if (!WriteFile(m_file.get(), p, chunk, &written, nullptr) || written == 0) {
        throw exceptions::error(last_error(), "Unable to write to the log file!");
      }
      p += written;
      left -= written;
    }
  }

  void flush() override {
    if (!FlushFileBuffers(m_file.get()))
      throw exceptions::error(last_error(), "Unable to flush the log file!");
  }

  // Current name -> name + ".to_rotate.<guid>" -> name + ".old", renamed
  // through the handle. When the ".old" file is in use, it is renamed away to
  // ".to_delete.<guid>" and left for deletion at the next restart, or, when
  // even that fails, the rotated file is: the current name is free in every
  // case.
  bool rotate() override {
    const std::wstring path = files::final_path(m_file.get());
    if (path.size() < 4 || path.compare(path.size() - 4, 4, L".log") != 0) return false;

    const std::wstring rotating = path + L".to_rotate." + root::new_guid_text();
    if (!rename_open_file(m_file.get(), rotating, true)) {
      throw exceptions::error(last_error(), "Unable to move log file to a temporary name!");
    }
    const std::wstring old = path + L".old";
    if (rename_open_file(m_file.get(), old, true)) return true;

    file_handle in_use = open_file(old, DELETE | FILE_READ_ATTRIBUTES, OPEN_EXISTING);
    if (!in_use || is_reparse_point(in_use.get())) return true;  // the ".to_rotate." file stays
    const std::wstring doomed = old + L".to_delete." + root::new_guid_text();
    if (rename_open_file(in_use.get(), doomed, false)) delete_at_restart(doomed);
    if (!rename_open_file(m_file.get(), old, true)) delete_at_restart(rotating);
    return true;
  }

 private:
  file_handle m_file;
};

}  // namespace

std::shared_ptr<log_file> open_log_file(const std::wstring& path) {
  // A few rounds: a foreign file is rotated away and the name tried again, and
  // another process may create the file between our attempts.
  for (int attempt = 0; attempt < 4; ++attempt) {
    if (file_handle file = open_file(path, log_access, OPEN_EXISTING)) {
      // A link in place of the log is neither written nor moved.
      if (is_reparse_point(file.get())) {
        throw exceptions::error(static_cast<int32_t>(ERROR_CANT_ACCESS_FILE),
                                L"Failed to open log file '%ls': it is a link", path.c_str());
      }
      if (starts_with_bom(file.get())) return std::make_shared<win32_log_file>(std::move(file));
      // Never append to a file this logger did not create.
      if (!win32_log_file(std::move(file)).rotate()) {
        throw exceptions::error(codes::invalid_data, L"Failed to open log file '%ls'", path.c_str());
      }
      continue;
    }
    if (GetLastError() != ERROR_FILE_NOT_FOUND) {
      throw exceptions::error(last_error(), L"Failed to open log file '%ls'", path.c_str());
    }

    const std::wstring temporary = path + L".tmp." + root::new_guid_text();
    file_handle created = open_file(temporary, log_access, CREATE_NEW);
    if (!created) throw exceptions::error(last_error(), L"Failed to create new log file '%ls'", path.c_str());
    DWORD written = 0;
    if (WriteFile(created.get(), utf8_bom, sizeof(utf8_bom), &written, nullptr) &&
        written == sizeof(utf8_bom) && rename_open_file(created.get(), path, false)) {
      return std::make_shared<win32_log_file>(std::move(created));
    }
    const DWORD error = GetLastError();
    created.reset();
    DeleteFileW(temporary.c_str());
    if (error != ERROR_ALREADY_EXISTS && error != ERROR_FILE_EXISTS) {
      throw exceptions::error(static_cast<int32_t>(error), L"Failed to create new log file '%ls'",
                              path.c_str());
    }
    // Another process created the log meanwhile: open that one.
  }
  throw exceptions::error(codes::invalid_data, L"Failed to open log file '%ls'", path.c_str());
}

uint64_t system_time() {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  return uint64_t{now.dwHighDateTime} << 32 | now.dwLowDateTime;
}

uint32_t current_process_id() { return GetCurrentProcessId(); }
uint32_t current_thread_id() { return GetCurrentThreadId(); }
void debugger_output(const char* text) { OutputDebugStringA(text); }

}  // namespace kro::log::detail
