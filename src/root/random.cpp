#include "root/random.h"

#include <cstring>
#include <mutex>

#include "bytes/byte_view.h"
#include "text/text.h"

namespace kro::root {
namespace {

// ChaCha20 block function (RFC 8439): 20 rounds over key, counter and nonce.
class chacha20 {
 public:
  chacha20() {
    uint8_t seed[32];
    detail::os_random_bytes(seed, sizeof(seed));
    for (int i = 0; i < 8; ++i) m_key[i] = bytes::load_le<uint32_t>(seed + 4 * i);
    std::memset(seed, 0, sizeof(seed));
  }

  void fill(uint8_t* out, size_t n) {
    while (n > 0) {
      if (m_used == sizeof(m_block)) next_block();
      const size_t take = n < sizeof(m_block) - m_used ? n : sizeof(m_block) - m_used;
      std::memcpy(out, m_block + m_used, take);
      std::memset(m_block + m_used, 0, take);  // never hand out the same bytes twice
      m_used += take;
      out += take;
      n -= take;
    }
  }

 private:
  static uint32_t rotl(uint32_t v, int c) { return (v << c) | (v >> (32 - c)); }
  static void quarter(uint32_t* x, int a, int b, int c, int d) {
    x[a] += x[b];
    x[d] = rotl(x[d] ^ x[a], 16);
    x[c] += x[d];
    x[b] = rotl(x[b] ^ x[c], 12);
    x[a] += x[b];
    x[d] = rotl(x[d] ^ x[a], 8);
    x[c] += x[d];
    x[b] = rotl(x[b] ^ x[c], 7);
  }

  void next_block() {
    uint32_t state[16] = {0x61707865, 0x3320646e, 0x79622d32, 0x6b206574};
    std::memcpy(state + 4, m_key, sizeof(m_key));
    state[12] = static_cast<uint32_t>(m_counter);
    state[13] = static_cast<uint32_t>(m_counter >> 32);
    ++m_counter;
    uint32_t x[16];
    std::memcpy(x, state, sizeof(x));
    for (int round = 0; round < 10; ++round) {
      quarter(x, 0, 4, 8, 12);
      quarter(x, 1, 5, 9, 13);
      quarter(x, 2, 6, 10, 14);
      quarter(x, 3, 7, 11, 15);
      quarter(x, 0, 5, 10, 15);
      quarter(x, 1, 6, 11, 12);
      quarter(x, 2, 7, 8, 13);
      quarter(x, 3, 4, 9, 14);
    }
    for (int i = 0; i < 16; ++i) {
      bytes::store_le<uint32_t>(m_block + 4 * i, x[i] + state[i]);
    }
    m_used = 0;
  }

  uint32_t m_key[8];
  uint64_t m_counter = 0;
  uint8_t m_block[64] = {};
  size_t m_used = sizeof(m_block);
};

std::mutex& generator_lock() {
  static std::mutex lock;
  return lock;
}

}  // namespace

void random_bytes(void* out, size_t n) {
  std::lock_guard<std::mutex> hold(generator_lock());
  static chacha20 generator;  // keyed on first use
  generator.fill(static_cast<uint8_t*>(out), n);
}

std::wstring guid_text(const uint8_t (&raw)[16]) {
  const uint32_t data1 = bytes::load_le<uint32_t>(raw);
  const auto data2 = static_cast<unsigned short>(bytes::load_le<uint16_t>(raw + 4));
  const auto data3 = static_cast<unsigned short>((bytes::load_le<uint16_t>(raw + 6) & 0x0FFF) | 0x4000);
  const auto d40 = static_cast<unsigned char>((raw[8] & 0x3F) | 0x80);
  return text::format(L"%08lx-%04hx-%04hx-%02hhx%02hhx-%02hhx%02hhx%02hhx%02hhx%02hhx%02hhx",
                      static_cast<unsigned long>(data1), data2, data3, d40, raw[9], raw[10], raw[11], raw[12],
                      raw[13], raw[14], raw[15]);
}

std::wstring new_guid_text() {
  uint8_t bytes[16];
  random_bytes(bytes, sizeof(bytes));
  return guid_text(bytes);
}

}  // namespace kro::root
