// Fixed-capacity big numbers: word arithmetic, long division (Knuth's
// algorithm D) and Montgomery exponentiation.
//
// Montgomery products use the product-scanning form that interleaves the
// multiplication with the reduction column by column (three-limb
// accumulator), with a dedicated squaring that computes each cross product
// once. Limbs are 64 bits wide where the compiler offers a 128-bit product,
// 32 bits otherwise; the public values stay 32-bit words either way.
#include "root/bignum.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace kro::root {
namespace {

constexpr size_t cap = bignum::capacity;
// Room for a double-width dividend (R^2 with R of 65 64-bit limbs is 261
// words) plus the normalisation word.
constexpr size_t wide_words = 2 * cap + 6;

size_t significant(const uint32_t* w, size_t n) {
  while (n != 0 && w[n - 1] == 0) --n;
  return n;
}

int compare_words(const uint32_t* a, size_t na, const uint32_t* b, size_t nb) {
  na = significant(a, na);
  nb = significant(b, nb);
  if (na != nb) return na < nb ? -1 : 1;
  for (size_t i = na; i-- > 0;) {
    if (a[i] != b[i]) return a[i] < b[i] ? -1 : 1;
  }
  return 0;
}

// r = a mod m (Knuth D). m has nm significant words (nm >= 1), r receives nm
// words. na may reach wide_words - 2.
void rem_words(const uint32_t* a, size_t na, const uint32_t* m, size_t nm, uint32_t* r) {
  na = significant(a, na);
  if (na > wide_words - 2) throw std::overflow_error("dividend too long");
  if (compare_words(a, na, m, nm) < 0) {
    std::memset(r, 0, nm * sizeof(uint32_t));
    std::memcpy(r, a, na * sizeof(uint32_t));
    return;
  }
  if (nm == 1) {
    uint64_t rem = 0;
    for (size_t i = na; i-- > 0;) rem = ((rem << 32) | a[i]) % m[0];
    r[0] = static_cast<uint32_t>(rem);
    return;
  }
  const int s = __builtin_clz(m[nm - 1]);
  uint32_t vn[cap];
  uint32_t un[wide_words];
  for (size_t i = nm - 1; i > 0; --i) {
    vn[i] = static_cast<uint32_t>((static_cast<uint64_t>(m[i]) << s) |
                                  (static_cast<uint64_t>(m[i - 1]) >> (32 - s)));
  }
  vn[0] = m[0] << s;
  un[na] = static_cast<uint32_t>(static_cast<uint64_t>(a[na - 1]) >> (32 - s));
  for (size_t i = na - 1; i > 0; --i) {
    un[i] = static_cast<uint32_t>((static_cast<uint64_t>(a[i]) << s) |
                                  (static_cast<uint64_t>(a[i - 1]) >> (32 - s)));
  }
  un[0] = a[0] << s;

  constexpr uint64_t b = 1ull << 32;
  for (size_t j = na - nm + 1; j-- > 0;) {
    const uint64_t num = (static_cast<uint64_t>(un[j + nm]) << 32) | un[j + nm - 1];
    uint64_t qhat = num / vn[nm - 1];
    uint64_t rhat = num - qhat * vn[nm - 1];
    while (qhat >= b || qhat * vn[nm - 2] > ((rhat << 32) | un[j + nm - 2])) {
      --qhat;
      rhat += vn[nm - 1];
      if (rhat >= b) break;
    }
    int64_t k = 0;
    int64_t t = 0;
    for (size_t i = 0; i < nm; ++i) {
      const uint64_t p = qhat * vn[i];
      t = static_cast<int64_t>(un[i + j]) - k - static_cast<int64_t>(p & 0xFFFFFFFFu);
      un[i + j] = static_cast<uint32_t>(t);
      k = static_cast<int64_t>(p >> 32) - (t >> 32);
    }
    t = static_cast<int64_t>(un[j + nm]) - k;
    un[j + nm] = static_cast<uint32_t>(t);
    if (t < 0) {
      uint64_t c = 0;
      for (size_t i = 0; i < nm; ++i) {
        const uint64_t sum = static_cast<uint64_t>(un[i + j]) + vn[i] + c;
        un[i + j] = static_cast<uint32_t>(sum);
        c = sum >> 32;
      }
      un[j + nm] = static_cast<uint32_t>(un[j + nm] + c);
    }
  }
  for (size_t i = 0; i < nm; ++i) {
    r[i] = static_cast<uint32_t>((static_cast<uint64_t>(un[i]) >> s) |
                                 (static_cast<uint64_t>(un[i + 1]) << (32 - s)));
  }
}

// --- Montgomery arithmetic over limbs of type L (double width D). ----------

#if defined(__SIZEOF_INT128__)
__extension__ typedef unsigned __int128 u128;
#endif

template <class L>
struct wide;
template <>
struct wide<uint32_t> {
  using type = uint64_t;
};
#if defined(__SIZEOF_INT128__)
template <>
struct wide<uint64_t> {
  using type = u128;
};
using limb = uint64_t;
#else
using limb = uint32_t;
#endif

// (c2:c1:c0) += a * b.
template <class L>
inline void mac(L& c0, L& c1, L& c2, L a, L b) {
  using D = typename wide<L>::type;
  constexpr int bits = sizeof(L) * 8;
  const D p = static_cast<D>(a) * b;
  const D s = ((static_cast<D>(c1) << bits) | c0) + p;
  c2 += static_cast<L>(s < p);
  c0 = static_cast<L>(s);
  c1 = static_cast<L>(s >> bits);
}

#if defined(__x86_64__) && defined(__GNUC__) && defined(__SIZEOF_INT128__)
template <>
inline void mac<uint64_t>(uint64_t& c0, uint64_t& c1, uint64_t& c2, uint64_t a, uint64_t b) {
  __asm__(
      "mulq %[b]\n\t"
      "addq %%rax, %[c0]\n\t"
      "adcq %%rdx, %[c1]\n\t"
      "adcq $0, %[c2]"
      : [c0] "+r"(c0), [c1] "+r"(c1), [c2] "+r"(c2), "+a"(a)
      : [b] "rm"(b)
      : "rdx", "cc");
}
#endif

// 1 when v is not zero, else 0, without a branch.
template <class L>
inline L nonzero_bit(L v) {
  return static_cast<L>(static_cast<L>(v | static_cast<L>(0 - v)) >> (sizeof(L) * 8 - 1));
}

// Keeps the compiler from turning a mask computed from secret data back into
// a branch.
template <class L>
inline L value_barrier(L v) {
#if defined(__GNUC__)
  __asm__("" : "+r"(v));
#endif
  return v;
}

template <class L>
class montgomery {
 public:
  static constexpr int bits = sizeof(L) * 8;
  static constexpr size_t words_per_limb = sizeof(L) / 4;
  static constexpr size_t max_limbs = (cap + words_per_limb - 1) / words_per_limb;

