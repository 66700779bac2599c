// SHA-256 (FIPS 180-4) with block transforms chosen per processor, digest
// values and their hex texts.
//
// Context: eight chaining words, a 64-byte block buffer, the count of bits
// hashed, the bytes waiting in the buffer and the block transform chosen at
// init(). final() pads with 0x80, zeros up to 56 bytes modulo 64 and the
// 64-bit big-endian bit count, and writes the chaining words big-endian.
//
// Transforms (all process whole 64-byte blocks and give the same result):
//   portable  plain C++
//   ssse3     message schedule four words at a time in SSE registers
//   avx       the same with VEX encoding
//   avx2      schedules of two blocks at once in YMM registers, rounds with
//             BMI2 rotates
//   shani     the SHA extensions (sha256rnds2, sha256msg1, sha256msg2)
// Each SIMD transform is compiled for its instruction set through a target
// attribute, so the rest of the program needs no such flags. The choice is
// made from what the one-time initialisation found: no SSSE3 -> portable;
// SHA extensions (with SSE4.1) -> shani; AVX2 and BMI2 usable -> avx2; AVX
// usable -> avx; else ssse3. "Usable" includes that the operating system
// saves the YMM registers (XGETBV).
#include "root/sha256.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "exceptions/exceptions.h"
#include "files/file_mapping.h"

#if defined(__i386__) || defined(__x86_64__)
#define KRO_SHA256_X86 1
#include <cpuid.h>
#include <immintrin.h>
#else
#define KRO_SHA256_X86 0
#endif

namespace kro::root {

// Platform facts (page size), sha256_win32.cpp / sha256_posix.cpp.
namespace detail {
uint32_t system_page_size();
}

namespace {

using transform_fn = void (*)(uint32_t* state, const uint8_t* data, size_t blocks);

alignas(64) constexpr uint32_t k_rounds[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

constexpr uint32_t k_initial[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                   0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

inline uint32_t rotr(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }
inline uint32_t load_be32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}
inline void store_be32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24);
  p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[3] = static_cast<uint8_t>(v);
}

// One round on the eight working variables a..h kept in v[], rotated by
// renaming: round i uses v[(0 - i) & 7] as a, and so on. Written as a macro
// so that every transform inlines it under its own target.
#define KRO_SHA256_ROUND(a, b, c, d, e, f, g, h, wk)                                                \
  do {                                                                                              \
    const uint32_t t1 =                                                                             \
        (h) + (rotr((e), 6) ^ rotr((e), 11) ^ rotr((e), 25)) + (((e) & (f)) ^ (~(e) & (g))) + (wk); \
    const uint32_t t2 =                                                                             \
        (rotr((a), 2) ^ rotr((a), 13) ^ rotr((a), 22)) + (((a) & (b)) ^ ((a) & (c)) ^ ((b) & (c))); \
    (d) += t1;                                                                                      \
    (h) = t1 + t2;                                                                                  \
  } while (0)

// 64 rounds over w_plus_k[64] (message word + round constant), added into state.
#define KRO_SHA256_ROUNDS(state, wk)                                 \
  do {                                                               \
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3]; \
    uint32_t e = state[4], f = state[5], g = state[6], h = state[7]; \
    for (int r = 0; r < 64; r += 8) {                                \
      KRO_SHA256_ROUND(a, b, c, d, e, f, g, h, wk[r + 0]);           \
      KRO_SHA256_ROUND(h, a, b, c, d, e, f, g, wk[r + 1]);           \
      KRO_SHA256_ROUND(g, h, a, b, c, d, e, f, wk[r + 2]);           \
      KRO_SHA256_ROUND(f, g, h, a, b, c, d, e, wk[r + 3]);           \
      KRO_SHA256_ROUND(e, f, g, h, a, b, c, d, wk[r + 4]);           \
      KRO_SHA256_ROUND(d, e, f, g, h, a, b, c, wk[r + 5]);           \
      KRO_SHA256_ROUND(c, d, e, f, g, h, a, b, wk[r + 6]);           \
      KRO_SHA256_ROUND(b, c, d, e, f, g, h, a, wk[r + 7]);           \
    }                                                                \
    state[0] += a;                                                   \
    state[1] += b;                                                   \
    state[2] += c;                                                   \
    state[3] += d;                                                   \
    state[4] += e;                                                   \
    state[5] += f;                                                   \
    state[6] += g;                                                   \
    state[7] += h;                                                   \
  } while (0)

