#pragma once
// HMAC-SHA256 (RFC 2104, FIPS 198-1): keys longer than the 64-byte block are
// hashed first, shorter ones padded with zeros.
#include <cstddef>
#include <cstdint>

#include "root/sha256.h"

namespace kro::root {

class hmac_sha256 {
 public:
  static constexpr size_t block_size = 64;
  static constexpr size_t digest_size = sha256::digest_size;

  // Keys the object and starts a message.
  hmac_sha256(const void* key, size_t key_size);
  ~hmac_sha256();
  hmac_sha256(const hmac_sha256&) = delete;
  hmac_sha256& operator=(const hmac_sha256&) = delete;

  void update(const void* data, size_t size);
  // The tag of the message fed so far; the object then starts a new message
  // under the same key.
  digest finish();

 private:
  void start();

  uint8_t m_key[block_size] = {};
  sha256 m_inner;
};

// The tag of one message.
digest hmac_sha256_block(const void* key, size_t key_size, const void* data, size_t size);

}  // namespace kro::root
