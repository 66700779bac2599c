#pragma once
// One bounded, random-access view of bytes: every reader of outside bytes
// (PE headers, payload records, signature framing, resources, LZMA input)
// goes through it.
//
//   read(offset, n)   a span of n bytes at offset, only when they lie wholly
//                     inside the view; else kro::exceptions::error 5 "Unable
//                     to read outside of the mapped view!"
//   contains(o, n)    whether read(o, n) would succeed (subtraction form: no
//                     offset or length wraps), for readers that refuse with
//                     their own error or answer "not found"
//   u8/u16/u32/u64    little-endian integers at an offset, through read()
//   sub(offset, n)    a view of part of this one, checked like read()
//
// A view lies over memory (tests, fuzzing, tables in a buffer) or over a
// source that hands out contiguous runs on demand (windows of a file
// mapping). A reader never assumes that the whole view is one block: a span
// read() gives stays valid only until the next read() through the same
// source, and a reader that walks a large range takes it in pieces
// (for_each_piece).
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>
#include <vector>

#include "exceptions/exceptions.h"

namespace kro::bytes {

// Little-endian integer access to bytes in memory; the only such helpers.
template <class T>
constexpr T load_le(const uint8_t* p) {
  T value = 0;
  for (size_t i = 0; i < sizeof(T); ++i) value = static_cast<T>(value | (static_cast<T>(p[i]) << (8 * i)));
  return value;
}

template <class T>
constexpr void store_le(uint8_t* p, T value) {
  for (size_t i = 0; i < sizeof(T); ++i) p[i] = static_cast<uint8_t>(value >> (8 * i));
}

[[noreturn]] inline void throw_outside_view() {
  throw kro::exceptions::error(codes::read_outside_view, "Unable to read outside of the mapped view!");
}

// Writes value little-endian at offset of out, only when it lies wholly
// inside (else the error of a read outside the view).
template <class T>
void store_le(std::span<uint8_t> out, uint64_t offset, T value) {
  if (offset > out.size() || out.size() - offset < sizeof(T)) throw_outside_view();
  store_le<T>(out.data() + offset, value);
}

// Bytes that are not one block in memory.
class source {
 public:
  virtual ~source() = default;
  virtual uint64_t size() const = 0;
  // The n bytes at offset (known to lie inside size()) as one contiguous
  // run, valid until the next fetch. n never exceeds max_piece().
  virtual const uint8_t* fetch(uint64_t offset, size_t n) const = 0;
  // The longest run one fetch hands out.
  virtual size_t max_piece() const = 0;
};

class view {
 public:
  view() = default;
  view(const uint8_t* data, size_t size) noexcept : m_data(data), m_size(data ? size : 0) {}
  view(std::span<const uint8_t> bytes) noexcept : view(bytes.data(), bytes.size()) {}
  view(const std::vector<uint8_t>& bytes) noexcept : view(bytes.data(), bytes.size()) {}
  explicit view(std::string_view text) noexcept
      : view(reinterpret_cast<const uint8_t*>(text.data()), text.size()) {}
  explicit view(const source& bytes) : m_source(&bytes), m_size(bytes.size()) {}

  uint64_t size() const noexcept { return m_size; }
  bool empty() const noexcept { return m_size == 0; }

  bool contains(uint64_t offset, uint64_t n) const noexcept {
    return offset <= m_size && m_size - offset >= n;
  }

  std::span<const uint8_t> read(uint64_t offset, size_t n) const {
    if (!contains(offset, n)) throw_outside_view();
    if (n == 0) return {};
    if (m_source) return {m_source->fetch(m_base + offset, n), n};
    return {m_data + offset, n};
  }

  uint8_t u8(uint64_t offset) const { return read(offset, 1)[0]; }
  uint16_t u16(uint64_t offset) const { return le<uint16_t>(offset); }
  uint32_t u32(uint64_t offset) const { return le<uint32_t>(offset); }
  uint64_t u64(uint64_t offset) const { return le<uint64_t>(offset); }
  template <class T>
  T le(uint64_t offset) const {
    return load_le<T>(read(offset, sizeof(T)).data());
  }

  // Whether the bytes at offset are expected (false when they lie outside).
  bool equals(uint64_t offset, std::span<const uint8_t> expected) const {
    if (!contains(offset, expected.size())) return false;
    const std::span<const uint8_t> got = read(offset, expected.size());
    return expected.empty() || std::memcmp(got.data(), expected.data(), expected.size()) == 0;
  }

  view sub(uint64_t offset, uint64_t n) const {
    if (!contains(offset, n)) throw_outside_view();
    view part = *this;
    part.m_size = n;
    if (m_source) {
      part.m_base = m_base + offset;
    } else {
      part.m_data = m_data + offset;
    }
    return part;
  }
  view first(uint64_t n) const { return sub(0, n); }

  // The longest span one read() can give without copying: the whole view
  // over memory, a window over a source.
  uint64_t piece_limit() const noexcept { return m_source ? m_source->max_piece() : (m_size ? m_size : 1); }

  // Calls f(span) for consecutive pieces of [offset, offset + n), in order.
  template <class F>
  void for_each_piece(uint64_t offset, uint64_t n, F&& f) const {
    if (!contains(offset, n)) throw_outside_view();
    const uint64_t piece = piece_limit();
    while (n > 0) {
      const size_t take = static_cast<size_t>(n < piece ? n : piece);
      f(read(offset, take));
      offset += take;
      n -= take;
    }
  }

  // The bytes as one block in memory, for code that needs that (a copy when
  // the view is not over memory).
  std::vector<uint8_t> copy() const {
    std::vector<uint8_t> out;
    out.reserve(static_cast<size_t>(m_size));
    for_each_piece(0, m_size,
                   [&out](std::span<const uint8_t> s) { out.insert(out.end(), s.begin(), s.end()); });
    return out;
  }

 private:
  const uint8_t* m_data = nullptr;   // over memory
  const source* m_source = nullptr;  // or over a source, from m_base on
  uint64_t m_base = 0;
  uint64_t m_size = 0;
};

}  // namespace kro::bytes