void transform_portable(uint32_t* state, const uint8_t* data, size_t blocks) {
  uint32_t w[64];
  uint32_t wk[64];
  for (; blocks != 0; --blocks, data += 64) {
    for (int t = 0; t < 16; ++t) w[t] = load_be32(data + 4 * t);
    for (int t = 16; t < 64; ++t) {
      const uint32_t s0 = rotr(w[t - 15], 7) ^ rotr(w[t - 15], 18) ^ (w[t - 15] >> 3);
      const uint32_t s1 = rotr(w[t - 2], 17) ^ rotr(w[t - 2], 19) ^ (w[t - 2] >> 10);
      w[t] = w[t - 16] + s0 + w[t - 7] + s1;
    }
    for (int t = 0; t < 64; ++t) wk[t] = w[t] + k_rounds[t];
    KRO_SHA256_ROUNDS(state, wk);
  }
}

#if KRO_SHA256_X86

// ---- SSSE3 / AVX: schedule four words at a time --------------------------
//
// With X0..X3 holding W[t-16..t-1], the next four words are
//   W[t+j] = X0[j] + s0(W[t-15+j]) + W[t-7+j] + s1(W[t-2+j])
// where W[t-15..t-12] = alignr(X1, X0) and W[t-7..t-4] = alignr(X3, X2).
// s1 of lanes 2 and 3 needs the two new words of lanes 0 and 1, so s1 is
// applied in two halves.
#define KRO_SHA256_VEC128_HELPERS(attr)                                                                      \
  attr static inline __m128i v128_rotr(__m128i x, int n) {                                                   \
    return _mm_or_si128(_mm_srli_epi32(x, n), _mm_slli_epi32(x, 32 - n));                                    \
  }                                                                                                          \
  attr static inline __m128i v128_schedule(__m128i x0, __m128i x1, __m128i x2, __m128i x3) {                 \
    const __m128i w15 = _mm_alignr_epi8(x1, x0, 4);                                                          \
    const __m128i w7 = _mm_alignr_epi8(x3, x2, 4);                                                           \
    const __m128i s0 =                                                                                       \
        _mm_xor_si128(_mm_xor_si128(v128_rotr(w15, 7), v128_rotr(w15, 18)), _mm_srli_epi32(w15, 3));         \
    __m128i t = _mm_add_epi32(_mm_add_epi32(x0, s0), w7);                                                    \
    const __m128i w2 = _mm_shuffle_epi32(x3, 0xFE); /* W[t-2], W[t-1] in lanes 0, 1 */                       \
    __m128i s1 = _mm_xor_si128(_mm_xor_si128(v128_rotr(w2, 17), v128_rotr(w2, 19)), _mm_srli_epi32(w2, 10)); \
    t = _mm_add_epi32(t, _mm_move_epi64(s1));                                                                \
    s1 = _mm_xor_si128(_mm_xor_si128(v128_rotr(t, 17), v128_rotr(t, 19)), _mm_srli_epi32(t, 10));            \
    return _mm_add_epi32(t, _mm_slli_si128(_mm_move_epi64(s1), 8));                                          \
  }