  explicit montgomery(const bignum& m) {
    if (!m.is_odd()) throw std::domain_error("Montgomery modulus must be odd");
    m_n = (m.word_count() + words_per_limb - 1) / words_per_limb;
    load(m, m_m);
    // -m^-1 mod 2^bits by Newton's iteration (each step doubles the bits).
    L inv = m_m[0];
    for (int i = 0; i < 6; ++i) inv = static_cast<L>(inv * (2 - m_m[0] * inv));
    m_m0inv = static_cast<L>(0 - inv);
    // R^2 mod m with R = 2^(bits * n).
    uint32_t r2[wide_words] = {};
    const size_t r2_word = 2 * m_n * words_per_limb;
    r2[r2_word] = 1;
    uint32_t rem[cap] = {};
    rem_words(r2, r2_word + 1, m.words(), m.word_count(), rem);
    bignum r2n;
    r2n.set_words(rem, m.word_count());
    load(r2n, m_r2);
  }

  size_t size() const { return m_n; }

  // Limbs of a value below the modulus. Reads the same words whatever the
  // value (all of the modulus' length; words above a value's size are zero).
  void load(const bignum& v, L* out) const {
    std::memset(out, 0, m_n * sizeof(L));
    const size_t words = std::min(m_n * words_per_limb, cap);
    const uint32_t* w = v.words();
    for (size_t i = 0; i < words; ++i) {
      out[i / words_per_limb] |= static_cast<L>(static_cast<L>(w[i]) << (32 * (i % words_per_limb)));
    }
  }
  bignum store(const L* v) const {
    uint32_t w[cap + 1] = {};
    for (size_t i = 0; i < m_n * words_per_limb && i < cap + 1; ++i) {
      w[i] = static_cast<uint32_t>(v[i / words_per_limb] >> (32 * (i % words_per_limb)));
    }
    bignum out;
    out.set_words(w, cap);
    return out;
  }

