// file_mapping over Win32 section objects: GetFileSizeEx, a read-only
// CreateFileMappingW and views from MapViewOfFile at offsets aligned to the
// allocation granularity.
#include <windows.h>

#include <cstdint>

#include "exceptions/exceptions.h"
#include "files/file_mapping.h"

namespace kro::files {
namespace {

uint64_t allocation_granularity() {
  static const uint64_t granularity = [] {
    SYSTEM_INFO info{};
    GetSystemInfo(&info);
    return info.dwAllocationGranularity ? static_cast<uint64_t>(info.dwAllocationGranularity) : 0x10000u;
  }();
  return granularity;
}

int32_t last_error() { return static_cast<int32_t>(GetLastError()); }

}  // namespace

void file_mapping::open_impl(native_handle file, bool inheritable) {
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(file, &size)) throw kro::exceptions::error(last_error(), "Unable to get file size!");
  m_file_size = static_cast<uint64_t>(size.QuadPart);
  if (m_file_size == 0) return;  // nothing to map; an empty file has no section object

  SECURITY_ATTRIBUTES attributes{};
  attributes.nLength = sizeof(attributes);
  attributes.bInheritHandle = inheritable ? TRUE : FALSE;
  m_mapping.reset(CreateFileMappingW(file, &attributes, PAGE_READONLY, static_cast<DWORD>(m_file_size >> 32),
                                     static_cast<DWORD>(m_file_size), nullptr));
  if (!m_mapping) throw kro::exceptions::error(last_error(), "Unable to create file mapping!");
}

void file_mapping::map_impl(uint64_t offset, uint32_t size) {
  const uint64_t granularity = allocation_granularity();
  const uint64_t aligned = offset - offset % granularity;
  const uint64_t total = offset - aligned + size;
  // Only a 32-bit address space can fail to hold the view with its alignment slack.
  if (sizeof(size_t) < sizeof(uint64_t) && (total >> 32) != 0) {
    throw kro::exceptions::error(ERROR_NOT_ENOUGH_MEMORY, "Unable to create mapping view!");
  }
  void* base = MapViewOfFile(m_mapping.get(), FILE_MAP_READ, static_cast<DWORD>(aligned >> 32),
                             static_cast<DWORD>(aligned), static_cast<SIZE_T>(total));
  if (!base) throw kro::exceptions::error(last_error(), "Unable to create mapping view!");
  m_base = base;
  m_base_size = static_cast<size_t>(total);
  m_view = static_cast<const uint8_t*>(base) + (offset - aligned);
  m_view_size = size;
}

void file_mapping::unmap_impl() noexcept {
  const DWORD saved = GetLastError();
  UnmapViewOfFile(m_base);
  SetLastError(saved);
}

void file_mapping::close_impl() noexcept { m_mapping.reset(); }

}  // namespace kro::files