#define KRO_SHA256_VEC128_TRANSFORM(attr, name)                                                          \
  attr void name(uint32_t* state, const uint8_t* data, size_t blocks) {                                  \
    const __m128i swap = _mm_set_epi64x(0x0c0d0e0f08090a0bULL, 0x0405060700010203ULL);                   \
    alignas(16) uint32_t wk[64];                                                                         \
    for (; blocks != 0; --blocks, data += 64) {                                                          \
      __m128i x[4];                                                                                      \
      for (int i = 0; i < 4; ++i) {                                                                      \
        x[i] = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 16 * i)), swap); \
      }                                                                                                  \
      _Pragma("GCC unroll 16") for (int i = 0; i < 16; ++i) {                                            \
        const __m128i cur = x[i & 3];                                                                    \
        _mm_store_si128(                                                                                 \
            reinterpret_cast<__m128i*>(wk + 4 * i),                                                      \
            _mm_add_epi32(cur, _mm_load_si128(reinterpret_cast<const __m128i*>(k_rounds + 4 * i))));     \
        if (i < 12) x[i & 3] = v128_schedule(cur, x[(i + 1) & 3], x[(i + 2) & 3], x[(i + 3) & 3]);       \
      }                                                                                                  \
      KRO_SHA256_ROUNDS(state, wk);                                                                      \
    }                                                                                                    \
  }

namespace ssse3_impl {
#define KRO_ATTR __attribute__((target("ssse3")))
KRO_SHA256_VEC128_HELPERS(KRO_ATTR)
KRO_ATTR static inline uint32_t rotr(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }
KRO_SHA256_VEC128_TRANSFORM(KRO_ATTR, transform)
#undef KRO_ATTR
}  // namespace ssse3_impl

namespace avx_impl {
#define KRO_ATTR __attribute__((target("avx")))
KRO_SHA256_VEC128_HELPERS(KRO_ATTR)
KRO_ATTR static inline uint32_t rotr(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }
KRO_SHA256_VEC128_TRANSFORM(KRO_ATTR, transform)
#undef KRO_ATTR
}  // namespace avx_impl

// ---- AVX2 + BMI2: two blocks per schedule --------------------------------
//
// The low 128-bit lane of each YMM register carries the schedule of the
// first block, the high lane that of the second; every operation used works
// within lanes, so the four-word step above applies unchanged. The rounds of
// the two blocks then run one after the other from the stored sums. An odd
// last block is scheduled in both lanes and hashed once.
namespace avx2_impl {
#define KRO_ATTR __attribute__((target("avx2,bmi2")))
KRO_ATTR static inline uint32_t rotr(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }
KRO_ATTR static inline __m256i v256_rotr(__m256i x, int n) {
  return _mm256_or_si256(_mm256_srli_epi32(x, n), _mm256_slli_epi32(x, 32 - n));
}
KRO_ATTR static inline __m256i v256_s1(__m256i x) {
  return _mm256_xor_si256(_mm256_xor_si256(v256_rotr(x, 17), v256_rotr(x, 19)), _mm256_srli_epi32(x, 10));
}
KRO_ATTR static inline __m256i v256_schedule(__m256i x0, __m256i x1, __m256i x2, __m256i x3,
                                             __m256i low_half) {
  const __m256i w15 = _mm256_alignr_epi8(x1, x0, 4);
  const __m256i w7 = _mm256_alignr_epi8(x3, x2, 4);
  const __m256i s0 =
      _mm256_xor_si256(_mm256_xor_si256(v256_rotr(w15, 7), v256_rotr(w15, 18)), _mm256_srli_epi32(w15, 3));
  __m256i t = _mm256_add_epi32(_mm256_add_epi32(x0, s0), w7);
  const __m256i w2 = _mm256_shuffle_epi32(x3, 0xFE);
  t = _mm256_add_epi32(t, _mm256_and_si256(v256_s1(w2), low_half));
  return _mm256_add_epi32(t, _mm256_bslli_epi128(_mm256_and_si256(v256_s1(t), low_half), 8));
}

KRO_ATTR void transform(uint32_t* state, const uint8_t* data, size_t blocks) {
  const __m256i swap = _mm256_set_epi64x(0x0c0d0e0f08090a0bLL, 0x0405060700010203LL, 0x0c0d0e0f08090a0bLL,
                                         0x0405060700010203LL);
  const __m256i low_half = _mm256_set_epi32(0, 0, -1, -1, 0, 0, -1, -1);
  alignas(32) uint32_t wk[2][64];
  while (blocks != 0) {
    const uint8_t* second = blocks >= 2 ? data + 64 : data;
    __m256i x[4];
    for (int i = 0; i < 4; ++i) {
      const __m128i lo = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 16 * i));
      const __m128i hi = _mm_loadu_si128(reinterpret_cast<const __m128i*>(second + 16 * i));
      x[i] = _mm256_shuffle_epi8(_mm256_inserti128_si256(_mm256_castsi128_si256(lo), hi, 1), swap);
    }
#pragma GCC unroll 16
    for (int i = 0; i < 16; ++i) {
      const __m256i cur = x[i & 3];
      const __m128i k = _mm_load_si128(reinterpret_cast<const __m128i*>(k_rounds + 4 * i));
      const __m256i sum = _mm256_add_epi32(cur, _mm256_broadcastsi128_si256(k));
      _mm_store_si128(reinterpret_cast<__m128i*>(wk[0] + 4 * i), _mm256_castsi256_si128(sum));
      _mm_store_si128(reinterpret_cast<__m128i*>(wk[1] + 4 * i), _mm256_extracti128_si256(sum, 1));
      if (i < 12) x[i & 3] = v256_schedule(cur, x[(i + 1) & 3], x[(i + 2) & 3], x[(i + 3) & 3], low_half);
    }
    KRO_SHA256_ROUNDS(state, wk[0]);
    if (blocks >= 2) {
      KRO_SHA256_ROUNDS(state, wk[1]);
      blocks -= 2;
      data += 128;
    } else {
      blocks = 0;
    }
  }
  _mm256_zeroupper();
}
#undef KRO_ATTR
}  // namespace avx2_impl

