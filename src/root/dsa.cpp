#include "root/dsa.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "exceptions/exceptions.h"
#include "root/bignum.h"
#include "root/hmac.h"
#include "root/random.h"
#include "sfx/error_codes.h"

namespace kro::root::dsa {
namespace {

bool read(bytes_view bytes, bignum* out) { return out->try_assign(bytes.data(), bytes.size()); }

// bits2int of RFC 6979 / the z of FIPS 186-4: the leftmost qbits bits of the
// hash as an integer.
bignum bits_to_int(bytes_view hash, size_t qbits) {
  const size_t take = std::min(hash.size(), (qbits + 7) / 8);
  bignum v = bignum::from_bytes(hash.data(), take);
  if (take * 8 > qbits) v = bignum::shift_right(v, take * 8 - qbits);
  return v;
}

struct domain_values {
  bignum p, q, g;
};

// Reads and sanity-checks domain parameters; false when they are unusable.
bool read_domain(const domain& params, domain_values* out) {
  if (!read(params.p, &out->p) || !read(params.q, &out->q) || !read(params.g, &out->g)) return false;
  const bignum one(1);
  return out->p.is_odd() && out->q.is_odd() && out->q > one && out->p > one;
}

std::vector<uint8_t> fixed_bytes(const bignum& v, size_t size) {
  std::vector<uint8_t> out(size);
  v.to_bytes(out.data(), out.size());
  return out;
}

uint8_t hex_digit(char c) {
  if (c >= '0' && c <= '9') return static_cast<uint8_t>(c - '0');
  if (c >= 'a' && c <= 'f') return static_cast<uint8_t>(c - 'a' + 10);
  if (c >= 'A' && c <= 'F') return static_cast<uint8_t>(c - 'A' + 10);
  throw std::invalid_argument("invalid hex digit");
}

std::vector<uint8_t> hex_bytes(std::string_view hex) {
  if (hex.size() % 2 != 0) throw std::invalid_argument("odd number of hex digits");
  std::vector<uint8_t> out(hex.size() / 2);
  for (size_t i = 0; i < out.size(); ++i) {
    out[i] = static_cast<uint8_t>(hex_digit(hex[2 * i]) << 4 | hex_digit(hex[2 * i + 1]));
  }
  return out;
}

void append_hex(std::string& out, bytes_view bytes) {
  static constexpr char digits[] = "0123456789abcdef";
  for (uint8_t b : bytes) {
    out += digits[b >> 4];
    out += digits[b & 15];
  }
}

constexpr const char* set_names[max_key_set + 1] = {"ABCH", "DH", "EH", "GH", "ABCDEFGH"};

}  // namespace

bool verify(bytes_view hash, bytes_view r_bytes, bytes_view s_bytes, const public_key& key) {
  try {
    domain_values d;
    bignum y, r, s;
    if (!read_domain(key.params, &d) || !read(key.y, &y) || !read(r_bytes, &r) || !read(s_bytes, &s)) {
      return false;
    }
    if (r.is_zero() || r >= d.q || s.is_zero() || s >= d.q) return false;
    bignum w;
    if (!bignum::mod_inverse(s, d.q, &w)) return false;
    const bignum z = bits_to_int(hash, d.q.bit_length());
    const bignum u1 = bignum::mul_mod(z, w, d.q);
    const bignum u2 = bignum::mul_mod(r, w, d.q);
    const bignum v = bignum::mod(bignum::mod_exp2(d.g, u1, y, u2, d.p), d.q);
    return v == r;
  } catch (const std::exception&) {
    return false;
  }
}

bool verify(const digest& hash, bytes_view r, bytes_view s, const public_key& key) {
  return verify(bytes_view(hash.bytes()), r, s, key);
}

bool verify_value(const digest& hash, bytes_view signature, const public_key& key) {
  if (signature.size() % 2 != 0) return false;
  const size_t half = signature.size() / 2;
  return verify(hash, signature.first(half), signature.subspan(half), key);
}

namespace {

// The deterministic nonce generator of RFC 6979 section 3.2 over
// HMAC-SHA256: steps b to g at construction, step h for each candidate.
class nonce_generator {
 public:
  nonce_generator(bytes_view hash, const bignum& x, const bignum& q) : m_q(q) {
    m_qbits = q.bit_length();
    m_rlen = (m_qbits + 7) / 8;
    if (q.is_zero() || x.is_zero() || x >= q) throw std::invalid_argument("private value outside [1, q-1]");
    // int2octets(x) || bits2octets(h1)
    std::vector<uint8_t> seed = fixed_bytes(x, m_rlen);
    bignum z = bits_to_int(hash, m_qbits);
    if (z >= q) z = bignum::sub(z, q);
    const std::vector<uint8_t> h = fixed_bytes(z, m_rlen);
    seed.insert(seed.end(), h.begin(), h.end());
    std::memset(m_v, 0x01, sizeof(m_v));
    std::memset(m_k, 0x00, sizeof(m_k));
    rekey(0x00, seed);
    rekey(0x01, seed);
    std::memset(seed.data(), 0, seed.size());
  }
  ~nonce_generator() {
    std::memset(m_k, 0, sizeof(m_k));
    std::memset(m_v, 0, sizeof(m_v));
  }

