// file_mapping over POSIX descriptors: fstat for the size and mmap views at
// page-aligned offsets. There is no separate mapping object; the descriptor
// itself is mapped.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "exceptions/exceptions.h"
#include "files/file_mapping.h"

namespace kro::files {
namespace {

uint64_t page_size() {
  static const uint64_t size = [] {
    const long value = sysconf(_SC_PAGESIZE);
    return value > 0 ? static_cast<uint64_t>(value) : 4096u;
  }();
  return size;
}

}  // namespace

void file_mapping::open_impl(native_handle file, bool /*inheritable: mappings are not inherited*/) {
  struct stat info {};
  if (fstat(file, &info) != 0) throw kro::exceptions::error(errno, "Unable to get file size!");
  m_file_size = info.st_size > 0 ? static_cast<uint64_t>(info.st_size) : 0;
  if (m_file_size == 0) return;
  // A read-only mapping needs a descriptor open for reading.
  const int flags = fcntl(file, F_GETFL);
  if (flags == -1) throw kro::exceptions::error(errno, "Unable to create file mapping!");
  if ((flags & O_ACCMODE) == O_WRONLY) throw kro::exceptions::error(EACCES, "Unable to create file mapping!");
}

void file_mapping::map_impl(uint64_t offset, uint32_t size) {
  const uint64_t aligned = offset - offset % page_size();
  const uint64_t total = offset - aligned + size;
  // Only a 32-bit address space can fail to hold the view with its alignment slack.
  if (sizeof(size_t) < sizeof(uint64_t) && (total >> 32) != 0) {
    throw kro::exceptions::error(ENOMEM, "Unable to create mapping view!");
  }
  void* base =
      mmap(nullptr, static_cast<size_t>(total), PROT_READ, MAP_SHARED, m_file, static_cast<off_t>(aligned));
  if (base == MAP_FAILED) throw kro::exceptions::error(errno, "Unable to create mapping view!");
  m_base = base;
  m_base_size = static_cast<size_t>(total);
  m_view = static_cast<const uint8_t*>(base) + (offset - aligned);
  m_view_size = size;
}

void file_mapping::unmap_impl() noexcept {
  const int saved = errno;
  munmap(m_base, m_base_size);
  errno = saved;
}

void file_mapping::close_impl() noexcept {}

}  // namespace kro::files