// ---- SHA extensions ------------------------------------------------------
//
// The state is kept as ABEF / CDGH (lane 3 first), the layout sha256rnds2
// works on. Message vector i (words 4i..4i+3) is, from i = 4 on,
//   msg2(msg1(M[i-4], M[i-3]) + alignr(M[i-1], M[i-2]), M[i-1]).
namespace shani_impl {
#define KRO_ATTR __attribute__((target("sha,sse4.1,ssse3")))
KRO_ATTR void transform(uint32_t* state, const uint8_t* data, size_t blocks) {
  const __m128i swap = _mm_set_epi64x(0x0c0d0e0f08090a0bULL, 0x0405060700010203ULL);
  __m128i tmp = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(state)), 0xB1);  // CDAB
  __m128i state1 =
      _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(state + 4)), 0x1B);  // EFGH
  __m128i state0 = _mm_alignr_epi8(tmp, state1, 8);                                           // ABEF
  state1 = _mm_blend_epi16(state1, tmp, 0xF0);                                                // CDGH

  for (; blocks != 0; --blocks, data += 64) {
    const __m128i abef = state0;
    const __m128i cdgh = state1;
    __m128i m[4];
#pragma GCC unroll 16
    for (int i = 0; i < 16; ++i) {
      if (i < 4) {
        m[i] = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 16 * i)), swap);
      } else {
        const __m128i w7 = _mm_alignr_epi8(m[(i - 1) & 3], m[(i - 2) & 3], 4);
        m[i & 3] = _mm_sha256msg2_epu32(_mm_add_epi32(_mm_sha256msg1_epu32(m[i & 3], m[(i - 3) & 3]), w7),
                                        m[(i - 1) & 3]);
      }
      __m128i wk =
          _mm_add_epi32(m[i & 3], _mm_load_si128(reinterpret_cast<const __m128i*>(k_rounds + 4 * i)));
      state1 = _mm_sha256rnds2_epu32(state1, state0, wk);
      wk = _mm_shuffle_epi32(wk, 0x0E);
      state0 = _mm_sha256rnds2_epu32(state0, state1, wk);
    }
    state0 = _mm_add_epi32(state0, abef);
    state1 = _mm_add_epi32(state1, cdgh);
  }

  tmp = _mm_shuffle_epi32(state0, 0x1B);        // FEBA
  state1 = _mm_shuffle_epi32(state1, 0xB1);     // DCHG
  state0 = _mm_blend_epi16(tmp, state1, 0xF0);  // DCBA
  state1 = _mm_alignr_epi8(state1, tmp, 8);     // HGFE
  _mm_storeu_si128(reinterpret_cast<__m128i*>(state), state0);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(state + 4), state1);
}
#undef KRO_ATTR
}  // namespace shani_impl

