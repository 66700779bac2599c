#include "files/directory.h"

namespace kro::files {

std::wstring join(const std::wstring& folder, const std::wstring& name) {
  std::wstring out = folder;
  if (!out.empty() && out.back() != L'\\' && out.back() != L'/') out += L'\\';
  out += name;
  return out;
}

std::wstring parent_of(const std::wstring& path) {
  const size_t at = path.find_last_of(L"\\/");
  return at == std::wstring::npos ? std::wstring() : path.substr(0, at);
}

bool is_fully_qualified(std::wstring_view path) {
  const auto separator = [](wchar_t c) { return c == L'\\' || c == L'/'; };
  if (path.size() >= 2 && separator(path[0]) && separator(path[1])) return true;
  const bool letter =
      path.size() >= 3 && ((path[0] >= L'A' && path[0] <= L'Z') || (path[0] >= L'a' && path[0] <= L'z'));
  return letter && path[1] == L':' && separator(path[2]);
}

}  // namespace kro::files