  // r = a * b / R mod m; r may alias a or b.
  void mul(L* r, const L* a, const L* b) const {
    const size_t n = m_n;
    const L* m = m_m;
    L q[max_limbs];
    L c0 = 0, c1 = 0, c2 = 0;
    for (size_t i = 0; i < n; ++i) {
      for (size_t j = 0; j < i; ++j) {
        mac(c0, c1, c2, a[j], b[i - j]);
        mac(c0, c1, c2, q[j], m[i - j]);
      }
      mac(c0, c1, c2, a[i], b[0]);
      q[i] = static_cast<L>(c0 * m_m0inv);
      mac(c0, c1, c2, q[i], m[0]);
      c0 = c1;
      c1 = c2;
      c2 = 0;
    }
    L t[max_limbs];
    for (size_t i = n; i < 2 * n; ++i) {
      for (size_t j = i - n + 1; j < n; ++j) {
        mac(c0, c1, c2, a[j], b[i - j]);
        mac(c0, c1, c2, q[j], m[i - j]);
      }
      t[i - n] = c0;
      c0 = c1;
      c1 = c2;
      c2 = 0;
    }
    finish(r, t, c0);
  }

  // r = a * a / R mod m; r may alias a.
  void sqr(L* r, const L* a) const {
    const size_t n = m_n;
    const L* m = m_m;
    L q[max_limbs];
    L t[max_limbs];
    L c0 = 0, c1 = 0, c2 = 0;
    for (size_t k = 0; k < 2 * n - 1; ++k) {
      // Cross products a[i] * a[k - i], i < k - i, doubled.
      const size_t lo = k < n ? 0 : k - n + 1;
      L d0 = 0, d1 = 0, d2 = 0;
      for (size_t i = lo; i < k - i; ++i) mac(d0, d1, d2, a[i], a[k - i]);
      d2 = static_cast<L>((d2 << 1) | (d1 >> (bits - 1)));
      d1 = static_cast<L>((d1 << 1) | (d0 >> (bits - 1)));
      d0 = static_cast<L>(d0 << 1);
      add3(c0, c1, c2, d0, d1, d2);
      if ((k & 1) == 0) mac(c0, c1, c2, a[k / 2], a[k / 2]);
      if (k < n) {
        for (size_t j = 0; j < k; ++j) mac(c0, c1, c2, q[j], m[k - j]);
        q[k] = static_cast<L>(c0 * m_m0inv);
        mac(c0, c1, c2, q[k], m[0]);
      } else {
        for (size_t j = k - n + 1; j < n; ++j) mac(c0, c1, c2, q[j], m[k - j]);
        t[k - n] = c0;
      }
      c0 = c1;
      c1 = c2;
      c2 = 0;
    }
    t[n - 1] = c0;
    finish(r, t, c1);
  }

  const L* r2() const { return m_r2; }
  const L* modulus() const { return m_m; }

 private:
  static void add3(L& c0, L& c1, L& c2, L d0, L d1, L d2) {
    c0 = static_cast<L>(c0 + d0);
    L carry = c0 < d0;
    L s = static_cast<L>(c1 + carry);
    L carry2 = s < carry;
    c1 = static_cast<L>(s + d1);
    carry2 = static_cast<L>(carry2 + (c1 < d1));
    c2 = static_cast<L>(c2 + d2 + carry2);
  }

