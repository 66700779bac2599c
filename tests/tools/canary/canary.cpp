// canary.dll: stands in for a system DLL that a hostile file beside a
// package could plant. The tests copy it under the names of the DLLs that
// sfx.exe loads at start-up or by name at run time (version.dll, bcrypt.dll,
// cryptbase.dll, ...) and make Wine prefer such a file to its own. When a
// process loads it, DllMain writes the marker file "<own path>.loaded"
// (UTF-8 lines) telling who brought it in:
//   program: <path of the process's executable>
//   load: static | dynamic            (process start-up, or LoadLibrary later)
//   program-reaches: yes | no         (an import address table entry of the
//                                      executable points into this DLL: a
//                                      direct import or one forwarded here)
//   imported-by: <path>               (one line per loaded module whose import
//                                      table names this DLL's file name)
//
// It exports the functions a program may import from those DLLs, so that a
// program importing them at load time still starts (and the marker shows
// it); each export fails.
#include <windows.h>
#include <winternl.h>

#include <string>

namespace {

std::string utf8(const wchar_t* text, int chars) {
  const int n = WideCharToMultiByte(CP_UTF8, 0, text, chars, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(n > 0 ? n : 0), '\0');
  if (n > 0) WideCharToMultiByte(CP_UTF8, 0, text, chars, out.data(), n, nullptr, nullptr);
  return out;
}

const IMAGE_NT_HEADERS* headers_of(const BYTE* base) {
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  return reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
}

const IMAGE_IMPORT_DESCRIPTOR* imports_of(const BYTE* base) {
  const IMAGE_DATA_DIRECTORY& dir =
      headers_of(base)->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  return dir.VirtualAddress ? reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + dir.VirtualAddress)
                            : nullptr;
}

// Whether an import address table entry of the module at base points into
// [low, high).
bool reaches(const BYTE* base, ULONG_PTR low, ULONG_PTR high) {
  for (const auto* d = imports_of(base); d && d->Name; ++d) {
    for (const auto* slot = reinterpret_cast<const ULONG_PTR*>(base + d->FirstThunk); *slot; ++slot)
      if (*slot >= low && *slot < high) return true;
  }
  return false;
}

bool imports_name(const BYTE* base, const char* name) {
  for (const auto* d = imports_of(base); d && d->Name; ++d)
    if (lstrcmpiA(reinterpret_cast<const char*>(base + d->Name), name) == 0) return true;
  return false;
}

void write_marker(HMODULE self, bool static_load) {
  wchar_t path[MAX_PATH + 16] = {};
  const DWORD n = GetModuleFileNameW(self, path, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return;
  const wchar_t* file_name = path;
  for (const wchar_t* p = path; *p; ++p)
    if (*p == L'\\') file_name = p + 1;
  std::string own_name = utf8(file_name, -1);
  own_name.resize(own_name.size() ? own_name.size() - 1 : 0);  // without the NUL

  const auto* own = reinterpret_cast<const BYTE*>(self);
  const ULONG_PTR low = reinterpret_cast<ULONG_PTR>(own);
  const ULONG_PTR high = low + headers_of(own)->OptionalHeader.SizeOfImage;
  const auto* program = reinterpret_cast<const BYTE*>(GetModuleHandleW(nullptr));

  wchar_t program_path[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, program_path, MAX_PATH);
  std::string text = "program: " + std::string(utf8(program_path, -1).c_str()) + "\n";
  text += static_load ? "load: static\n" : "load: dynamic\n";
  text += reaches(program, low, high) ? "program-reaches: yes\n" : "program-reaches: no\n";

  // The loader's module list (this DLL runs under the loader lock: reading
  // the list is safe here).
  const PEB* peb = nullptr;
  __asm__("movl %%fs:0x30, %0" : "=r"(peb));  // the thread environment block's PEB field
  const LIST_ENTRY* head = &peb->Ldr->InMemoryOrderModuleList;
  for (const LIST_ENTRY* link = head->Flink; link != head; link = link->Flink) {
    const auto* entry = CONTAINING_RECORD(link, LDR_DATA_TABLE_ENTRY, InMemoryOrderLinks);
    const auto* base = static_cast<const BYTE*>(entry->DllBase);
    if (!base || base == own) continue;
    if (imports_name(base, own_name.c_str()))
      text += "imported-by: " +
              utf8(entry->FullDllName.Buffer, static_cast<int>(entry->FullDllName.Length / sizeof(wchar_t))) +
              "\n";
  }

  lstrcatW(path, L".loaded");
  const HANDLE file =
      CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  CloseHandle(file);
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  if (reason == DLL_PROCESS_ATTACH) write_marker(instance, reserved != nullptr);
  return TRUE;
}

// Exported under their undecorated names (--kill-at).
extern "C" {
// version.dll
__declspec(dllexport) DWORD WINAPI GetFileVersionInfoSizeW(LPCWSTR, LPDWORD) {
  SetLastError(ERROR_RESOURCE_TYPE_NOT_FOUND);
  return 0;
}
__declspec(dllexport) BOOL WINAPI GetFileVersionInfoW(LPCWSTR, DWORD, DWORD, LPVOID) { return FALSE; }
__declspec(dllexport) BOOL WINAPI VerQueryValueW(LPCVOID, LPCWSTR, LPVOID*, PUINT) { return FALSE; }
// cryptbase.dll (RtlGenRandom)
__declspec(dllexport) BOOLEAN WINAPI SystemFunction036(PVOID, ULONG) { return FALSE; }
// bcrypt.dll
__declspec(dllexport) LONG WINAPI BCryptGenRandom(PVOID, PUCHAR, ULONG, ULONG) {
  return static_cast<LONG>(0xC0000001);  // STATUS_UNSUCCESSFUL
}
// cryptsp.dll (the CryptoAPI calls advapi32 forwards there)
__declspec(dllexport) BOOL WINAPI CryptAcquireContextW(PVOID, LPCWSTR, LPCWSTR, DWORD, DWORD) {
  return FALSE;
}
__declspec(dllexport) BOOL WINAPI CryptGenRandom(ULONG_PTR, DWORD, BYTE*) { return FALSE; }
__declspec(dllexport) BOOL WINAPI CryptReleaseContext(ULONG_PTR, DWORD) { return FALSE; }
}
