#include <windows.h>

#include "exceptions/exceptions.h"
#include "systools/os_version.h"

namespace kro::environment::os_version::detail {
namespace {

using rtl_get_version_t = LONG(WINAPI*)(RTL_OSVERSIONINFOEXW*);
using is_wow64_process2_t = BOOL(WINAPI*)(HANDLE, USHORT*, USHORT*);
using get_product_info_t = BOOL(WINAPI*)(DWORD, DWORD, DWORD, DWORD, DWORD*);

static_assert(sizeof(RTL_OSVERSIONINFOEXW) == 284);

// The system modules asked here are always loaded; their handles are not
// owned and need no release.
HMODULE loaded_module(const wchar_t* name, const char* display) {
  HMODULE module = GetModuleHandleW(name);
  if (module == nullptr)
    throw kro::exceptions::error(static_cast<int32_t>(GetLastError()), "GetModuleHandleW (%s)", display);
  return module;
}

template <class Function>
Function export_of(HMODULE module, const char* name) {
  FARPROC proc = GetProcAddress(module, name);
  if (proc == nullptr) return nullptr;
  return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(proc));
}

template <class Function>
Function required_export(HMODULE module, const char* name) {
  Function function = export_of<Function>(module, name);
  if (function == nullptr)
    throw kro::exceptions::error(static_cast<int32_t>(GetLastError()), "GetProcAddress (%s)", name);
  return function;
}

// WOW64 without IsWow64Process2 (before Windows 10 1511): the thread
// environment block's WOW64 field is set only for a 32-bit thread on a
// 64-bit system, and those systems are x64.
platform_type platform_from_teb() {
#if defined(__i386__)
  // fs addresses the 32-bit thread environment block; 0xC0 is WOW32Reserved.
  uint32_t wow64_reserved = 0;
  __asm__ volatile("movl %%fs:0xC0, %0" : "=r"(wow64_reserved));
  return wow64_reserved != 0 ? platform_type::x64 : platform_type::x86;
#elif defined(__x86_64__)
  return platform_type::x64;
#elif defined(__aarch64__)
  return platform_type::arm64;
#else
#error "unsupported processor"
#endif
}

platform_type native_platform() {
  const auto is_wow64_process2 =
      export_of<is_wow64_process2_t>(loaded_module(L"kernel32", "kernel32"), "IsWow64Process2");
  if (is_wow64_process2 == nullptr) return platform_from_teb();
  USHORT process_machine = 0;
  USHORT native_machine = 0;
  if (!is_wow64_process2(GetCurrentProcess(), &process_machine, &native_machine)) {
    throw kro::exceptions::error(static_cast<int32_t>(GetLastError()),
                                 "Unable to determine native architecture of the system!");
  }
  return platform_from_machine(native_machine);
}

}  // namespace

facts gather() {
  RTL_OSVERSIONINFOEXW version{};
  version.dwOSVersionInfoSize = sizeof(version);
  const auto rtl_get_version =
      required_export<rtl_get_version_t>(loaded_module(L"ntdll", "ntdll"), "RtlGetVersion");
  const LONG status = rtl_get_version(&version);
  if (status < 0) {
    throw kro::exceptions::error(static_cast<int32_t>(status), "RtlGetVersion failed (0x%08lx)!",
                                 static_cast<unsigned long>(status));
  }

  facts f;
  f.major = version.dwMajorVersion;
  f.minor = version.dwMinorVersion;
  f.build = version.dwBuildNumber;
  f.platform_id = version.dwPlatformId;
  f.service_pack.assign(version.szCSDVersion, wcsnlen(version.szCSDVersion, std::size(version.szCSDVersion)));
  f.sp_major = version.wServicePackMajor;
  f.sp_minor = version.wServicePackMinor;
  f.suite_mask = version.wSuiteMask;
  f.product_type = version.wProductType;
  f.platform = native_platform();

  f.product_kind = 0;
  if (f.major >= 6) {
    const auto get_product_info =
        required_export<get_product_info_t>(loaded_module(L"kernel32", "kernel32"), "GetProductInfo");
    DWORD kind = 0;
    if (get_product_info(f.major, f.minor, 0, 0, &kind)) f.product_kind = kind;
  }
  return f;
}

bool server_r2() { return GetSystemMetrics(SM_SERVERR2) != 0; }

}  // namespace kro::environment::os_version::detail
