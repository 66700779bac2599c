#pragma once
// Owners of operating-system handles.
//
// unique_resource<T, Invalid, Close> owns one value of type T and passes it
// to Close when it is destroyed or reset, unless it holds Invalid(). Each
// family of handles gets its own instantiation, so a file handle (invalid
// value INVALID_HANDLE_VALUE) can never be stored in an owner of kernel
// objects whose invalid value is null, and vice versa.
//
// The close functions keep the thread's last error (errno on POSIX), so an
// owner going out of scope while an error is being reported never changes the
// error code the caller is about to read.
#include <cstdint>
#include <string>
#include <utility>

namespace kro::files {

template <class T, T (*Invalid)() noexcept, void (*Close)(T) noexcept>
class unique_resource {
 public:
  using value_type = T;

  unique_resource() noexcept = default;
  explicit unique_resource(T value) noexcept : m_value(value) {}
  ~unique_resource() { reset(); }

  unique_resource(const unique_resource&) = delete;
  unique_resource& operator=(const unique_resource&) = delete;
  unique_resource(unique_resource&& other) noexcept : m_value(other.release()) {}
  unique_resource& operator=(unique_resource&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }

  static T invalid() noexcept { return Invalid(); }

  T get() const noexcept { return m_value; }
  bool valid() const noexcept { return m_value != Invalid(); }
  explicit operator bool() const noexcept { return valid(); }

  // Gives up ownership; the caller now closes the value.
  [[nodiscard]] T release() noexcept { return std::exchange(m_value, Invalid()); }

  // Closes the value held (if any) and takes ownership of value.
  void reset(T value = Invalid()) noexcept {
    const T old = std::exchange(m_value, value);
    if (old != Invalid()) Close(old);
  }

 private:
  T m_value = Invalid();
};

#if defined(_WIN32)

// A Win32 HANDLE.
using native_handle = void*;

namespace detail {
inline void* invalid_file_value() noexcept { return reinterpret_cast<void*>(static_cast<intptr_t>(-1)); }
inline void* null_handle_value() noexcept { return nullptr; }
// CloseHandle, keeping the thread's last error.
void close_kernel_handle(void* handle) noexcept;
}  // namespace detail

// Files, as CreateFileW gives them (invalid: INVALID_HANDLE_VALUE).
using unique_file = unique_resource<void*, detail::invalid_file_value, detail::close_kernel_handle>;
// Other kernel objects: mappings, events, processes, threads (invalid: null).
using unique_kernel_handle = unique_resource<void*, detail::null_handle_value, detail::close_kernel_handle>;

// The full path of an open file or folder as the system resolves it (links
// followed, with a "\\?\" prefix); empty when the system cannot tell.
std::wstring final_path(native_handle handle);

#else

// A POSIX file descriptor.
using native_handle = int;

namespace detail {
inline int invalid_fd_value() noexcept { return -1; }
// close(2), keeping errno.
void close_fd(int fd) noexcept;
}  // namespace detail

using unique_file = unique_resource<int, detail::invalid_fd_value, detail::close_fd>;

#endif

// Opens an existing file for reading (shared for reading and deletion on
// Windows). Throws kro::exceptions::error with the system's error code and
// "Unable to open file '<path>'!" when the file cannot be opened.
unique_file open_for_read(const std::wstring& path);

}  // namespace kro::files
