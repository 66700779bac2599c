// The run's private temporary folder on Windows.
//
// Location: <Windows directory>\Temp\kro-<random version-4 GUID text>. The
// folder is created with a protected DACL that gives full access to
// LocalSystem and the built-in Administrators and read/execute access to the
// built-in Users, all inherited by files and subfolders.
//
// Removal is recursive and never follows a reparse point (junction, symbolic
// link, mount point): such an entry is removed as a link, with the call that
// removes only the link itself, and nothing reached through it is touched; a
// link without a reparse tag, whose removal would reach its target, is left.
// Files that cannot be removed after a second try, 200 ms later, and folders
// that stay behind are put on the system's delete-at-restart list.
#include <windows.h>

#include <memory>
#include <string>
#include <utility>

#include "exceptions/exceptions.h"
#include "files/access_check.h"
#include "files/directory.h"
#include "log/logger.h"
#include "root/random.h"
#include "sfx/temp_dir.h"

namespace kro::sfx {
namespace {

constexpr DWORD windows_directory_capacity = 260;
constexpr DWORD file_attempt_pause_ms = 200;
constexpr DWORD folder_retry_pause_ms = 10;

struct local_free {
  void operator()(void* p) const noexcept { LocalFree(p); }
};
using local_descriptor = std::unique_ptr<void, local_free>;

DWORD attributes_of(const std::wstring& path) { return GetFileAttributesW(path.c_str()); }

bool is_directory(DWORD attributes) {
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}
bool is_reparse_point(DWORD attributes) {
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

bool schedule_at_restart(const std::wstring& path) {
  return MoveFileExW(path.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT) != FALSE;
}

// One attempt at a plain file (never a link): true when it is gone.
bool try_delete_file(const std::wstring& path) {
  const DWORD attributes = attributes_of(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
  }
  if (is_directory(attributes) || is_reparse_point(attributes)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return false;
  }
  SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
  return DeleteFileW(path.c_str()) != FALSE;
}

void delete_file(const std::wstring& path) {
  if (try_delete_file(path)) return;
  Sleep(file_attempt_pause_ms);
  if (try_delete_file(path)) return;
  if (!schedule_at_restart(path)) {
    log::write(log::info, L"Could not delete file '%ls', %u!", path.c_str(),
               static_cast<unsigned>(GetLastError()));
  }
}

// A reparse point is removed as an entry of its own and never entered:
// RemoveDirectoryW on a directory link and DeleteFileW on a file link remove
// the link, not what it points to. That holds for every reparse point that
// carries a tag; one without a tag (not a valid reparse point on Windows, but
// what a foreign link shows through a compatibility layer, whose removal
// reaches the target) is left alone, and so is the folder above it. Nothing
// of this kind goes on the restart list: that list is worked off by the same
// calls.
void delete_link(const std::wstring& path, const WIN32_FIND_DATAW& entry) {
  const DWORD tag = entry.dwReserved0;
  if (tag == 0) {
    log::write(log::info, L"Link '%ls' without a reparse tag left in place.", path.c_str());
    return;
  }
  if (entry.dwFileAttributes & FILE_ATTRIBUTE_READONLY) {
    SetFileAttributesW(path.c_str(), entry.dwFileAttributes & ~FILE_ATTRIBUTE_READONLY);
  }
  const bool folder = (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  if (folder ? RemoveDirectoryW(path.c_str()) : DeleteFileW(path.c_str())) {
    log::write(log::info, L"Link '%ls' removed.", path.c_str());
    return;
  }
  log::write(log::info, L"Could not remove link '%ls' (tag 0x%08x), %u!", path.c_str(),
             static_cast<unsigned>(tag), static_cast<unsigned>(GetLastError()));
}

void delete_folder(const std::wstring& folder) {
  if (folder.empty()) {
    log::write(log::error, "Cannot remove empty directory");
    throw kro::exceptions::error(static_cast<int32_t>(ERROR_INVALID_PARAMETER),
                                 "Cannot remove empty directory");
  }
  // The folder itself may have been replaced by a link.
  if (is_reparse_point(attributes_of(folder))) {
    WIN32_FIND_DATAW self{};
    HANDLE find = FindFirstFileW(folder.c_str(), &self);
    if (find != INVALID_HANDLE_VALUE)
      FindClose(find);
    else
      self.dwFileAttributes = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT;
    delete_link(folder, self);
    return;
  }

  WIN32_FIND_DATAW entry{};
  HANDLE find = FindFirstFileW(files::join(folder, L"*").c_str(), &entry);
  if (find != INVALID_HANDLE_VALUE) {
    do {
      const wchar_t* name = entry.cFileName;
      if ((name[0] == L'.' && name[1] == 0) || (name[0] == L'.' && name[1] == L'.' && name[2] == 0)) continue;
      const std::wstring path = files::join(folder, name);
      if (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        delete_link(path, entry);
      } else if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        delete_folder(path);
      } else {
        delete_file(path);
      }
    } while (FindNextFileW(find, &entry));
    FindClose(find);
  }

  const DWORD attributes = attributes_of(folder);
  if (!is_directory(attributes)) return;
  constexpr DWORD kept = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                         FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_OFFLINE |
                         FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
  const DWORD cleared = (attributes & kept) != 0 ? (attributes & kept) : FILE_ATTRIBUTE_NORMAL;
  SetFileAttributesW(folder.c_str(), cleared);
  DWORD error = ERROR_SUCCESS;
  if (!RemoveDirectoryW(folder.c_str())) {
    error = GetLastError();
    Sleep(folder_retry_pause_ms);
  }
  if (!is_directory(attributes_of(folder))) {
    log::write(log::info, L"SFX temp folder '%ls' deleted.", folder.c_str());
    return;
  }
  log::write(log::info, L"Could not delete directory '%ls', %u, plan it for restart!", folder.c_str(),
             static_cast<unsigned>(error));
  if (!schedule_at_restart(folder)) {
    log::write(log::error, L"Folder '%ls' delete after reboot fail, %u!", folder.c_str(),
               static_cast<unsigned>(GetLastError()));
  }
}

class temp_dir_impl final : public temp_dir_intf {
 public:
  explicit temp_dir_impl(bool remove_at_end) : m_remove_at_end(remove_at_end) {
    wchar_t windows[windows_directory_capacity] = {};
    const UINT length = GetWindowsDirectoryW(windows, windows_directory_capacity);
    if (length == 0 || length > windows_directory_capacity) {
      const DWORD error = length == 0 ? GetLastError() : static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER);
      log::write(log::error, "Get window directory fail %u!", static_cast<unsigned>(error));
      throw kro::exceptions::error(static_cast<int32_t>(error), "Get window directory fail");
    }
    const std::wstring path =
        files::join(files::join(std::wstring(windows, length), L"Temp"), L"kro-" + root::new_guid_text());

    const local_descriptor descriptor(detail::make_temp_dir_security_descriptor());
    SECURITY_ATTRIBUTES security{};
    security.nLength = sizeof(security);
    security.lpSecurityDescriptor = descriptor.get();
    security.bInheritHandle = FALSE;

    // Missing parents get the default security of where they are made; only
    // the run's own folder carries the restrictive descriptor.
    const uint32_t error = files::create_directories(path, &security);
    if (error != 0) {
      log::write(log::error, L"Create directory '%ls' fail %u!", path.c_str(), static_cast<unsigned>(error));
      throw kro::exceptions::error(static_cast<int32_t>(error), "Create directory fail");
    }
    log::write(log::info, L"SFX temp folder '%ls' created.", path.c_str());
    m_path = path;
  }

  ~temp_dir_impl() override {
    if (!m_remove_at_end) {
      log::write(log::debug, L"Skipping temp folder (%ls) delete", m_path.c_str());
      return;
    }
    if (m_path.empty()) return;
    try {
      delete_folder(m_path);
    } catch (const std::exception& e) {
      log::write_exception(log::error, e, "Temp folder removal failed");
    }
    log::write(log::debug, L"Temp folder (%ls) deleted", m_path.c_str());
  }

  std::wstring get_path() const override { return m_path; }

 private:
  const bool m_remove_at_end;
  std::wstring m_path;
};

}  // namespace

void* detail::make_temp_dir_security_descriptor() {
  void* descriptor = files::access::private_folder_descriptor().release();
  if (!descriptor) {
    const DWORD error = GetLastError();
    log::write(log::error, "Create tmp directory security descriptor fail %u!", static_cast<unsigned>(error));
    throw kro::exceptions::error(static_cast<int32_t>(error),
                                 "Create tmp directory security descriptor fail");
  }
  return descriptor;
}

std::unique_ptr<temp_dir_intf> temp_dir::factory::create(bool remove_at_end) {
  return std::make_unique<temp_dir_impl>(remove_at_end);
}

}  // namespace kro::sfx