  // r = t - m when (top:t) >= m, else t. The difference is always computed
  // and the result chosen by mask, so the products' timing does not tell
  // whether the subtraction was needed.
  void finish(L* r, const L* t, L top) const {
    const size_t n = m_n;
    L d[max_limbs];
    L borrow = 0;
    for (size_t i = 0; i < n; ++i) {
      const L x = t[i];
      const L diff = static_cast<L>(x - m_m[i]);
      const L b1 = static_cast<L>(x < m_m[i]);
      d[i] = static_cast<L>(diff - borrow);
      borrow = static_cast<L>(b1 | static_cast<L>(diff < borrow));
    }
    // (top:t) >= m exactly when top is set or the subtraction did not borrow.
    const L take_difference = static_cast<L>(nonzero_bit(top) | (borrow ^ 1));
    const L mask = value_barrier(static_cast<L>(0 - take_difference));
    for (size_t i = 0; i < n; ++i) r[i] = static_cast<L>((d[i] & mask) | (t[i] & ~mask));
  }

  size_t m_n = 0;
  L m_m[max_limbs] = {};
  L m_r2[max_limbs] = {};
  L m_m0inv = 0;
};

// Sliding-window digits of an exponent: digit[i] is the odd window value
// whose lowest bit is bit i, or 0.
size_t window_digits(const bignum& e, int w, uint8_t* digit) {
  const size_t len = e.bit_length();
  std::memset(digit, 0, len);
  size_t i = len;
  while (i-- > 0) {
    if (!e.bit(i)) continue;
    size_t j = i + 1 >= static_cast<size_t>(w) ? i + 1 - w : 0;
    while (!e.bit(j)) ++j;
    unsigned v = 0;
    for (size_t k = i + 1; k-- > j;) v = (v << 1) | (e.bit(k) ? 1u : 0u);
    digit[j] = static_cast<uint8_t>(v);
    i = j;
  }
  return len;
}

int window_for(size_t bits) {
  if (bits > 512) return 6;
  if (bits > 160) return 5;
  if (bits > 48) return 4;
  if (bits > 8) return 3;
  return 1;
}

// prod over k of b[k]^e[k] mod m, count <= 2.
bignum multi_exp(const bignum* const* bases, const bignum* const* exps, size_t count, const bignum& m) {
  if (m.is_zero() || !m.is_odd()) throw std::domain_error("exponentiation needs an odd modulus");
  const bignum one(1);
  if (m == one) return bignum();
  const montgomery<limb> ctx(m);
  using L = limb;
  constexpr size_t nl = montgomery<L>::max_limbs;
  constexpr size_t max_table = 32;  // 2^(6-1) odd powers
  static_assert(sizeof(L) * nl * max_table * 2 < 80000, "tables must stay small on the stack");

  L table[2][max_table][nl];
  uint8_t digits[2][cap * 32];
  size_t top = 0;
  for (size_t k = 0; k < count; ++k) {
    const int w = window_for(exps[k]->bit_length());
    const size_t len = window_digits(*exps[k], w, digits[k]);
    for (size_t i = len; i < cap * 32; ++i) digits[k][i] = 0;
    top = std::max(top, len);
    // table[k][i] = b^(2i+1) in Montgomery form.
    L base[nl];
    ctx.load(bignum::mod(*bases[k], m), base);
    ctx.mul(table[k][0], base, ctx.r2());
    const size_t entries = size_t{1} << (w - 1);
    if (entries > 1) {
      L sq[nl];
      ctx.sqr(sq, table[k][0]);
      for (size_t i = 1; i < entries; ++i) ctx.mul(table[k][i], table[k][i - 1], sq);
    }
  }
  L acc[nl];
  bool started = false;
  for (size_t i = top; i-- > 0;) {
    if (started) ctx.sqr(acc, acc);
    for (size_t k = 0; k < count; ++k) {
      const uint8_t d = digits[k][i];
      if (d == 0) continue;
      const L* entry = table[k][d >> 1];
      if (started) {
        ctx.mul(acc, acc, entry);
      } else {
        std::memcpy(acc, entry, ctx.size() * sizeof(L));
        started = true;
      }
    }
  }
  if (!started) return bignum::mod(one, m);
  L unit[nl] = {};
  unit[0] = 1;
  ctx.mul(acc, acc, unit);
  return ctx.store(acc);
}

// Bit i of v read from its word array, for any i below the capacity: the
// same reads whatever the value (words above its size are zero).
inline uint32_t raw_bit(const bignum& v, size_t i) {
  return i / 32 < cap ? (v.words()[i / 32] >> (i % 32)) & 1u : 0u;
}

// base^exp mod m for a secret exp < 2^bits: a fixed 4-bit window over
// ceil(bits / 4) windows. Every window squares four times and multiplies by
// one table entry (entry 0 is 1 in Montgomery form, so zero digits cost the
// same); the entry is gathered by reading all sixteen and keeping one by mask.
// base is reduced first (a variable-time division) unless the caller says it
// is already below m, as a secret base must be.
bignum secret_exp(const bignum& base, const bignum& exp, const bignum& m, size_t bits, bool base_reduced) {
  if (m.is_zero() || !m.is_odd()) throw std::domain_error("exponentiation needs an odd modulus");
  if (exp.bit_length() > bits) throw std::invalid_argument("exponent longer than its fixed length");
  const bignum one(1);
  if (m == one) return bignum();
  using L = limb;
  constexpr int w = 4;
  constexpr size_t entries = size_t{1} << w;
  constexpr size_t nl = montgomery<L>::max_limbs;
  const montgomery<L> ctx(m);
  const size_t n = ctx.size();

  L table[entries][nl];
  L unit[nl] = {};
  unit[0] = 1;
  ctx.mul(table[0], ctx.r2(), unit);  // R mod m: 1 in Montgomery form
  L b[nl];
  ctx.load(base_reduced ? base : bignum::mod(base, m), b);
  ctx.mul(table[1], b, ctx.r2());
  for (size_t i = 2; i < entries; ++i) ctx.mul(table[i], table[i - 1], table[1]);

  L acc[nl];
  L entry[nl];
  std::memcpy(acc, table[0], n * sizeof(L));
  const size_t windows = (bits + w - 1) / w;
  for (size_t win = windows; win-- > 0;) {
    for (int i = 0; i < w; ++i) ctx.sqr(acc, acc);
    uint32_t digit = 0;
    for (int i = w; i-- > 0;) digit = (digit << 1) | raw_bit(exp, win * w + static_cast<size_t>(i));
    std::memset(entry, 0, n * sizeof(L));
    for (size_t t = 0; t < entries; ++t) {
      const L keep = value_barrier(static_cast<L>(nonzero_bit(static_cast<L>(t ^ digit)) - 1));
      for (size_t i = 0; i < n; ++i) entry[i] |= table[t][i] & keep;
    }
    ctx.mul(acc, acc, entry);
  }
  ctx.mul(acc, acc, unit);
  const bignum out = ctx.store(acc);
  std::memset(acc, 0, sizeof(acc));
  std::memset(entry, 0, sizeof(entry));
  std::memset(table, 0, sizeof(table));
  return out;
}

uint8_t hex_value(char c) {
  if (c >= '0' && c <= '9') return static_cast<uint8_t>(c - '0');
  if (c >= 'a' && c <= 'f') return static_cast<uint8_t>(c - 'a' + 10);
  if (c >= 'A' && c <= 'F') return static_cast<uint8_t>(c - 'A' + 10);
  throw std::invalid_argument("invalid hex digit");
}

}  // namespace

