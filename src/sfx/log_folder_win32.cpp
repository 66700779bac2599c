// The log folder on Windows: where it is, creating it with the private
// access list, and checking each of the program's folders and the log file
// through handles that do not follow links.
#include <shlobj.h>
#include <windows.h>

#include <cwchar>

#include "exceptions/exceptions.h"
#include "files/access_check.h"
#include "files/directory.h"
#include "files/file_handle.h"
#include "sfx/log_folder.h"
#include "systools/process_facts.h"
#include "text/text.h"

namespace kro::sfx::log_folder {
namespace {

namespace access = files::access;

constexpr wchar_t shell_folders_key[] =
    L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders";
constexpr wchar_t common_app_data_value[] = L"Common AppData";
constexpr DWORD share_all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// Folders open with backup semantics; no open follows a link of the last
// name part.
constexpr DWORD open_flags = FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT;

uint32_t read_entry(void* handle, const std::wstring& path, access::entry_facts& facts) {
  return access::read_entry(handle, path, facts);
}
uint32_t protect_folder(void* handle) { return access::protect_folder(handle); }

files::unique_file open_entry(const std::wstring& path, DWORD access_rights, DWORD flags) {
  return files::unique_file(
      CreateFileW(path.c_str(), access_rights, share_all, nullptr, OPEN_EXISTING, flags, nullptr));
}

// The name part after the last separator.
std::wstring last_part(const std::wstring& path) { return path.substr(files::parent_of(path).size() + 1); }

// Reads an open entry and whether it is where its name says: its resolved
// path must be the resolved path of the folder above joined with its own
// name, so no link was followed on the way.
uint32_t inspect(const api& functions, HANDLE handle, const std::wstring& path,
                 const std::wstring& parent_final, access::entry_facts& facts) {
  const uint32_t error = functions.read_entry(handle, path, facts);
  if (error != 0) return error;
  const std::wstring final = files::final_path(handle);
  if (final.empty() || parent_final.empty() ||
      !text::equals_nocase(final, files::join(parent_final, last_part(path)))) {
    facts.where_expected = false;
  }
  return 0;
}

class preparation {
 public:
  explicit preparation(const api& functions) : m_functions(functions) {}

  // Creates and checks one of the program's folders below the folder whose
  // resolved path is parent_final; answers the folder's resolved path, or
  // empty after a refusal.
  std::wstring folder(const std::wstring& path, const std::wstring& parent_final,
                      SECURITY_ATTRIBUTES* security) {
    CreateDirectoryW(path.c_str(), security);
    files::unique_file handle = open_entry(path, READ_CONTROL | FILE_READ_ATTRIBUTES, open_flags);
    if (!handle)
      return refuse(path, text::format("it cannot be created or opened (error %u)",
                                       static_cast<unsigned>(systools::last_error())));
    access::entry_facts facts;
    if (const uint32_t error = inspect(m_functions, handle.get(), path, parent_final, facts)) {
      return refuse(path,
                    text::format("its security cannot be read (error %u)", static_cast<unsigned>(error)));
    }
    access::verdict verdict = access::judge_folder(facts);
    if (verdict == access::verdict::open_access) {
      // A trusted owner: the folder's own list is reset through a second
      // handle that may change it, then everything is read again.
      files::unique_file writable =
          open_entry(path, READ_CONTROL | WRITE_DAC | FILE_READ_ATTRIBUTES, open_flags);
      if (!writable)
        return refuse(path, text::format("its access list cannot be reset (error %u)",
                                         static_cast<unsigned>(systools::last_error())));
      if (const uint32_t error = m_functions.protect_folder(writable.get())) {
        return refuse(
            path, text::format("its access list cannot be reset (error %u)", static_cast<unsigned>(error)));
      }
      facts = {};
      if (const uint32_t error = inspect(m_functions, writable.get(), path, parent_final, facts)) {
        return refuse(path,
                      text::format("its security cannot be read (error %u)", static_cast<unsigned>(error)));
      }
      verdict = access::judge_folder(facts);
      if (verdict == access::verdict::accepted) {
        m_notes.push_back(
            text::format("The access list of the log folder '%s' was reset to administrators only.",
                         text::to_utf8(path).c_str()));
      }
    }
    if (verdict != access::verdict::accepted) return refuse(path, access::describe(verdict));
    const std::wstring final = files::final_path(handle.get());
    if (final.empty()) return refuse(path, "its full path cannot be read");
    return final;
  }

  // Checks an existing log file in the folder whose resolved path is
  // folder_final; a missing one is fine (the logger creates it there).
  bool file(const std::wstring& path, const std::wstring& folder_final) {
    files::unique_file handle = open_entry(path, READ_CONTROL | FILE_READ_ATTRIBUTES, open_flags);
    if (!handle) {
      const DWORD error = GetLastError();
      if (error == ERROR_FILE_NOT_FOUND) return true;
      refuse(path, text::format("it cannot be opened (error %u)", static_cast<unsigned>(error)));
      return false;
    }
    access::entry_facts facts;
    if (const uint32_t error = inspect(m_functions, handle.get(), path, folder_final, facts)) {
      refuse(path, text::format("its security cannot be read (error %u)", static_cast<unsigned>(error)));
      return false;
    }
    const access::verdict verdict = access::judge_file(facts);
    if (verdict == access::verdict::accepted) return true;
    refuse(path, access::describe(verdict));
    return false;
  }

