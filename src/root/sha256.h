#pragma once
// SHA-256 (FIPS 180-4), digest values and their hex texts.
//
// A digest is compared as bytes, never as text: a hex text is first turned
// into a digest. Two digests are equal when they have the same length and
// the same bytes; an empty digest stands for "no digest".
//
// Hex texts: two digits per byte, high nibble first, no separators, no
// prefix. Reading accepts "0"-"9", "A"-"F" and "a"-"f"; a text of odd length
// or shorter than two characters gives an empty digest (no error); any other
// character in a text of even length throws std::invalid_argument with
// "invalid hex_char_value<wchar_t>" (wide text) or
// "invalid hex_char_value<char>" (narrow text).
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "files/file_handle.h"

namespace kro::root {

class digest {
 public:
  digest() = default;
  // n zero bytes: the output buffer of a hash.
  explicit digest(size_t n);
  // From a zero-terminated wide hex text (null counts as an empty text).
  explicit digest(const wchar_t* hex);
  explicit digest(std::vector<uint8_t> bytes);
  virtual ~digest() = default;
  digest(const digest&) = default;
  digest(digest&&) noexcept = default;
  digest& operator=(const digest&) = default;
  digest& operator=(digest&&) noexcept = default;

  static digest from_hex(std::string_view hex);
  static digest from_hex(std::wstring_view hex);

  const std::vector<uint8_t>& bytes() const noexcept { return m_bytes; }
  std::vector<uint8_t>& bytes() noexcept { return m_bytes; }
  const uint8_t* data() const noexcept { return m_bytes.data(); }
  uint8_t* data() noexcept { return m_bytes.data(); }
  size_t size() const noexcept { return m_bytes.size(); }
  bool empty() const noexcept { return m_bytes.empty(); }

  // Lower-case hex by default; upper case for upper = true.
  std::wstring to_hex(bool upper = false) const;
  std::string to_hex_narrow(bool upper = false) const;

  friend bool operator==(const digest& a, const digest& b) noexcept { return a.m_bytes == b.m_bytes; }
  friend bool operator!=(const digest& a, const digest& b) noexcept { return !(a == b); }

 private:
  std::vector<uint8_t> m_bytes;
};

namespace detail {

// The abstract hash.
class basic_hash {
 public:
  // Starts a new hash; any earlier state is dropped.
  virtual void init() = 0;
  // Feeds bytes; any count, including 0.
  virtual void update(const void* data, size_t size) = 0;
  // Finishes and writes size() digest bytes to out.
  virtual void final(void* out) = 0;
  virtual size_t size() const = 0;
  virtual ~basic_hash() = default;
};

}  // namespace detail

// SHA-256 block transforms. All give the same digest.
enum class sha256_transform { portable, ssse3, avx, avx2, shani };
const char* transform_name(sha256_transform transform);

// SHA-256. Use: init(), update() any number of times, final() (or finish()).
// update() and final() before init() (or after final()) throw
// kro::exceptions::error "The hash is not initialized!".
class sha256 : public detail::basic_hash {
 public:
  static constexpr size_t digest_size = 32;

  // Runs the one-time initialisation of the hashing code.
  sha256();
  ~sha256() override;
  sha256(const sha256&) = delete;
  sha256& operator=(const sha256&) = delete;

  void init() override;
  void update(const void* data, size_t size) override;
  void final(void* out) override;
  size_t size() const override { return digest_size; }

  // final() into a new 32-byte digest.
  digest finish();
  // The transform the current context uses (after init()).
  sha256_transform transform() const;

  struct context;

 private:
  std::unique_ptr<context> m_context;
};

// SHA-256 of a memory block.
digest hash_block(const void* data, size_t size);
// SHA-256 of the whole content of an open file, read through a memory mapping
// in windows of 32 MiB. The handle stays the caller's. Passes on the errors of
// files::file_mapping.
digest hash_file(files::native_handle file);

namespace detail {

constexpr uint32_t hash_file_window = 0x2000000;  // 32 MiB
// hash_file with a given window size; *windows (when given) receives the
// number of non-empty windows hashed.
digest hash_file(files::native_handle file, uint32_t window, uint32_t* windows);

// What the one-time initialisation found.
struct crypto_facts {
  bool ssse3 = false;
  bool sse41 = false;
  bool avx = false;    // AVX usable: the processor has it and the system saves YMM state
  bool avx2 = false;   // AVX2 and BMI2 usable
  bool shani = false;  // SHA extensions
  uint32_t page_size = 4096;
  uint32_t processors = 1;
};
// Runs the one-time initialisation (once per process) and returns its facts.
const crypto_facts& crypto_init();

// The transform a new context takes on this machine.
sha256_transform default_transform();
// Every transform this machine can run, portable first.
std::vector<sha256_transform> supported_transforms();
// Test hook: contexts initialised from now on use transform (which must be
// supported); reset_forced_transform() returns to the automatic choice.
void force_transform(sha256_transform transform);
void reset_forced_transform();

}  // namespace detail

}  // namespace kro::root