bignum::bignum(uint64_t value) {
  m_words[0] = static_cast<uint32_t>(value);
  m_words[1] = static_cast<uint32_t>(value >> 32);
  m_size = 2;
  trim();
}

void bignum::trim() noexcept { m_size = static_cast<uint32_t>(significant(m_words, m_size)); }

void bignum::set_words(const uint32_t* words, size_t count) noexcept {
  std::memset(m_words, 0, sizeof(m_words));
  std::memcpy(m_words, words, std::min(count, cap) * sizeof(uint32_t));
  m_size = static_cast<uint32_t>(std::min(count, cap));
  trim();
}

bool bignum::try_assign(const void* data, size_t size) {
  *this = bignum();
  if (size > max_bytes) return false;
  const auto* p = static_cast<const uint8_t*>(data);
  for (size_t i = 0; i < size; ++i) {
    const size_t pos = size - 1 - i;  // byte index from the least significant end
    m_words[pos / 4] |= static_cast<uint32_t>(p[i]) << (8 * (pos % 4));
  }
  m_size = static_cast<uint32_t>((size + 3) / 4);
  trim();
  return true;
}

bignum bignum::from_bytes(const void* data, size_t size) {
  bignum v;
  if (!v.try_assign(data, size)) throw std::length_error("number longer than 516 bytes");
  return v;
}