  std::string refusal() const { return m_refusal; }
  std::vector<std::string> notes() const { return m_notes; }

  std::wstring refuse(const std::wstring& path, const std::string& why) {
    m_refusal =
        text::format("The log folder or file '%s' is not used: %s. The run continues without a log file.",
                     text::to_utf8(path).c_str(), why.c_str());
    return {};
  }

 private:
  const api& m_functions;
  std::string m_refusal;
  std::vector<std::string> m_notes;
};

}  // namespace

api system_api() { return {SHGetFolderPathW, RegGetValueW, read_entry, protect_folder}; }

std::wstring common_app_data(const api& functions) {
  wchar_t path[MAX_PATH + 1] = {};
  if (SUCCEEDED(
          functions.get_folder_path(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, path))) {
    path[MAX_PATH] = L'\0';
    if (is_absolute_folder(path)) return path;
  }

  // A value may grow between the size query and the read: a few rounds.
  std::wstring value;
  DWORD bytes = 0;
  LSTATUS status = functions.get_registry_value(HKEY_LOCAL_MACHINE, shell_folders_key, common_app_data_value,
                                                RRF_RT_REG_SZ, nullptr, nullptr, &bytes);
  for (int attempt = 0; status == ERROR_SUCCESS && attempt < 4; ++attempt) {
    // One more character than announced, so the text always ends in zero.
    value.assign(bytes / sizeof(wchar_t) + 1, L'\0');
    DWORD size = static_cast<DWORD>(value.size() * sizeof(wchar_t));
    status = functions.get_registry_value(HKEY_LOCAL_MACHINE, shell_folders_key, common_app_data_value,
                                          RRF_RT_REG_SZ, nullptr, value.data(), &size);
    if (status == ERROR_SUCCESS) {
      value.resize(wcsnlen(value.c_str(), value.size()));
      if (is_absolute_folder(value)) return value;
      if (value.empty()) {
        throw kro::exceptions::error(static_cast<int32_t>(ERROR_FILE_NOT_FOUND),
                                     "Unable to find the common application data folder.");
      }
      throw kro::exceptions::error(static_cast<int32_t>(ERROR_BAD_PATHNAME),
                                   "The common application data folder '%s' is not a full path.",
                                   text::to_utf8(value).c_str());
    }
    if (status == ERROR_MORE_DATA) {
      bytes = size > bytes ? size : bytes + 2 * sizeof(wchar_t);
      status = ERROR_SUCCESS;
    }
  }
  if (status == ERROR_SUCCESS) status = ERROR_MORE_DATA;  // still growing after every round
  throw kro::exceptions::error(static_cast<int32_t>(status),
                               "Unable to find the common application data folder.");
}

prepared prepare(const api& functions, const std::wstring& common, const std::wstring& company) {
  prepared out;
  out.log_file = log_file_path(common, company);
  preparation run(functions);

  // What lies above the program's own folders keeps the security of where it
  // is made (errors are ignored: what is missing shows below).
  if (GetFileAttributesW(common.c_str()) == INVALID_FILE_ATTRIBUTES) files::create_directories(common);
  std::wstring parent_final;
  if (files::unique_file top = open_entry(common, FILE_READ_ATTRIBUTES, FILE_FLAG_BACKUP_SEMANTICS)) {
    parent_final = files::final_path(top.get());
    if (parent_final.empty()) run.refuse(common, "its full path cannot be read");
  } else {
    run.refuse(common, text::format("it cannot be created or opened (error %u)",
                                    static_cast<unsigned>(GetLastError())));
  }
  const access::unique_descriptor descriptor =
      parent_final.empty() ? nullptr : access::private_folder_descriptor();
  if (!parent_final.empty() && !descriptor) {
    run.refuse(common, text::format("the access list for its folders cannot be made (error %u)",
                                    static_cast<unsigned>(GetLastError())));
  } else if (descriptor) {
    SECURITY_ATTRIBUTES security{};
    security.nLength = sizeof(security);
    security.lpSecurityDescriptor = descriptor.get();
    security.bInheritHandle = FALSE;
    for (const std::wstring& folder : own_folders(common, company)) {
      parent_final = run.folder(folder, parent_final, &security);
      if (parent_final.empty()) break;
    }
    if (!parent_final.empty()) out.usable = run.file(out.log_file, parent_final);
  }
  out.refusal = run.refusal();
  out.notes = run.notes();
  if (!out.usable) OutputDebugStringA((out.refusal + "\n").c_str());
  return out;
}

}  // namespace kro::sfx::log_folder
