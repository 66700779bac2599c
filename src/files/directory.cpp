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

}  // namespace kro::files
