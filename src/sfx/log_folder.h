#pragma once
// The log folder of the run: <common application data>\<company>\Morrow\Logs
// and its file sfx.log, which the elevated program appends to, renames and
// schedules for deletion.
//
// The common application data folder comes from the shell; when the shell
// cannot tell, from the value "Common AppData" of
// HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Explorer\Shell Folders.
// Only a full path counts ("C:\..." or "\\server\share..."): an empty value
// or one without a drive would put the folder at the root of the current
// drive. When both sources fail the run ends with kro::exceptions::error and
// a non-zero code (the system's, else ERROR_FILE_NOT_FOUND for an empty value
// and ERROR_BAD_PATHNAME for one that is not a full path).
//
// The company folder, "Morrow" and "Logs" are the program's own folders
// (what lies above them is not). Each is created with the private access
// list of files/access_check.h (administrators and the system only, users
// may read) and then checked as found, outermost first, through a handle
// that does not follow a link:
//   - a link, a folder reached through a link, something that is not a
//     folder, or a foreign owner: refused;
//   - a trusted owner with an access list that lets others change the
//     folder (so made by an older version under the parent's inherited
//     list, or changed by an administrator): the folder's own list is reset
//     to the private one (nothing is passed down to what it holds) and the
//     folder checked again.
// An existing sfx.log is checked as a file (no link, one name, trusted owner,
// no access for others to change it) and refused when it fails; its list is
// never reset. A refused or missing folder means the run goes on without a
// log file, exactly as when the folder cannot be created: a note goes to the
// debugger output and the logger is not given a file.
#include <string>
#include <vector>

#include "files/access_check.h"

#if defined(_WIN32)
#include <windows.h>
#endif

namespace kro::sfx::log_folder {

// Whether a value names a folder by its full path: a drive letter, a colon
// and a separator, or two separators, a server name, a separator and a share
// name.
bool is_absolute_folder(const std::wstring& value);

// The program's own folders, outermost first: common\company,
// common\company\Morrow, common\company\Morrow\Logs.
std::vector<std::wstring> own_folders(const std::wstring& common, const std::wstring& company);

// The log file: the innermost own folder + "\sfx.log".
std::wstring log_file_path(const std::wstring& common, const std::wstring& company);

#if defined(_WIN32)

// The system functions the folder's preparation uses; tests replace them.
struct api {
  HRESULT(WINAPI* get_folder_path)(HWND owner, int folder, HANDLE token, DWORD flags, LPWSTR path);
  LSTATUS(WINAPI* get_registry_value)
  (HKEY key, LPCWSTR sub_key, LPCWSTR value, DWORD flags, LPDWORD type, PVOID data, LPDWORD bytes);
  // files::access::read_entry
  uint32_t (*read_entry)(void* handle, const std::wstring& path, files::access::entry_facts& facts);
  // files::access::protect_folder
  uint32_t (*protect_folder)(void* handle);
};

// SHGetFolderPathW, RegGetValueW and the functions of files/access_check.h.
api system_api();

// The common application data folder. Throws kro::exceptions::error with a
// non-zero code when neither source gives a full path.
std::wstring common_app_data(const api& functions);

struct prepared {
  std::wstring log_file;           // the log file's path (also when refused, for messages)
  bool usable = false;             // whether the logger may be given the file
  std::string refusal;             // why not, UTF-8; also sent to the debugger output
  std::vector<std::string> notes;  // folders whose access list was reset, for the log
};

// Creates and checks the folders for this company and checks the log file.
prepared prepare(const api& functions, const std::wstring& common, const std::wstring& company);

#endif

}  // namespace kro::sfx::log_folder
