#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "files/directory.h"
#include "text/text.h"

namespace kro::files {
namespace {

std::string native(const std::wstring& path) {
  std::string out = text::to_utf8(path);
  for (char& c : out)
    if (c == '\\') c = '/';
  return out;
}

bool is_folder(const std::string& path) {
  struct stat info {};
  return lstat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

}  // namespace

bool is_directory(const std::wstring& path) { return is_folder(native(path)); }

uint32_t create_directories(const std::wstring& path, void*) {
  const std::string target = native(path);
  for (size_t i = 1; i < target.size(); ++i) {
    if (target[i] == '/') mkdir(target.substr(0, i).c_str(), 0755);
  }
  errno = 0;
  mkdir(target.c_str(), 0700);
  const int error = errno;
  if (is_folder(target)) return 0;
  return error != 0 ? static_cast<uint32_t>(error) : ENOTDIR;
}

std::wstring full_path(const std::wstring& path) {
  if (path.empty()) return std::wstring();
  if (path[0] == L'/' || path[0] == L'\\') return path;
  char* folder = getcwd(nullptr, 0);
  if (!folder) return std::wstring();
  const std::wstring full = join(text::from_utf8(folder), path);
  std::free(folder);
  return full;
}

}  // namespace kro::files
