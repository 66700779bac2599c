#include "root/hmac.h"

#include <cstring>

namespace kro::root {

hmac_sha256::hmac_sha256(const void* key, size_t key_size) {
  if (key_size > block_size) {
    const digest hashed = hash_block(key, key_size);
    std::memcpy(m_key, hashed.data(), hashed.size());
  } else if (key_size != 0) {
    std::memcpy(m_key, key, key_size);
  }
  start();
}

hmac_sha256::~hmac_sha256() { std::memset(m_key, 0, sizeof(m_key)); }

void hmac_sha256::start() {
  uint8_t pad[block_size];
  for (size_t i = 0; i < block_size; ++i) pad[i] = static_cast<uint8_t>(m_key[i] ^ 0x36);
  m_inner.init();
  m_inner.update(pad, sizeof(pad));
}

void hmac_sha256::update(const void* data, size_t size) { m_inner.update(data, size); }

digest hmac_sha256::finish() {
  uint8_t inner[digest_size];
  m_inner.final(inner);
  uint8_t pad[block_size];
  for (size_t i = 0; i < block_size; ++i) pad[i] = static_cast<uint8_t>(m_key[i] ^ 0x5c);
  sha256 outer;
  outer.init();
  outer.update(pad, sizeof(pad));
  outer.update(inner, sizeof(inner));
  digest tag(digest_size);
  outer.final(tag.data());
  start();
  return tag;
}

digest hmac_sha256_block(const void* key, size_t key_size, const void* data, size_t size) {
  hmac_sha256 mac(key, key_size);
  mac.update(data, size);
  return mac.finish();
}

}  // namespace kro::root
