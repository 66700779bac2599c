// morrow_mod.dll: the sample product's module DLL. The self-extractor asks it
// whether the release channel it is about to install should change.
//
//   uint32_t CheckChannelCompatibility(const wchar_t* product,
//                                      const wchar_t* channel, wchar_t* buffer,
//                                      uint32_t* count, uint32_t reserved)
//
// C calling convention, exported under exactly that name. *count holds the
// buffer's capacity in characters on entry and the answer's length on
// return. Results: 0 success, 234 buffer too small (*count = the length
// needed), 87 a null pointer, 14 out of memory.
//
// The answer is driven by the environment, read at every call, so tests and
// the demo can steer it:
//   MORROW_MOD_RESULT   (decimal) return that value and write nothing;
//   MORROW_MOD_CHANNEL  the channel to answer; without it the current channel;
//   MORROW_MOD_LOG      a file to which each call appends one UTF-8 line
//                       "product=<p> channel=<c> capacity=<n> result=<r>\r\n".
#include <windows.h>

#include <cstdint>
#include <cwchar>
#include <new>
#include <optional>
#include <string>

#include "common/environment.h"

namespace {

using kro::samples::decimal;
using kro::samples::environment;

constexpr uint32_t result_success = 0;
constexpr uint32_t result_out_of_memory = 14;  // ERROR_OUTOFMEMORY
constexpr uint32_t result_invalid_parameter = 87;
constexpr uint32_t result_more_data = 234;

class unique_handle {
 public:
  explicit unique_handle(HANDLE handle) : m_handle(handle) {}
  ~unique_handle() {
    if (m_handle != INVALID_HANDLE_VALUE) CloseHandle(m_handle);
  }
  unique_handle(const unique_handle&) = delete;
  unique_handle& operator=(const unique_handle&) = delete;
  HANDLE get() const { return m_handle; }

 private:
  HANDLE m_handle;
};

// Appends the call's line to the log file; a log that cannot be written is
// skipped (the answer does not depend on it).
void append_log(const std::wstring& path, const wchar_t* product, const wchar_t* channel,
                const uint32_t* capacity, uint32_t result) {
  std::wstring line = L"product=";
  line += product ? product : L"(null)";
  line += L" channel=";
  line += channel ? channel : L"(null)";
  line += L" capacity=";
  line += capacity ? std::to_wstring(*capacity) : std::wstring(L"(null)");
  line += L" result=" + std::to_wstring(result) + L"\r\n";
  std::string bytes(line.size() * 3, '\0');
  bytes.resize(static_cast<size_t>(WideCharToMultiByte(CP_UTF8, 0, line.data(), static_cast<int>(line.size()),
                                                       bytes.data(), static_cast<int>(bytes.size()), nullptr,
                                                       nullptr)));
  // FILE_APPEND_DATA alone: every write goes to the end, also when several
  // processes append at the same time.
  unique_handle file(CreateFileW(path.c_str(), FILE_APPEND_DATA,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL, nullptr));
  if (file.get() == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

uint32_t answer(const wchar_t* product, const wchar_t* channel, wchar_t* buffer, uint32_t* count) {
  if (const auto forced = environment(L"MORROW_MOD_RESULT")) {
    if (const auto value = decimal(*forced)) return *value;
  }
  if (!product || !channel || !buffer || !count) return result_invalid_parameter;
  const std::wstring reply = environment(L"MORROW_MOD_CHANNEL").value_or(channel);
  const uint32_t length = static_cast<uint32_t>(reply.size());
  if (*count < length) {
    *count = length;
    return result_more_data;
  }
  std::wmemcpy(buffer, reply.data(), length);
  if (*count > length) buffer[length] = L'\0';
  *count = length;
  return result_success;
}

}  // namespace

extern "C" __declspec(dllexport) uint32_t
    __cdecl CheckChannelCompatibility(const wchar_t* product, const wchar_t* channel, wchar_t* buffer,
                                      uint32_t* count, uint32_t reserved) {
  (void)reserved;
  try {
    const uint32_t capacity = count ? *count : 0;
    const uint32_t result = answer(product, channel, buffer, count);
    if (const auto log = environment(L"MORROW_MOD_LOG"); log && !log->empty())
      append_log(*log, product, channel, count ? &capacity : nullptr, result);
    return result;
  } catch (const std::bad_alloc&) {
    return result_out_of_memory;
  } catch (...) {
    return result_invalid_parameter;
  }
}