  // The next k in [1, q-1].
  bignum next() {
    if (m_started) rekey(0x00, {});
    m_started = true;
    for (;;) {
      std::vector<uint8_t> t;
      while (t.size() < m_rlen) {
        step_v();
        t.insert(t.end(), m_v, m_v + sizeof(m_v));
      }
      const bignum k = bits_to_int(t, m_qbits);
      if (!k.is_zero() && k < m_q) return k;
      rekey(0x00, {});
    }
  }

  size_t rlen() const { return m_rlen; }

 private:
  void step_v() {
    hmac_sha256 mac(m_k, sizeof(m_k));
    mac.update(m_v, sizeof(m_v));
    std::memcpy(m_v, mac.finish().data(), sizeof(m_v));
  }
  // K = HMAC_K(V || marker || data); V = HMAC_K(V).
  void rekey(uint8_t marker, bytes_view data) {
    hmac_sha256 mac(m_k, sizeof(m_k));
    mac.update(m_v, sizeof(m_v));
    mac.update(&marker, 1);
    if (!data.empty()) mac.update(data.data(), data.size());
    std::memcpy(m_k, mac.finish().data(), sizeof(m_k));
    step_v();
  }

  bignum m_q;
  size_t m_qbits = 0;
  size_t m_rlen = 0;
  uint8_t m_v[hmac_sha256::digest_size];
  uint8_t m_k[hmac_sha256::digest_size];
  bool m_started = false;
};

}  // namespace

std::vector<uint8_t> rfc6979_nonce(bytes_view hash, bytes_view x_bytes, bytes_view q_bytes) {
  const bignum q = bignum::from_bytes(q_bytes.data(), q_bytes.size());
  nonce_generator nonces(hash, bignum::from_bytes(x_bytes.data(), x_bytes.size()), q);
  return fixed_bytes(nonces.next(), nonces.rlen());
}

std::vector<uint8_t> sign(const digest& hash, bytes_view x_bytes, const domain& params) {
  domain_values d;
  bignum x;
  if (!read_domain(params, &d) || !read(x_bytes, &x)) throw std::invalid_argument("unusable DSA key");
  if (x.is_zero() || x >= d.q) throw std::invalid_argument("private value outside [1, q-1]");
  const size_t qlen = d.q.byte_length();
  const bignum z = bignum::mod(bits_to_int(hash.bytes(), d.q.bit_length()), d.q);
  const size_t qbits = d.q.bit_length();
  nonce_generator nonces(hash.bytes(), x, d.q);
  // The secret values (x, k, k^-1 and the products with them) go through the
  // fixed-sequence operations of bignum: g^k runs over all qbits bits of k
  // whatever its length, and k^-1 is k^(q-2) by the same fixed window instead
  // of Euclid's branches. r, z and s are public. A nonce giving r = 0 or s = 0
  // is replaced by the generator's next one; parameters that keep giving zero
  // (such as g = 0) are refused.
  for (int attempt = 0; attempt < 100; ++attempt) {
    const bignum k = nonces.next();
    const bignum r = bignum::mod(bignum::mod_exp_secret(d.g, k, d.p, qbits), d.q);
    if (r.is_zero()) continue;
    const bignum k_inv = bignum::inverse_mod_prime_secret(k, d.q);
    // Fermat's inverse holds for a prime q only; a key text may carry any q.
    if (bignum::mul_mod_secret(k, k_inv, d.q) != bignum(1))
      throw std::invalid_argument("unusable DSA domain parameters: q is not prime");
    const bignum xr = bignum::mul_mod_secret(x, r, d.q);
    const bignum s = bignum::mul_mod_secret(k_inv, bignum::add_mod_secret(z, xr, d.q), d.q);
    if (s.is_zero()) continue;
    std::vector<uint8_t> out = fixed_bytes(r, qlen);
    const std::vector<uint8_t> s_bytes = fixed_bytes(s, qlen);
    out.insert(out.end(), s_bytes.begin(), s_bytes.end());
    return out;
  }
  throw std::invalid_argument("unusable DSA domain parameters: no nonce gives a signature");
}

std::vector<uint8_t> public_value(bytes_view x_bytes, const domain& params) {
  domain_values d;
  bignum x;
  if (!read_domain(params, &d) || !read(x_bytes, &x)) throw std::invalid_argument("unusable DSA key");
  // x is secret: the exponentiation runs over the whole length of its text.
  const size_t bits = std::max(d.q.bit_length(), 8 * x_bytes.size());
  return fixed_bytes(bignum::mod_exp_secret(d.g, x, d.p, bits), params.p.size());
}

key_pair generate_key(const domain& params) {
  domain_values d;
  if (!read_domain(params, &d)) throw std::invalid_argument("unusable DSA domain parameters");
  const size_t qbits = d.q.bit_length();
  const size_t qlen = (qbits + 7) / 8;
  std::vector<uint8_t> buffer(qlen);
  bignum x;
  // Rejection sampling: qbits random bits, kept when 1 <= x <= q - 1.
  do {
    random_bytes(buffer.data(), buffer.size());
    if (qbits % 8 != 0) buffer[0] = static_cast<uint8_t>(buffer[0] & ((1u << (qbits % 8)) - 1));
    x = bignum::from_bytes(buffer);
  } while (x.is_zero() || x >= d.q);
  std::memset(buffer.data(), 0, buffer.size());
  key_pair key;
  key.p.assign(params.p.begin(), params.p.end());
  key.q.assign(params.q.begin(), params.q.end());
  key.g.assign(params.g.begin(), params.g.end());
  key.x = fixed_bytes(x, qlen);
  key.y = public_value(key.x, params);
  return key;
}

key_pair parse_key_text(std::string_view text) {
  key_pair key;
  size_t line_number = 0;
  while (!text.empty()) {
    const size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    ++line_number;
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t')) {
      line.remove_suffix(1);
    }
    while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
    if (line.empty() || line.front() == '#') continue;
    const size_t space = line.find(' ');
    const std::string_view name = line.substr(0, space);
    std::string_view value = space == std::string_view::npos ? std::string_view() : line.substr(space + 1);
    while (!value.empty() && value.front() == ' ') value.remove_prefix(1);
    std::vector<uint8_t>* target = name == "p"   ? &key.p
                                   : name == "q" ? &key.q
                                   : name == "g" ? &key.g
                                   : name == "y" ? &key.y
                                   : name == "x" ? &key.x
                                                 : nullptr;
    if (target == nullptr || value.empty()) {
      throw std::invalid_argument("key text line " + std::to_string(line_number) +
                                  ": expected '<p|q|g|y|x> <hex>'");
    }
    try {
      *target = hex_bytes(value);
    } catch (const std::invalid_argument&) {
      throw std::invalid_argument("key text line " + std::to_string(line_number) + ": malformed hex value");
    }
  }
  if (key.p.empty() || key.q.empty() || key.g.empty() || key.y.empty()) {
    throw std::invalid_argument("key text lacks one of p, q, g, y");
  }
  return key;
}

