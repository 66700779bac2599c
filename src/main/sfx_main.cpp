// sfx.exe: the image's entry symbol and the wide GUI entry; everything else
// lives in the library.
#include <windows.h>

#include "sfx/entry.h"

extern "C" int WinMainCRTStartup(void);

extern "C" __attribute__((force_align_arg_pointer)) int __stdcall entry(void) {
  kro::sfx::harden_loader();
  ExitProcess(static_cast<UINT>(WinMainCRTStartup()));
}

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR command_line, int show) {
  return kro::sfx::program_entry(command_line, show);
}
