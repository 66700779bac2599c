// DSA-2048/256 verification: our code against OpenSSL, measured in the same
// run, printed as a ratio (our time / OpenSSL's time; the goal is <= 2).
//
// With libcrypto at build time (KRO_BENCH_OPENSSL) both sides verify the same
// signature under the same key (development key G) in this process, in
// alternating batches; the best batch of each side counts, which keeps the
// figure stable on a loaded machine. Without it, OpenSSL's figure comes from
// `openssl speed dsa2048`, whose built-in key may use a shorter q: the ratio
// is then only indicative.
//
// Usage: bench_dsa [seconds per side, default 3]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "../tests/support/dsa_der.h"
#include "root/dsa.h"
#include "root/sha256.h"

#if defined(KRO_BENCH_OPENSSL)
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#endif

namespace {

namespace dsa = kro::root::dsa;
using clock_type = std::chrono::steady_clock;

// Best time per call over batches of n calls, within about budget seconds.
template <class F>
double best_seconds(F&& call, int n, double budget) {
  double best = 1e9;
  const auto start = clock_type::now();
  do {
    const auto t0 = clock_type::now();
    for (int i = 0; i < n; ++i) call();
    const double t = std::chrono::duration<double>(clock_type::now() - t0).count() / n;
    best = std::min(best, t);
  } while (std::chrono::duration<double>(clock_type::now() - start).count() < budget);
  return best;
}

#if defined(KRO_BENCH_OPENSSL)
EVP_PKEY* openssl_key(const dsa::public_key& key) {
  auto bn = [](dsa::bytes_view v) { return BN_bin2bn(v.data(), static_cast<int>(v.size()), nullptr); };
  BIGNUM *p = bn(key.params.p), *q = bn(key.params.q), *g = bn(key.params.g), *y = bn(key.y);
  OSSL_PARAM_BLD* bld = OSSL_PARAM_BLD_new();
  OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_FFC_P, p);
  OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_FFC_Q, q);
  OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_FFC_G, g);
  OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_PUB_KEY, y);
  OSSL_PARAM* params = OSSL_PARAM_BLD_to_param(bld);
  EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_name(nullptr, "DSA", nullptr);
  EVP_PKEY* pkey = nullptr;
  if (ctx == nullptr || EVP_PKEY_fromdata_init(ctx) <= 0 ||
      EVP_PKEY_fromdata(ctx, &pkey, EVP_PKEY_PUBLIC_KEY, params) <= 0) {
    pkey = nullptr;
  }
  EVP_PKEY_CTX_free(ctx);
  OSSL_PARAM_free(params);
  OSSL_PARAM_BLD_free(bld);
  BN_free(p);
  BN_free(q);
  BN_free(g);
  BN_free(y);
  return pkey;
}
#else
// Seconds per verification from `openssl speed dsa2048`, 0 when unavailable.
double openssl_speed_verify(int seconds) {
  const std::string command = "openssl speed -seconds " + std::to_string(seconds) + " dsa2048 2>/dev/null";
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return 0;
  char line[512];
  double sign = 0, verify = 0;
  while (std::fgets(line, sizeof(line), pipe) != nullptr) {
    if (std::sscanf(line, "dsa 2048 bits %lfs %lfs", &sign, &verify) == 2) break;
  }
  pclose(pipe);
  return verify;
}
#endif

}  // namespace

int main(int argc, char** argv) {
  const double budget = argc > 1 ? std::atof(argv[1]) : 3.0;
  const dsa::public_key& key = dsa::table_key('G');
  // Signed once with a throw-away key pair on G's domain parameters, so the
  // benchmark needs no private key file.
  const dsa::key_pair signer = dsa::generate_key(key.params);
  const std::string message = "benchmark message";
  const kro::root::digest hash = kro::root::hash_block(message.data(), message.size());
  const std::vector<uint8_t> value = dsa::sign(hash, signer.x, signer.params());
  const dsa::public_key public_key = signer.public_part();
  if (!dsa::verify_value(hash, value, public_key)) {
    std::fprintf(stderr, "our signature does not verify\n");
    return 1;
  }

  std::printf("DSA-2048/256 verification, best batch of each side, %.1f s per side\n", budget);
  const double sign_time =
      best_seconds([&] { (void)dsa::sign(hash, signer.x, signer.params()); }, 20, budget / 3);
  std::printf("  ours     sign   %8.1f us\n", sign_time * 1e6);

#if defined(KRO_BENCH_OPENSSL)
  EVP_PKEY* pkey = openssl_key(public_key);
  const std::vector<uint8_t> der = kro::test::der_from_value(value);
  EVP_PKEY_CTX* ctx = pkey ? EVP_PKEY_CTX_new(pkey, nullptr) : nullptr;
  if (ctx == nullptr || EVP_PKEY_verify_init(ctx) <= 0 ||
      EVP_PKEY_verify(ctx, der.data(), der.size(), hash.data(), hash.size()) != 1) {
    std::fprintf(stderr, "OpenSSL does not accept our signature\n");
    return 1;
  }
  double ours = 1e9, theirs = 1e9;
  for (int round = 0; round < 6; ++round) {  // alternate, so both sides see the same load
    ours = std::min(ours,
                    best_seconds([&] { (void)dsa::verify_value(hash, value, public_key); }, 50, budget / 6));
    theirs = std::min(
        theirs,
        best_seconds([&] { (void)EVP_PKEY_verify(ctx, der.data(), der.size(), hash.data(), hash.size()); },
                     50, budget / 6));
  }
  EVP_PKEY_CTX_free(ctx);
  EVP_PKEY_free(pkey);
  const char* source = "libcrypto, same key and signature";
#else
  const double ours = best_seconds([&] { (void)dsa::verify_value(hash, value, public_key); }, 50, budget);
  const double theirs = openssl_speed_verify(static_cast<int>(budget + 0.5));
  const char* source = "openssl speed dsa2048, its own key";
#endif
  std::printf("  ours     verify %8.1f us\n", ours * 1e6);
  if (theirs <= 0) {
    std::printf("  OpenSSL  verify unavailable\n");
    return 0;
  }
  std::printf("  OpenSSL  verify %8.1f us (%s)\n", theirs * 1e6, source);
  std::printf("  ratio ours/OpenSSL %.2f (goal <= 2.00)\n", ours / theirs);
  return 0;
}
