#pragma once
// Unsigned big numbers of fixed capacity for the signature code.
//
// A bignum holds up to 129 32-bit words (4,128 bits, 516 bytes), least
// significant word first, on the stack: no operation allocates. Values are
// read from and written to unsigned big-endian byte strings.
//
// Contracts:
//   - Results that do not fit the capacity throw std::overflow_error; a
//     subtraction below zero throws std::domain_error; a modulus of zero (or
//     an even modulus where an odd one is required) throws std::domain_error.
//   - Byte strings longer than 516 bytes are refused, even when they start
//     with zero bytes (try_assign answers false, from_bytes throws
//     std::length_error).
//   - Modular exponentiation uses Montgomery multiplication and therefore
//     needs an odd modulus. On hosts with a 128-bit product type the
//     Montgomery code works on 64-bit limbs, elsewhere on 32-bit words.
//   - The general operations do not run in constant time: their loops,
//     branches and table reads follow the operands' values. They serve
//     public values (verification, the public parts of signing). Secret
//     values (a private value x, a nonce k and its inverse) go through the
//     *_secret operations below, which are built for that; see there for
//     what they hide and what they do not.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kro::root {

class bignum {
 public:
  static constexpr size_t capacity = 129;  // 32-bit words
  static constexpr size_t max_bytes = capacity * 4;

  bignum() = default;
  explicit bignum(uint64_t value);

  // Reads a big-endian byte string; false (and zero) when it is longer than
  // max_bytes.
  bool try_assign(const void* data, size_t size);
  // The same, throwing std::length_error for a string that is too long.
  static bignum from_bytes(const void* data, size_t size);
  static bignum from_bytes(const std::vector<uint8_t>& bytes) {
    return from_bytes(bytes.data(), bytes.size());
  }
  // From hex digits (no prefix, either case); std::invalid_argument for other
  // characters, std::length_error when too long. Meant for tests and tools.
  static bignum from_hex(const std::string& hex);

  // Writes exactly size bytes, big-endian, zero-padded on the left;
  // std::length_error when the value needs more.
  void to_bytes(void* out, size_t size) const;
  // The shortest big-endian form (empty for zero).
  std::vector<uint8_t> to_bytes() const;
  // Lower-case hex, no leading zeros ("0" for zero).
  std::string to_hex() const;

  size_t word_count() const noexcept { return m_size; }  // significant words
  uint32_t word(size_t i) const noexcept { return i < m_size ? m_words[i] : 0; }
  const uint32_t* words() const noexcept { return m_words; }
  size_t bit_length() const noexcept;
  size_t byte_length() const noexcept { return (bit_length() + 7) / 8; }
  bool bit(size_t i) const noexcept;
  bool is_zero() const noexcept { return m_size == 0; }
  bool is_odd() const noexcept { return m_size != 0 && (m_words[0] & 1) != 0; }

  // -1, 0 or 1.
  static int compare(const bignum& a, const bignum& b) noexcept;
  friend bool operator==(const bignum& a, const bignum& b) noexcept { return compare(a, b) == 0; }
  friend bool operator!=(const bignum& a, const bignum& b) noexcept { return compare(a, b) != 0; }
  friend bool operator<(const bignum& a, const bignum& b) noexcept { return compare(a, b) < 0; }
  friend bool operator<=(const bignum& a, const bignum& b) noexcept { return compare(a, b) <= 0; }
  friend bool operator>(const bignum& a, const bignum& b) noexcept { return compare(a, b) > 0; }
  friend bool operator>=(const bignum& a, const bignum& b) noexcept { return compare(a, b) >= 0; }

  static bignum add(const bignum& a, const bignum& b);
  static bignum sub(const bignum& a, const bignum& b);  // a >= b
  static bignum mul(const bignum& a, const bignum& b);
  // a >> bits.
  static bignum shift_right(const bignum& a, size_t bits);
  // a mod m.
  static bignum mod(const bignum& a, const bignum& m);
  // (a * b) mod m; the product may exceed the capacity.
  static bignum mul_mod(const bignum& a, const bignum& b, const bignum& m);
  // (a + b) mod m for a, b < m.
  static bignum add_mod(const bignum& a, const bignum& b, const bignum& m);
  // The inverse of a modulo an odd m > 1: true and *out when gcd(a, m) = 1,
  // else false.
  static bool mod_inverse(const bignum& a, const bignum& m, bignum* out);
  // base^exp mod m, m odd.
  static bignum mod_exp(const bignum& base, const bignum& exp, const bignum& m);
  // (b1^e1 * b2^e2) mod m, m odd, by one interleaved pass over both exponents.
  static bignum mod_exp2(const bignum& b1, const bignum& e1, const bignum& b2, const bignum& e2,
                         const bignum& m);

  // --- Secret operands ------------------------------------------------------
  // Arithmetic modulo a public odd modulus m on secret operands below m (not
  // checked: the comparison would itself depend on the secret). Each of these
  // runs one fixed sequence of word operations and memory reads, set by the
  // length of m (and by bits) alone:
  //   - Montgomery products whose final conditional subtraction is always
  //     computed and then chosen by a mask, never by a branch;
  //   - exponentiation by a fixed 4-bit window over exactly `bits` exponent
  //     bits, leading zeros included: per window four squarings and one
  //     multiplication by a table entry, the entry read by scanning the
  //     whole table and keeping the wanted one by mask. The loop count and the
  //     sequence of products do not follow the exponent's value or length;
  //   - additions with the reduction chosen by mask.
  // What they do not hide: the word products themselves (a processor whose
  // multiplier is faster for small operands still leaks through them; the
  // usual x86 ones are not), and the trimming of a result to its significant
  // words when it is handed back as a bignum (a secret intermediate has leading
  // zero words with a probability of about 2^-32 per word). The masks pass
  // through a compiler barrier so that they stay masks, but the generated
  // code is not checked by any test. The general operations used around them
  // on public values (reducing g and r, reading and writing bytes) are not
  // covered.

  // base^exp mod m, m odd, exp < 2^bits (std::invalid_argument otherwise);
  // base may be any value: it is reduced first with the general division, so
  // it must be public (g).
  static bignum mod_exp_secret(const bignum& base, const bignum& exp, const bignum& m, size_t bits);
  // (a * b) mod m, a and b below m, m odd.
  static bignum mul_mod_secret(const bignum& a, const bignum& b, const bignum& m);
  // (a + b) mod m, a and b below m, m odd.
  static bignum add_mod_secret(const bignum& a, const bignum& b, const bignum& m);
  // a^(m-2) mod m: the inverse of a for a prime m and 0 < a < m (Fermat),
  // through mod_exp_secret. A composite m gives a value that is no inverse;
  // the caller checks when m is not known to be prime.
  static bignum inverse_mod_prime_secret(const bignum& a, const bignum& m);

  // Internal: sets the value from words (least significant first); count must
  // not exceed the capacity.
  void set_words(const uint32_t* words, size_t count) noexcept;

 private:
  void trim() noexcept;

  uint32_t m_words[capacity] = {};
  uint32_t m_size = 0;
};

}  // namespace kro::root
