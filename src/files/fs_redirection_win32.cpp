#include <windows.h>

#include "files/fs_redirection.h"

namespace kro::files {
namespace {

using toggle_fn = BOOL(WINAPI*)(PVOID*);
using revert_fn = BOOL(WINAPI*)(PVOID);

// The thread environment block's WOW64 reserved field (offset 0xC0 of the
// 32-bit TEB) is non-zero in a 32-bit process on 64-bit Windows.
bool runs_under_wow64() {
#if defined(__i386__)
  unsigned long field = 0;
  asm("movl %%fs:0xC0, %0" : "=r"(field));
  return field != 0;
#else
  return false;
#endif
}

}  // namespace

fs_redirection::fs_redirection() : m_wow64(runs_under_wow64()) {
  if (HMODULE kernel = GetModuleHandleW(L"kernel32.dll")) {
    m_disable = reinterpret_cast<void*>(GetProcAddress(kernel, "Wow64DisableWow64FsRedirection"));
    m_revert = reinterpret_cast<void*>(GetProcAddress(kernel, "Wow64RevertWow64FsRedirection"));
  }
}

fs_redirection::~fs_redirection() { revert(); }

void fs_redirection::disable() {
  if (m_disabled || !m_wow64 || !m_disable || !m_revert) return;
  const DWORD saved = GetLastError();
  m_disabled = reinterpret_cast<toggle_fn>(m_disable)(&m_state) != FALSE;
  SetLastError(saved);
}

void fs_redirection::revert() {
  if (!m_disabled) return;
  const DWORD saved = GetLastError();
  reinterpret_cast<revert_fn>(m_revert)(m_state);
  m_disabled = false;
  SetLastError(saved);
}

}  // namespace kro::files
