// The Windows side of sfxtool's file writer (io.h): exclusive creation with
// CREATE_NEW, a private access list given at creation, FlushFileBuffers and
// MoveFileExW.
#include <windows.h>
// after windows.h
#include <sddl.h>

#include <algorithm>
#include <string>

#include "text/text.h"
#include "tool/io.h"

namespace kro::tool {
namespace {

void free_local(void* memory) noexcept {
  if (memory != nullptr) LocalFree(memory);
}
inline void* no_memory() noexcept { return nullptr; }
using unique_local = files::unique_resource<void*, no_memory, free_local>;

std::string system_text(DWORD error) {
  wchar_t* message = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
      error, 0, reinterpret_cast<wchar_t*>(&message), 0, nullptr);
  const unique_local owned(message);
  std::wstring text = length ? std::wstring(message, length) : L"";
  while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' '))
    text.pop_back();
  return text.empty() ? "error " + std::to_string(error) : text::to_utf8(text);
}

// The user's SID as text ("S-1-5-21-...").
std::wstring user_sid() {
  HANDLE raw = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw))
    throw tool_error("cannot read the user's token: " + system_text(GetLastError()));
  const files::unique_kernel_handle token(raw);
  DWORD size = 0;
  GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
  std::string buffer(size, '\0');
  if (size == 0 || !GetTokenInformation(token.get(), TokenUser, buffer.data(), size, &size))
    throw tool_error("cannot read the user's token: " + system_text(GetLastError()));
  wchar_t* text = nullptr;
  if (!ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid, &text))
    throw tool_error("cannot read the user's token: " + system_text(GetLastError()));
  const unique_local owned(text);
  return text;
}

}  // namespace

namespace detail {

files::unique_file create_exclusive(const std::filesystem::path& path, file_access access) {
  SECURITY_ATTRIBUTES attributes{};
  attributes.nLength = sizeof attributes;
  unique_local descriptor;
  if (access == file_access::private_to_owner) {
    // Protected (no inherited entries), one entry: full control for the user.
    const std::wstring sddl = L"D:P(A;;FA;;;" + user_sid() + L")";
    void* made = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &made, nullptr))
      throw tool_error("cannot build a private access list: " + system_text(GetLastError()));
    descriptor.reset(made);
    attributes.lpSecurityDescriptor = descriptor.get();
  }
  // CREATE_NEW fails on any existing entry, a link included, and never
  // follows one.
  files::unique_file file(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                      access == file_access::private_to_owner ? &attributes : nullptr,
                                      CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) throw tool_error("cannot create '" + path.string() + "': " + system_text(GetLastError()));
  return file;
}

}  // namespace detail

void write_all(files::native_handle file, const void* data, size_t size, const std::filesystem::path& path) {
  const auto* bytes = static_cast<const uint8_t*>(data);
  for (size_t done = 0; done < size;) {
    const DWORD piece = static_cast<DWORD>(std::min<size_t>(size - done, 1u << 30));
    DWORD written = 0;
    if (!WriteFile(file, bytes + done, piece, &written, nullptr) || written == 0)
      throw tool_error("cannot write '" + path.string() + "': " + system_text(GetLastError()));
    done += written;
  }
}

void flush_file(files::native_handle file, const std::filesystem::path& path) {
  if (!FlushFileBuffers(file))
    throw tool_error("cannot write '" + path.string() + "': " + system_text(GetLastError()));
}

void replace_file(const std::filesystem::path& from, const std::filesystem::path& to) {
  if (!MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    throw tool_error("cannot rename '" + from.string() + "' to '" + to.string() +
                     "': " + system_text(GetLastError()));
  }
}

namespace {

// FILETIME counts 100-nanosecond steps from 1601-01-01.
constexpr uint64_t seconds_1601_to_1970 = 11644473600;
constexpr uint64_t ticks_per_second = 10000000;

}  // namespace

uint64_t modification_time(const std::filesystem::path& path) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data))
    throw tool_error("cannot read the time of '" + path.string() + "': " + system_text(GetLastError()));
  const uint64_t ticks =
      uint64_t{data.ftLastWriteTime.dwHighDateTime} << 32 | data.ftLastWriteTime.dwLowDateTime;
  const uint64_t seconds = ticks / ticks_per_second;
  return seconds < seconds_1601_to_1970 ? 0 : seconds - seconds_1601_to_1970;
}

bool set_modification_time(const std::filesystem::path& path, uint64_t seconds) {
  // At most (253402300799 + 11644473600) * 10^7, about 2^61: no overflow.
  const uint64_t ticks = (std::min(seconds, latest_file_time) + seconds_1601_to_1970) * ticks_per_second;
  FILETIME written{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
  files::unique_file file(CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES,
                                      FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  return file && SetFileTime(file.get(), nullptr, nullptr, &written);
}

void remove_file(const std::filesystem::path& path) noexcept {
  const DWORD saved = GetLastError();
  DeleteFileW(path.c_str());
  SetLastError(saved);
}

}  // namespace kro::tool