std::string format_key_text(const key_pair& key, std::string_view comment) {
  std::string out;
  if (!comment.empty()) {
    out += "# ";
    out += comment;
    out += '\n';
  }
  const std::pair<const char*, const std::vector<uint8_t>*> lines[] = {
      {"p", &key.p}, {"q", &key.q}, {"g", &key.g}, {"y", &key.y}, {"x", &key.x}};
  for (const auto& [name, value] : lines) {
    if (value->empty()) continue;
    out += name;
    out += ' ';
    append_hex(out, *value);
    out += '\n';
  }
  return out;
}

const public_key& table_key(char name) {
  for (const named_key& k : detail::ring_keys) {
    if (k.name == name) return k.key;
  }
  throw exceptions::error(codes::invalid_argument, "Unknown DSA key!");
}

const char* key_set_names(uint32_t number) {
  if (number > max_key_set) throw exceptions::error(codes::invalid_argument, "Unknown DSA key!");
  return set_names[number];
}

std::vector<named_key> key_set(uint32_t number) {
  std::vector<named_key> keys;
  for (const char* name = key_set_names(number); *name != 0; ++name)
    keys.push_back({*name, table_key(*name)});
  return keys;
}

namespace {

// value at a fixed size, left-padded; false when it needs more bytes.
bool append_padded(std::vector<uint8_t>& out, bytes_view value, size_t size) {
  size_t skip = 0;
  while (skip < value.size() && value[skip] == 0) ++skip;
  if (value.size() - skip > size) return false;
  out.insert(out.end(), size - (value.size() - skip), 0);
  out.insert(out.end(), value.begin() + static_cast<ptrdiff_t>(skip), value.end());
  return true;
}

bool append_key(std::vector<uint8_t>& out, bytes_view p, bytes_view q, bytes_view g, bytes_view y) {
  return append_padded(out, p, 256) && append_padded(out, q, 32) && append_padded(out, g, 256) &&
         append_padded(out, y, 256);
}

}  // namespace

const char* ring_fingerprint() { return detail::ring_fingerprint; }

bool ring_is_development() { return detail::ring_development; }

std::string table_fingerprint() {
  std::vector<uint8_t> table;
  for (const named_key& k : detail::ring_keys) {
    if (!append_key(table, k.key.params.p, k.key.params.q, k.key.params.g, k.key.y))
      throw std::invalid_argument("key table value longer than its field");
  }
  return hash_block(table.data(), table.size()).to_hex_narrow().substr(0, 16);
}

char development_key_name(const key_pair& key) {
  std::vector<uint8_t> bytes;
  if (!append_key(bytes, key.p, key.q, key.g, key.y)) return 0;
  const digest d = hash_block(bytes.data(), bytes.size());
  for (const detail::named_digest& k : detail::development_keys) {
    if (std::equal(d.bytes().begin(), d.bytes().end(), k.sha256)) return k.name;
  }
  return 0;
}

bool verify_key_set(const digest& hash, bytes_view signature, uint32_t number, char* which) {
  for (const named_key& k : key_set(number)) {
    if (verify_value(hash, signature, k.key)) {
      if (which != nullptr) *which = k.name;
      return true;
    }
  }
  return false;
}

}  // namespace kro::root::dsa