detail::crypto_facts probe_processor() {
  detail::crypto_facts facts;
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (!__get_cpuid(0, &eax, &ebx, &ecx, &edx)) return facts;
  const unsigned max_leaf = eax;
  if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx)) return facts;
  facts.ssse3 = (ecx & bit_SSSE3) != 0;
  facts.sse41 = (ecx & bit_SSE4_1) != 0;
  const bool has_avx = (ecx & bit_AVX) != 0;
  bool ymm_saved = false;
  if ((ecx & bit_OSXSAVE) != 0) {
    unsigned lo = 0, hi = 0;
    __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
    ymm_saved = (lo & 0x6) == 0x6;  // XMM and YMM state enabled by the system
  }
  facts.avx = has_avx && ymm_saved;
  if (max_leaf >= 7) {
    __cpuid_count(7, 0, eax, ebx, ecx, edx);
    facts.avx2 = facts.avx && (ebx & bit_AVX2) != 0 && (ebx & bit_BMI2) != 0;
    facts.shani = (ebx & bit_SHA) != 0 && facts.sse41;
  }
  return facts;
}

#else  // not x86

detail::crypto_facts probe_processor() { return {}; }

#endif

#undef KRO_SHA256_ROUNDS
#undef KRO_SHA256_ROUND

transform_fn transform_function(sha256_transform kind) {
  switch (kind) {
#if KRO_SHA256_X86
    case sha256_transform::ssse3:
      return ssse3_impl::transform;
    case sha256_transform::avx:
      return avx_impl::transform;
    case sha256_transform::avx2:
      return avx2_impl::transform;
    case sha256_transform::shani:
      return shani_impl::transform;
#endif
    default:
      return transform_portable;
  }
}

bool transform_supported(const detail::crypto_facts& facts, sha256_transform kind) {
  switch (kind) {
    case sha256_transform::portable:
      return true;
    case sha256_transform::ssse3:
      return KRO_SHA256_X86 && facts.ssse3;
    case sha256_transform::avx:
      return KRO_SHA256_X86 && facts.ssse3 && facts.avx;
    case sha256_transform::avx2:
      return KRO_SHA256_X86 && facts.ssse3 && facts.avx2;
    case sha256_transform::shani:
      return KRO_SHA256_X86 && facts.ssse3 && facts.shani;
  }
  return false;
}

constexpr int no_forced_transform = -1;
std::atomic<int> forced_transform{no_forced_transform};

}  // namespace

// ---- one-time initialisation --------------------------------------------

