#pragma once
// DSA (FIPS 186-4) over SHA-256 digests, and the program's key table.
//
// Values are unsigned big-endian byte strings. A signature value is r || s,
// two halves of equal length (32 bytes each for N = 256).
//
// Verification (verify):
//   1. Every value (p, q, g, y, r, s) is read as an integer; one longer than
//      516 bytes fails the check.
//   2. 0 < r < q and 0 < s < q, else fail (before any exponentiation).
//   3. w = s^-1 mod q; u1 = z * w mod q; u2 = r * w mod q, z being the
//      leftmost N bits of the digest (N = bit length of q; for N = 256 the
//      whole SHA-256 digest).
//   4. v = ((g^u1 * y^u2) mod p) mod q; valid exactly when v = r.
//   Malformed keys (even p or q, q < 2) fail as well; nothing throws.
//
// Signing (sign) uses deterministic nonces (RFC 6979, HMAC-SHA256), so the
// same digest and key always give the same signature. Its arithmetic on
// secrets (g^k, k^-1, x * r, k^-1 * (z + x * r)) runs through bignum's
// *_secret operations: a fixed number of steps whatever the nonce's length,
// the inverse by Fermat instead of Euclid. Not covered: the nonce generator's
// test of each candidate against q (a retry shows that a discarded candidate
// was too large, nothing about the k in use) and what bignum.h lists.
// Verification handles public values only and keeps the faster variable-time
// code.
//
// Key text (the private key files of the key ring, and what `sfxtool keygen`
// writes): lines "<name> <hex>" for the names p, q, g, y and x; empty lines
// and lines starting with '#' are ignored.
//
// Key table: three domain-parameter sets and eight public values A..H,
// generated at build time from the key ring (scripts/gen_key_table.py).
// Key sets, keys tried in this order:
//   0: A B C H   1: D H   2: E H   3: G H   4: A B C D E F G H
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "root/sha256.h"

namespace kro::root::dsa {

using bytes_view = std::span<const uint8_t>;

struct domain {
  bytes_view p, q, g;
};

struct public_key {
  domain params;
  bytes_view y;
};

// Owning key material (keys read from text or generated).
struct key_pair {
  std::vector<uint8_t> p, q, g, y, x;

  domain params() const { return {p, q, g}; }
  public_key public_part() const { return {params(), y}; }
};

// The key set that the self-extractor checks.
inline constexpr uint32_t sfx_key_set = 3;
inline constexpr uint32_t max_key_set = 4;

bool verify(bytes_view hash, bytes_view r, bytes_view s, const public_key& key);
bool verify(const digest& hash, bytes_view r, bytes_view s, const public_key& key);
// Splits signature into r and s halves; an odd length fails.
bool verify_value(const digest& hash, bytes_view signature, const public_key& key);

// r || s, each as long as q (64 bytes for N = 256). The RFC 6979 nonce is
// derived from x and the digest. Throws std::invalid_argument for an
// unusable key (x not in [1, q-1], malformed parameters).
std::vector<uint8_t> sign(const digest& hash, bytes_view x, const domain& params);

// The RFC 6979 nonce k for a digest and private value under q (exposed for
// tests; sign() takes the next candidate only if r or s comes out zero).
std::vector<uint8_t> rfc6979_nonce(bytes_view hash, bytes_view x, bytes_view q);

// y = g^x mod p, as long as p.
std::vector<uint8_t> public_value(bytes_view x, const domain& params);
// A new key pair on the given domain parameters: x uniformly random in
// [1, q-1] from root::random_bytes, y = g^x mod p.
key_pair generate_key(const domain& params);

// Reads key text (see above); x may be absent for a public key. Throws
// std::invalid_argument naming the line for malformed text or missing
// p, q, g, y.
key_pair parse_key_text(std::string_view text);
// Writes key text: a first comment line (when given), then p, q, g, y and x
// (x only when present), p g y as long as p, q and x as long as q.
std::string format_key_text(const key_pair& key, std::string_view comment);

// --- Key table ---------------------------------------------------------------

struct named_key {
  char name;  // 'A'..'H'
  public_key key;
};

// The public key named 'A'..'H'; kro::exceptions::error 87 "Unknown DSA key!"
// for another name.
const public_key& table_key(char name);
// The keys of a key set in trial order; kro::exceptions::error 87
// "Unknown DSA key!" for a number above max_key_set.
std::vector<named_key> key_set(uint32_t number);
// The names of a key set's keys in trial order ("GH" for set 3).
const char* key_set_names(uint32_t number);
// A valid signature value for at least one key of the set. The name of the
// first key that accepts it goes to *which when given.
bool verify_key_set(const digest& hash, bytes_view signature, uint32_t number, char* which = nullptr);

// --- The key ring's identity -----------------------------------------------------
//
// The table as the program holds it is, for each key A..H in order, its p
// (256 bytes), q (32), g (256) and y (256), big-endian and left-padded. The
// ring's fingerprint is the first 8 bytes of the SHA-256 of those 6,400
// bytes as 16 lower-case hex digits, computed by the generator at build time.
//
// The development ring (keys/dev-ring.txt) has its private halves in the
// repository: anything signed with its keys proves nothing. A ring holding
// any of its keys is a development ring.

// The fingerprint compiled in ("5871b9e5ebaaa689" for the development ring).
const char* ring_fingerprint();
// The fingerprint computed from the table itself (tests and sfxtool check
// the compiled one against it).
std::string table_fingerprint();
// Whether this build's ring holds a key of the development ring.
bool ring_is_development();
// The name ('A'..'H') of the development ring's key with these p, q, g and y
// (leading zero bytes ignored), or 0 when the key is none of them.
char development_key_name(const key_pair& key);

namespace detail {
struct named_digest {
  char name;
  uint8_t sha256[32];
};
// Generated from the key ring: the keys A..H in order, the ring's name, its
// fingerprint and whether it holds development keys, and the SHA-256 of each
// development key's p || q || g || y (at the table's sizes).
extern const named_key ring_keys[8];
extern const char* const ring_name;
extern const char* const ring_fingerprint;
extern const bool ring_development;
extern const named_digest development_keys[8];
}  // namespace detail

}  // namespace kro::root::dsa
