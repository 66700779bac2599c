// The platform-independent half of file_mapping: state, bounds and the
// errors that need no system call. file_mapping_win32.cpp and
// file_mapping_posix.cpp hold the system calls.
#include "files/file_mapping.h"

#include <utility>

#include "exceptions/exceptions.h"

namespace kro::files {
namespace {

// What view() hands out for an empty view, so that a mapped view never
// yields a null pointer.
const uint8_t empty_view_byte = 0;

constexpr uint64_t max_view_size = 0xFFFFFFFFull;

}  // namespace

file_mapping::~file_mapping() { reset(); }

void file_mapping::open(native_handle file, bool inheritable, bool whole_view) {
  reset();
  m_file = file;
  try {
    open_impl(file, inheritable);
  } catch (...) {
    reset();
    throw;
  }
  m_opened = true;
  if (whole_view) map_view(0, 0);
}

void file_mapping::open(unique_file file, bool inheritable, bool whole_view) {
  reset();
  m_owned_file = std::move(file);
  m_file = m_owned_file.get();
  try {
    open_impl(m_file, inheritable);
  } catch (...) {
    reset();
    throw;
  }
  m_opened = true;
  if (whole_view) map_view(0, 0);
}

void file_mapping::map_view(uint64_t offset, uint32_t size) {
  if (!m_opened) throw kro::exceptions::error(-1, "Unable to map a view of uninitialized mapping!");
  unmap_view();
  if (offset > m_file_size)
    throw kro::exceptions::error(5, "Unable to map a view outside of the file mapping!");
  const uint64_t remaining = m_file_size - offset;
  uint64_t wanted = size;
  if (size == 0) {
    // "To the end" must fit the 32-bit view size.
    if (remaining > max_view_size) throw kro::exceptions::error(87, "Unable to create mapping view!");
    wanted = remaining;
  } else if (wanted > remaining) {
    wanted = remaining;
  }
  if (wanted == 0) {
    m_view = &empty_view_byte;
    m_view_size = 0;
    m_view_offset = offset;
    m_mapped = true;
    return;
  }
  map_impl(offset, static_cast<uint32_t>(wanted));
  m_view_offset = offset;
  m_mapped = true;
}

void file_mapping::unmap_view() noexcept {
  if (m_base) unmap_impl();
  m_base = nullptr;
  m_base_size = 0;
  m_view = nullptr;
  m_view_size = 0;
  m_view_offset = 0;
  m_mapped = false;
}

uint64_t file_mapping::file_size() const {
  if (!m_opened) throw kro::exceptions::error(-1, "Unable to retrieve size of uninitialized mapping!");
  return m_file_size;
}

const uint8_t* file_mapping::view() const {
  if (!m_mapped) throw kro::exceptions::error(-1, "Unable to retrieve pointer of the unmapped view!");
  return m_view;
}

uint32_t file_mapping::view_size() const {
  if (!m_mapped) throw kro::exceptions::error(-1, "Unable to retrieve size of unmapped view!");
  return m_view_size;
}

uint64_t file_mapping::view_offset() const {
  if (!m_mapped) throw kro::exceptions::error(-1, "Unable to retrieve pointer of the unmapped view!");
  return m_view_offset;
}

const uint8_t* file_mapping::read(uint32_t offset, uint32_t width) const {
  if (!m_mapped) throw kro::exceptions::error(-1, "Unable to retrieve pointer of the unmapped view!");
  if (offset > m_view_size || m_view_size - offset < width) {
    throw kro::exceptions::error(5, "Unable to read outside of the mapped view!");
  }
  return m_view + offset;
}

void file_mapping::reset() noexcept {
  unmap_view();
  close_impl();
  m_owned_file.reset();
  m_file = unique_file::invalid();
  m_opened = false;
  m_file_size = 0;
}

mapping_windows::mapping_windows(file_mapping& mapping, uint32_t window)
    : m_mapping(mapping), m_window(window ? window : 1) {}

uint64_t mapping_windows::size() const { return m_mapping.file_size(); }

const uint8_t* mapping_windows::fetch(uint64_t offset, size_t n) const {
  const bool inside = m_mapping.mapped() && offset >= m_mapping.view_offset() &&
                      offset - m_mapping.view_offset() <= m_mapping.view_size() &&
                      m_mapping.view_size() - (offset - m_mapping.view_offset()) >= n;
  if (!inside) {
    if (n > max_view_size) bytes::throw_outside_view();
    m_mapping.map_view(offset, static_cast<uint32_t>(n > m_window ? n : m_window));
    if (m_mapping.view_size() < n) bytes::throw_outside_view();
  }
  return m_mapping.view() + (offset - m_mapping.view_offset());
}

}  // namespace kro::files