bignum bignum::from_hex(const std::string& hex) {
  std::vector<uint8_t> bytes((hex.size() + 1) / 2);
  size_t pos = bytes.size() * 2 - hex.size();  // a leading half byte for odd lengths
  for (char c : hex) {
    bytes[pos / 2] = static_cast<uint8_t>(bytes[pos / 2] | (hex_value(c) << (pos % 2 == 0 ? 4 : 0)));
    ++pos;
  }
  return from_bytes(bytes.data(), bytes.size());
}

void bignum::to_bytes(void* out, size_t size) const {
  if (byte_length() > size) throw std::length_error("number does not fit the output");
  auto* p = static_cast<uint8_t*>(out);
  for (size_t i = 0; i < size; ++i) {
    const size_t pos = size - 1 - i;
    p[i] = pos / 4 < cap ? static_cast<uint8_t>(m_words[pos / 4] >> (8 * (pos % 4))) : 0;
  }
}

std::vector<uint8_t> bignum::to_bytes() const {
  std::vector<uint8_t> out(byte_length());
  to_bytes(out.data(), out.size());
  return out;
}

std::string bignum::to_hex() const {
  static constexpr char digits[] = "0123456789abcdef";
  std::string out;
  for (uint8_t b : to_bytes()) {
    out += digits[b >> 4];
    out += digits[b & 15];
  }
  if (out.size() > 1 && out[0] == '0') out.erase(0, 1);
  return out.empty() ? "0" : out;
}

size_t bignum::bit_length() const noexcept {
  if (m_size == 0) return 0;
  return 32 * (m_size - 1) + (32 - __builtin_clz(m_words[m_size - 1]));
}

bool bignum::bit(size_t i) const noexcept {
  return i / 32 < m_size && ((m_words[i / 32] >> (i % 32)) & 1) != 0;
}

int bignum::compare(const bignum& a, const bignum& b) noexcept {
  return compare_words(a.m_words, a.m_size, b.m_words, b.m_size);
}

bignum bignum::add(const bignum& a, const bignum& b) {
  bignum r;
  const size_t n = std::max(a.m_size, b.m_size);
  uint64_t carry = 0;
  for (size_t i = 0; i < n; ++i) {
    carry += static_cast<uint64_t>(a.m_words[i]) + b.m_words[i];
    r.m_words[i] = static_cast<uint32_t>(carry);
    carry >>= 32;
  }
  if (carry != 0) {
    if (n == cap) throw std::overflow_error("sum exceeds the capacity");
    r.m_words[n] = 1;
  }
  r.m_size = static_cast<uint32_t>(n + 1 <= cap ? n + 1 : n);
  r.trim();
  return r;
}

bignum bignum::sub(const bignum& a, const bignum& b) {
  if (compare(a, b) < 0) throw std::domain_error("difference below zero");
  bignum r;
  int64_t borrow = 0;
  for (size_t i = 0; i < a.m_size; ++i) {
    const int64_t d = static_cast<int64_t>(a.m_words[i]) - b.m_words[i] - borrow;
    r.m_words[i] = static_cast<uint32_t>(d);
    borrow = d < 0 ? 1 : 0;
  }
  r.m_size = a.m_size;
  r.trim();
  return r;
}

