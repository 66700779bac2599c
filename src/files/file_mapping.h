#pragma once
// Read-only memory mapping of an open file with one movable view.
//
// open() reads the file size and creates the mapping; map_view() places the
// one view anywhere in the file (any byte offset: the view is mapped from the
// aligned offset below it, as the system requires, and the pointer handed out
// is that of the requested byte). The mapping never writes to the file.
//
// Errors are kro::exceptions::error:
//   "Unable to get file size!"                           system error code
//   "Unable to create file mapping!"                     system error code
//   "Unable to map a view of uninitialized mapping!"     -1
//   "Unable to map a view outside of the file mapping!"  5 (offset behind the end)
//   "Unable to create mapping view!"                     system error code; 87 when
//                                                        4 GiB or more would remain
//   "Unable to retrieve size of uninitialized mapping!"  -1
//   "Unable to retrieve pointer of the unmapped view!"   -1
//   "Unable to retrieve size of unmapped view!"          -1
//   "Unable to read outside of the mapped view!"         5
#include <cstdint>

#include "bytes/byte_view.h"
#include "files/file_handle.h"

namespace kro::files {

class file_mapping {
 public:
  file_mapping() = default;
  ~file_mapping();
  file_mapping(const file_mapping&) = delete;
  file_mapping& operator=(const file_mapping&) = delete;

  // Resets the object and maps the file read-only. The handle stays the
  // caller's and must stay open while the mapping is in use. inheritable:
  // the mapping object may be inherited by child processes (Windows only).
  // whole_view: also map a view of the whole file (fails for files of 4 GiB
  // or more). An empty file gives an opened mapping of size 0 without a
  // mapping object.
  void open(native_handle file, bool inheritable = false, bool whole_view = false);
  // The same, over a file handle the mapping takes over and closes in reset().
  void open(unique_file file, bool inheritable = false, bool whole_view = false);

  // Unmaps a previous view and maps size bytes from offset. size 0 means to
  // the end of the file; the size is cut to what remains behind offset. An
  // offset equal to the file size gives an empty view that still counts as
  // mapped.
  void map_view(uint64_t offset, uint32_t size);
  void unmap_view() noexcept;

  uint64_t file_size() const;
  // The first byte of the view (never null while mapped, even when empty).
  const uint8_t* view() const;
  uint32_t view_size() const;
  // The file offset of the view's first byte.
  uint64_t view_offset() const;
  // Pointer to width bytes at view offset offset, only when they lie wholly
  // inside the view; else code 5 "Unable to read outside of the mapped view!".
  const uint8_t* read(uint32_t offset, uint32_t width) const;

  // Unmaps the view and closes the mapping object (and a file it owns).
  void reset() noexcept;

  bool opened() const noexcept { return m_opened; }
  bool mapped() const noexcept { return m_mapped; }

 private:
  void open_impl(native_handle file, bool inheritable);  // platform part of open()
  void map_impl(uint64_t offset, uint32_t size);         // platform part of map_view()
  void unmap_impl() noexcept;
  void close_impl() noexcept;

  unique_file m_owned_file;  // only when opened over an owned handle
  native_handle m_file = unique_file::invalid();
#if defined(_WIN32)
  unique_kernel_handle m_mapping;
#endif
  bool m_opened = false;
  uint64_t m_file_size = 0;
  bool m_mapped = false;
  void* m_base = nullptr;  // start of the system's view (aligned), null for an empty view
  size_t m_base_size = 0;  // bytes mapped from m_base
  const uint8_t* m_view = nullptr;
  uint32_t m_view_size = 0;
  uint64_t m_view_offset = 0;
};

// The bytes of a whole opened mapping, read through windows of the one view:
// a read that does not lie inside the current window moves the view (window
// bytes from the read's offset, or the read's length when that is more). So
// no reader needs the file as one block, and files of 4 GiB and more can be
// read. A span a read gives stays valid until the next read.
class mapping_windows final : public bytes::source {
 public:
  static constexpr uint32_t default_window = 32u << 20;  // 32 MiB

  // mapping must be opened and outlive this object; its view is moved.
  explicit mapping_windows(file_mapping& mapping, uint32_t window = default_window);

  uint64_t size() const override;
  const uint8_t* fetch(uint64_t offset, size_t n) const override;
  size_t max_piece() const override { return m_window; }

 private:
  file_mapping& m_mapping;
  uint32_t m_window;
};

}  // namespace kro::files