namespace detail {

const crypto_facts& crypto_init() {
  static std::once_flag initialised;  // the process-wide flag
  static crypto_facts facts;
  std::call_once(initialised, [] {
    facts = probe_processor();
    facts.page_size = system_page_size();
    facts.processors = std::max(1u, std::thread::hardware_concurrency());
  });
  return facts;
}

sha256_transform default_transform() {
  const crypto_facts& facts = crypto_init();
  if (!transform_supported(facts, sha256_transform::ssse3)) return sha256_transform::portable;
  if (transform_supported(facts, sha256_transform::shani)) return sha256_transform::shani;
  if (transform_supported(facts, sha256_transform::avx2)) return sha256_transform::avx2;
  if (transform_supported(facts, sha256_transform::avx)) return sha256_transform::avx;
  return sha256_transform::ssse3;
}

std::vector<sha256_transform> supported_transforms() {
  std::vector<sha256_transform> result;
  for (const auto kind : {sha256_transform::portable, sha256_transform::ssse3, sha256_transform::avx,
                          sha256_transform::avx2, sha256_transform::shani}) {
    if (transform_supported(crypto_init(), kind)) result.push_back(kind);
  }
  return result;
}

void force_transform(sha256_transform transform) {
  if (!transform_supported(crypto_init(), transform)) {
    throw std::invalid_argument(std::string("transform not supported here: ") + transform_name(transform));
  }
  forced_transform.store(static_cast<int>(transform));
}

void reset_forced_transform() { forced_transform.store(no_forced_transform); }

}  // namespace detail

const char* transform_name(sha256_transform transform) {
  switch (transform) {
    case sha256_transform::portable:
      return "portable";
    case sha256_transform::ssse3:
      return "ssse3";
    case sha256_transform::avx:
      return "avx";
    case sha256_transform::avx2:
      return "avx2";
    case sha256_transform::shani:
      return "shani";
  }
  return "?";
}

// ---- sha256 ---------------------------------------------------------------

struct sha256::context {
  uint32_t state[8];
  uint8_t buffer[64];
  uint64_t bits;
  size_t buffered;
  transform_fn transform;
  sha256_transform kind;
};

sha256::sha256() { detail::crypto_init(); }

sha256::~sha256() = default;

void sha256::init() {
  auto fresh = std::make_unique<context>();
  std::memcpy(fresh->state, k_initial, sizeof(k_initial));
  std::memset(fresh->buffer, 0, sizeof(fresh->buffer));
  fresh->bits = 0;
  fresh->buffered = 0;
  const int forced = forced_transform.load();
  fresh->kind =
      forced == no_forced_transform ? detail::default_transform() : static_cast<sha256_transform>(forced);
  fresh->transform = transform_function(fresh->kind);
  m_context = std::move(fresh);
}

void sha256::update(const void* data, size_t size) {
  if (!m_context) throw kro::exceptions::error(-1, "The hash is not initialized!");
  if (size == 0) return;
  context& c = *m_context;
  const uint8_t* in = static_cast<const uint8_t*>(data);
  c.bits += static_cast<uint64_t>(size) * 8;
  if (c.buffered != 0) {
    const size_t take = std::min(size, sizeof(c.buffer) - c.buffered);
    std::memcpy(c.buffer + c.buffered, in, take);
    c.buffered += take;
    in += take;
    size -= take;
    if (c.buffered < sizeof(c.buffer)) return;
    c.transform(c.state, c.buffer, 1);
    c.buffered = 0;
  }
  if (const size_t blocks = size / 64; blocks != 0) {
    c.transform(c.state, in, blocks);
    in += blocks * 64;
    size -= blocks * 64;
  }
  if (size != 0) {
    std::memcpy(c.buffer, in, size);
    c.buffered = size;
  }
}

void sha256::final(void* out) {
  if (!m_context) throw kro::exceptions::error(-1, "The hash is not initialized!");
  context& c = *m_context;
  uint8_t tail[128] = {};
  std::memcpy(tail, c.buffer, c.buffered);
  tail[c.buffered] = 0x80;
  const size_t length = c.buffered < 56 ? 64 : 128;
  for (int i = 0; i < 8; ++i) tail[length - 1 - i] = static_cast<uint8_t>(c.bits >> (8 * i));
  c.transform(c.state, tail, length / 64);
  uint8_t* bytes = static_cast<uint8_t*>(out);
  for (int i = 0; i < 8; ++i) store_be32(bytes + 4 * i, c.state[i]);
  // The context is spent; a new hash starts with init().
  volatile uint8_t* wipe = reinterpret_cast<volatile uint8_t*>(&c);
  for (size_t i = 0; i < sizeof(context); ++i) wipe[i] = 0;
  m_context.reset();
}