// Schoolbook product of two little-endian word arrays into t, which holds at
// least na + nb zeroed words.
static void multiply_words(const uint32_t* a, size_t na, const uint32_t* b, size_t nb, uint32_t* t) {
  for (size_t i = 0; i < na; ++i) {
    uint64_t carry = 0;
    for (size_t j = 0; j < nb; ++j) {
      carry += static_cast<uint64_t>(a[i]) * b[j] + t[i + j];
      t[i + j] = static_cast<uint32_t>(carry);
      carry >>= 32;
    }
    t[i + nb] = static_cast<uint32_t>(carry);
  }
}

bignum bignum::mul(const bignum& a, const bignum& b) {
  if (a.is_zero() || b.is_zero()) return bignum();
  if (a.m_size + b.m_size > cap + 1) throw std::overflow_error("product exceeds the capacity");
  uint32_t t[cap + 1] = {};
  multiply_words(a.m_words, a.m_size, b.m_words, b.m_size, t);
  if (t[cap] != 0) throw std::overflow_error("product exceeds the capacity");
  bignum r;
  r.set_words(t, cap);
  return r;
}

bignum bignum::shift_right(const bignum& a, size_t bits) {
  bignum r;
  const size_t words = bits / 32;
  const unsigned s = bits % 32;
  if (words >= a.m_size) return r;
  for (size_t i = words; i < a.m_size; ++i) {
    uint64_t v = a.m_words[i] >> s;
    if (s != 0 && i + 1 < a.m_size) v |= static_cast<uint64_t>(a.m_words[i + 1]) << (32 - s);
    r.m_words[i - words] = static_cast<uint32_t>(v);
  }
  r.m_size = static_cast<uint32_t>(a.m_size - words);
  r.trim();
  return r;
}

bignum bignum::mod(const bignum& a, const bignum& m) {
  if (m.is_zero()) throw std::domain_error("modulus is zero");
  uint32_t r[cap] = {};
  rem_words(a.m_words, a.m_size, m.m_words, m.m_size, r);
  bignum out;
  out.set_words(r, m.m_size);
  return out;
}

bignum bignum::mul_mod(const bignum& a, const bignum& b, const bignum& m) {
  if (m.is_zero()) throw std::domain_error("modulus is zero");
  uint32_t t[wide_words] = {};
  multiply_words(a.m_words, a.m_size, b.m_words, b.m_size, t);
  uint32_t r[cap] = {};
  rem_words(t, a.m_size + b.m_size, m.m_words, m.m_size, r);
  bignum out;
  out.set_words(r, m.m_size);
  return out;
}

bignum bignum::add_mod(const bignum& a, const bignum& b, const bignum& m) {
  uint32_t t[cap + 1] = {};
  uint64_t carry = 0;
  for (size_t i = 0; i < cap; ++i) {
    carry += static_cast<uint64_t>(a.m_words[i]) + b.m_words[i];
    t[i] = static_cast<uint32_t>(carry);
    carry >>= 32;
  }
  t[cap] = static_cast<uint32_t>(carry);
  if (m.is_zero()) throw std::domain_error("modulus is zero");
  uint32_t r[cap] = {};
  rem_words(t, cap + 1, m.m_words, m.m_size, r);
  bignum out;
  out.set_words(r, m.m_size);
  return out;
}

bool bignum::mod_inverse(const bignum& a, const bignum& m, bignum* out) {
  if (!m.is_odd()) throw std::domain_error("inverse needs an odd modulus");
  const bignum one(1);
  if (m == one) return false;
  // Binary extended Euclid: u = x1 * a and v = x2 * a (mod m) hold throughout.
  bignum u = mod(a, m);
  bignum v = m;
  bignum x1 = one;
  bignum x2;
  if (u.is_zero()) return false;
  // x / 2 mod m for x < m: x even gives x / 2, odd gives (x + m) / 2, computed
  // with the carry of the sum so that no bit is lost.
  auto halve = [&m](bignum& x) {
    if (!x.is_odd()) {
      x = shift_right(x, 1);
      return;
    }
    uint32_t t[cap + 1] = {};
    uint64_t carry = 0;
    for (size_t i = 0; i < cap; ++i) {
      carry += static_cast<uint64_t>(x.m_words[i]) + m.m_words[i];
      t[i] = static_cast<uint32_t>(carry);
      carry >>= 32;
    }
    t[cap] = static_cast<uint32_t>(carry);
    for (size_t i = 0; i < cap; ++i) t[i] = (t[i] >> 1) | (t[i + 1] << 31);
    x.set_words(t, cap);
  };
  auto sub_mod = [&m](const bignum& x, const bignum& y) { return x >= y ? sub(x, y) : sub(m, sub(y, x)); };
  while (u != one && v != one) {
    if (u.is_zero() || v.is_zero()) return false;
    while (!u.is_odd()) {
      u = shift_right(u, 1);
      halve(x1);
    }
    while (!v.is_odd()) {
      v = shift_right(v, 1);
      halve(x2);
    }
    if (u >= v) {
      u = sub(u, v);
      x1 = sub_mod(x1, x2);
    } else {
      v = sub(v, u);
      x2 = sub_mod(x2, x1);
    }
  }
  *out = u == one ? x1 : x2;
  return true;
}

