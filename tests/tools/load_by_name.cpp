// load_by_name.exe NAME...: loads each DLL with LoadLibraryW and the plain
// name, so with the default search order that starts in this program's own
// folder, and prints "NAME: <path loaded>" or "NAME: error <code>" (UTF-8).
// The DLL planting test runs it beside its planted copies to show that they
// are found where a program does not narrow its search.
#include <windows.h>

#include <cstdio>
#include <string>

namespace {

std::string utf8(const wchar_t* text) {
  const int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (n <= 1) return {};
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), n, nullptr, nullptr);
  out.resize(static_cast<size_t>(n - 1));
  return out;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  for (int i = 1; i < argc; ++i) {
    const HMODULE module = LoadLibraryW(argv[i]);
    if (!module) {
      std::printf("%s: error %lu\n", utf8(argv[i]).c_str(), GetLastError());
      continue;
    }
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(module, path, MAX_PATH);
    std::printf("%s: %s\n", utf8(argv[i]).c_str(), utf8(path).c_str());
  }
  return 0;
}
