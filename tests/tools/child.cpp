// child.exe [ACTION...]: a child process for the launch tests. Actions run
// in order:
//   sleep:MS      pause MS milliseconds
//   out:TEXT      write TEXT to standard output
//   err:TEXT      write TEXT to standard error
//   fill:N        write N bytes ('o' to standard output, then 'e' to standard
//                 error, in turns of 4096)
//   echo          copy standard input to standard output until it ends
//   cwd-to:FILE   write the current directory (UTF-8) into FILE
//   exit:CODE     end with CODE (decimal or 0x hex; the full 32 bits)
// Without exit: the code is 0.
#include <windows.h>

#include <cstdlib>
#include <cwchar>
#include <string>

namespace {

void write_all(HANDLE h, const char* data, DWORD size) {
  while (size > 0) {
    DWORD written = 0;
    if (!WriteFile(h, data, size, &written, nullptr) || written == 0) return;
    data += written;
    size -= written;
  }
}

void write_text(DWORD which, const wchar_t* text) {
  std::string narrow;
  for (const wchar_t* p = text; *p; ++p) narrow += static_cast<char>(*p);
  write_all(GetStdHandle(which), narrow.data(), static_cast<DWORD>(narrow.size()));
}

bool starts(const wchar_t* arg, const wchar_t* prefix, const wchar_t** rest) {
  const size_t n = std::wcslen(prefix);
  if (std::wcsncmp(arg, prefix, n) != 0) return false;
  *rest = arg + n;
  return true;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  for (int i = 1; i < argc; ++i) {
    const wchar_t* rest = nullptr;
    if (starts(argv[i], L"sleep:", &rest)) {
      Sleep(static_cast<DWORD>(std::wcstoul(rest, nullptr, 0)));
    } else if (starts(argv[i], L"out:", &rest)) {
      write_text(STD_OUTPUT_HANDLE, rest);
    } else if (starts(argv[i], L"err:", &rest)) {
      write_text(STD_ERROR_HANDLE, rest);
    } else if (starts(argv[i], L"fill:", &rest)) {
      unsigned long left = std::wcstoul(rest, nullptr, 0);
      const std::string o(4096, 'o'), e(4096, 'e');
      while (left > 0) {
        const DWORD n = static_cast<DWORD>(left < 4096 ? left : 4096);
        write_all(GetStdHandle(STD_OUTPUT_HANDLE), o.data(), n);
        write_all(GetStdHandle(STD_ERROR_HANDLE), e.data(), n);
        left -= n;
      }
    } else if (std::wcscmp(argv[i], L"echo") == 0) {
      char buffer[4096];
      DWORD got = 0;
      while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), buffer, sizeof(buffer), &got, nullptr) && got > 0) {
        write_all(GetStdHandle(STD_OUTPUT_HANDLE), buffer, got);
      }
    } else if (starts(argv[i], L"cwd-to:", &rest)) {
      wchar_t folder[32768];
      const DWORD length = GetCurrentDirectoryW(32768, folder);
      char utf8[4 * 32768];
      const int bytes = WideCharToMultiByte(CP_UTF8, 0, folder, static_cast<int>(length), utf8, sizeof utf8,
                                            nullptr, nullptr);
      const HANDLE file =
          CreateFileW(rest, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
      if (file != INVALID_HANDLE_VALUE) {
        write_all(file, utf8, static_cast<DWORD>(bytes));
        CloseHandle(file);
      }
    } else if (starts(argv[i], L"exit:", &rest)) {
      ExitProcess(static_cast<UINT>(std::wcstoul(rest, nullptr, 0)));
    }
  }
  return 0;
}