bignum bignum::mod_exp_secret(const bignum& base, const bignum& exp, const bignum& m, size_t bits) {
  return secret_exp(base, exp, m, bits, false);
}

bignum bignum::mul_mod_secret(const bignum& a, const bignum& b, const bignum& m) {
  if (m.is_zero() || !m.is_odd()) throw std::domain_error("secret products need an odd modulus");
  const bignum one(1);
  if (m == one) return bignum();
  using L = limb;
  constexpr size_t nl = montgomery<L>::max_limbs;
  const montgomery<L> ctx(m);
  L x[nl], y[nl];
  ctx.load(a, x);
  ctx.load(b, y);
  ctx.mul(x, x, y);         // a * b / R
  ctx.mul(x, x, ctx.r2());  // a * b
  const bignum out = ctx.store(x);
  std::memset(x, 0, sizeof(x));
  std::memset(y, 0, sizeof(y));
  return out;
}

bignum bignum::add_mod_secret(const bignum& a, const bignum& b, const bignum& m) {
  if (m.is_zero() || !m.is_odd()) throw std::domain_error("secret sums need an odd modulus");
  const size_t n = m.m_size;
  uint32_t sum[cap], diff[cap];
  uint64_t carry = 0;
  for (size_t i = 0; i < n; ++i) {
    carry += static_cast<uint64_t>(a.m_words[i]) + b.m_words[i];
    sum[i] = static_cast<uint32_t>(carry);
    carry >>= 32;
  }
  uint64_t borrow = 0;
  for (size_t i = 0; i < n; ++i) {
    const uint64_t d = static_cast<uint64_t>(sum[i]) - m.m_words[i] - borrow;
    diff[i] = static_cast<uint32_t>(d);
    borrow = (d >> 32) & 1;
  }
  // a + b >= m exactly when the sum carried out or the subtraction did not
  // borrow.
  const uint32_t take_difference = static_cast<uint32_t>(carry | (borrow ^ 1));
  const uint32_t mask = value_barrier(static_cast<uint32_t>(0 - take_difference));
  for (size_t i = 0; i < n; ++i) sum[i] = (diff[i] & mask) | (sum[i] & ~mask);
  bignum out;
  out.set_words(sum, n);
  std::memset(sum, 0, sizeof(sum));
  std::memset(diff, 0, sizeof(diff));
  return out;
}

bignum bignum::inverse_mod_prime_secret(const bignum& a, const bignum& m) {
  if (m.is_zero() || !m.is_odd() || m.bit_length() < 2) throw std::domain_error("inverse needs an odd prime");
  return secret_exp(a, sub(m, bignum(2)), m, m.bit_length(), true);
}

bignum bignum::mod_exp(const bignum& base, const bignum& exp, const bignum& m) {
  const bignum* bases[] = {&base};
  const bignum* exps[] = {&exp};
  return multi_exp(bases, exps, 1, m);
}

bignum bignum::mod_exp2(const bignum& b1, const bignum& e1, const bignum& b2, const bignum& e2,
                        const bignum& m) {
  const bignum* bases[] = {&b1, &b2};
  const bignum* exps[] = {&e1, &e2};
  return multi_exp(bases, exps, 2, m);
}

}  // namespace kro::root
