#include "sfx/log_folder.h"

#include "files/directory.h"

namespace kro::sfx::log_folder {
namespace {

bool is_separator(wchar_t c) { return c == L'\\' || c == L'/'; }

bool is_letter(wchar_t c) { return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z'); }

// Length of a name part starting at `at`: characters up to the next separator.
size_t part_length(const std::wstring& value, size_t at) {
  size_t end = at;
  while (end < value.size() && !is_separator(value[end])) ++end;
  return end - at;
}

}  // namespace

bool is_absolute_folder(const std::wstring& value) {
  if (value.size() >= 3 && is_letter(value[0]) && value[1] == L':' && is_separator(value[2])) return true;
  if (value.size() < 2 || !is_separator(value[0]) || !is_separator(value[1])) return false;
  // "\\?\C:\..." and "\\?\UNC\server\share" name the same places as their
  // plain forms.
  if (value.size() >= 4 && value[2] == L'?' && is_separator(value[3])) {
    const std::wstring rest = value.substr(4);
    if (is_absolute_folder(rest)) return true;
    if (rest.size() >= 4 && (rest.compare(0, 3, L"UNC") == 0 || rest.compare(0, 3, L"unc") == 0) &&
        is_separator(rest[3])) {
      return is_absolute_folder(L"\\\\" + rest.substr(4));
    }
    return false;
  }
  const size_t server = part_length(value, 2);
  if (server == 0 || 2 + server >= value.size()) return false;
  const size_t share_at = 2 + server + 1;
  const size_t share = part_length(value, share_at);
  return share > 0 && value.substr(2, server) != L"." && value.substr(2, server) != L"?";
}

std::vector<std::wstring> own_folders(const std::wstring& common, const std::wstring& company) {
  std::vector<std::wstring> folders;
  folders.push_back(files::join(common, company));
  folders.push_back(files::join(folders.back(), L"Morrow"));
  folders.push_back(files::join(folders.back(), L"Logs"));
  return folders;
}

std::wstring log_file_path(const std::wstring& common, const std::wstring& company) {
  return files::join(own_folders(common, company).back(), L"sfx.log");
}

}  // namespace kro::sfx::log_folder