digest sha256::finish() {
  digest result(size());
  final(result.data());
  return result;
}

sha256_transform sha256::transform() const {
  if (!m_context) throw kro::exceptions::error(-1, "The hash is not initialized!");
  return m_context->kind;
}

// ---- hash_block / hash_file -------------------------------------------------

digest hash_block(const void* data, size_t size) {
  sha256 hash;
  digest result(hash.size());
  if (result.empty()) throw kro::exceptions::error(-1, "The digest is not initialized!");
  hash.init();
  hash.update(data, size);
  hash.final(result.data());
  return result;
}

digest hash_file(files::native_handle file) {
  return detail::hash_file(file, detail::hash_file_window, nullptr);
}

digest detail::hash_file(files::native_handle file, uint32_t window, uint32_t* windows) {
  files::file_mapping mapping;
  mapping.open(file, false, false);
  sha256 hash;
  hash.init();
  uint32_t count = 0;
  uint64_t offset = 0;
  mapping.map_view(offset, window);
  while (mapping.view_size() != 0) {
    hash.update(mapping.view(), mapping.view_size());
    offset += mapping.view_size();
    ++count;
    mapping.map_view(offset, window);
  }
  digest result(hash.size());
  if (result.empty()) throw kro::exceptions::error(-1, "The digest is not initialized!");
  hash.final(result.data());
  mapping.reset();
  if (windows) *windows = count;
  return result;
}

// ---- digest ---------------------------------------------------------------

namespace {

template <class Char>
int hex_value(Char c) {
  if (c >= Char('0') && c <= Char('9')) return static_cast<int>(c - Char('0'));
  if (c >= Char('a') && c <= Char('f')) return static_cast<int>(c - Char('a')) + 10;
  if (c >= Char('A') && c <= Char('F')) return static_cast<int>(c - Char('A')) + 10;
  return -1;
}

template <class Char>
std::vector<uint8_t> parse_hex(std::basic_string_view<Char> text, const char* error_text) {
  std::vector<uint8_t> bytes;
  if (text.size() < 2 || text.size() % 2 != 0) return bytes;
  bytes.reserve(text.size() / 2);
  for (size_t i = 0; i < text.size(); i += 2) {
    const int high = hex_value(text[i]);
    const int low = hex_value(text[i + 1]);
    if (high < 0 || low < 0) throw std::invalid_argument(error_text);
    bytes.push_back(static_cast<uint8_t>(high << 4 | low));
  }
  return bytes;
}

template <class String>
String format_hex(const std::vector<uint8_t>& bytes, bool upper) {
  const char* digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  String text;
  text.reserve(bytes.size() * 2);
  for (const uint8_t byte : bytes) {
    text.push_back(static_cast<typename String::value_type>(digits[byte >> 4]));
    text.push_back(static_cast<typename String::value_type>(digits[byte & 0x0F]));
  }
  return text;
}

}  // namespace

digest::digest(size_t n) : m_bytes(n, 0) {}

digest::digest(const wchar_t* hex)
    : m_bytes(hex ? parse_hex(std::wstring_view(hex), "invalid hex_char_value<wchar_t>")
                  : std::vector<uint8_t>{}) {}

digest::digest(std::vector<uint8_t> bytes) : m_bytes(std::move(bytes)) {}

digest digest::from_hex(std::string_view hex) {
  return digest(parse_hex(hex, "invalid hex_char_value<char>"));
}

digest digest::from_hex(std::wstring_view hex) {
  return digest(parse_hex(hex, "invalid hex_char_value<wchar_t>"));
}

std::wstring digest::to_hex(bool upper) const { return format_hex<std::wstring>(m_bytes, upper); }

std::string digest::to_hex_narrow(bool upper) const { return format_hex<std::string>(m_bytes, upper); }

}  // namespace kro::root
