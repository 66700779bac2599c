// launch.exe PROGRAM [ARGS...]: starts the program with CreateProcessW, waits
// for it and prints "exit=<code>" with the full 32-bit exit code, which a
// Linux parent of Wine would otherwise see cut to 8 bits. The command line
// is the rest of this program's own, or, when the environment variable
// KRO_LAUNCH_COMMAND is set, exactly its text (quotes and all). When
// KRO_LAUNCH_DIRECTORY is set, the program starts with that folder as its
// current directory (else with this program's).
#include <windows.h>

#include <cstdio>
#include <cwchar>

namespace {

// The command line after this program's own token.
const wchar_t* rest_of_command_line() {
  const wchar_t* p = GetCommandLineW();
  bool quoted = false;
  for (; *p; ++p) {
    if (*p == L'"') quoted = !quoted;
    if (!quoted && (*p == L' ' || *p == L'\t')) break;
  }
  while (*p == L' ' || *p == L'\t') ++p;
  return p;
}

}  // namespace

int wmain() {
  const wchar_t* rest = _wgetenv(L"KRO_LAUNCH_COMMAND");
  if (!rest || !*rest) rest = rest_of_command_line();
  if (!*rest) {
    std::fprintf(stderr, "usage: launch PROGRAM [ARGS...]\n");
    return 2;
  }
  const size_t length = std::wcslen(rest);
  wchar_t* command = new wchar_t[length + 1];
  std::wmemcpy(command, rest, length + 1);
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process{};
  const wchar_t* directory = _wgetenv(L"KRO_LAUNCH_DIRECTORY");
  if (directory && !*directory) directory = nullptr;
  if (!CreateProcessW(nullptr, command, nullptr, nullptr, FALSE, 0, nullptr, directory, &startup, &process)) {
    std::fprintf(stderr, "launch: CreateProcessW failed with %lu\n", GetLastError());
    delete[] command;
    return 3;
  }
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD code = 0;
  GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  delete[] command;
  std::printf("exit=%lu\n", code);
  std::fflush(stdout);
  return 0;
}
