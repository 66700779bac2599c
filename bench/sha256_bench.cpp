// hash_file over a 256 MiB file against `openssl dgst -sha256` on the same
// file, best of three runs each, with the file in the page cache for both.
// Prints both throughputs and the ratio (ours / openssl).
//
//   bench_sha256 [size in MiB]
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "files/file_handle.h"
#include "root/sha256.h"

namespace {

namespace fs = std::filesystem;
using clock_type = std::chrono::steady_clock;

double seconds_since(clock_type::time_point start) {
  return std::chrono::duration<double>(clock_type::now() - start).count();
}

std::string run_openssl(const fs::path& path) {
  const std::string command = "openssl dgst -sha256 -r '" + path.string() + "'";
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return {};
  char line[256] = {};
  const bool ok = std::fgets(line, sizeof(line), pipe) != nullptr;
  pclose(pipe);
  return ok ? std::string(line, 64) : std::string();
}

}  // namespace

int main(int argc, char** argv) {
  const uint64_t mib = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 256;
  const uint64_t size = mib << 20;
  const fs::path path = fs::temp_directory_path() / ("kro-sha256-bench-" + std::to_string(getpid()) + ".bin");
  {
    std::mt19937_64 gen(1);
    std::vector<uint64_t> chunk(1 << 17);  // 1 MiB
    std::ofstream out(path, std::ios::binary);
    for (uint64_t done = 0; done < size; done += chunk.size() * 8) {
      for (auto& word : chunk) word = gen();
      out.write(reinterpret_cast<const char*>(chunk.data()), static_cast<std::streamsize>(chunk.size() * 8));
    }
    if (!out.good()) {
      std::fprintf(stderr, "cannot write %s\n", path.c_str());
      return 1;
    }
  }

  std::string ours_hex, openssl_hex;
  double ours = 1e30, theirs = 1e30;
  {
    const auto warm = kro::files::open_for_read(path.wstring());
    ours_hex = kro::root::hash_file(warm.get()).to_hex_narrow();  // page cache warm-up
  }
  for (int round = 0; round < 3; ++round) {
    auto start = clock_type::now();
    {
      const auto file = kro::files::open_for_read(path.wstring());
      ours_hex = kro::root::hash_file(file.get()).to_hex_narrow();
    }
    ours = std::min(ours, seconds_since(start));
    start = clock_type::now();
    openssl_hex = run_openssl(path);
    theirs = std::min(theirs, seconds_since(start));
  }
  fs::remove(path);

  const double mb = static_cast<double>(size) / 1e6;
  std::printf("sha256 of %llu MiB (transform %s), best of 3\n", static_cast<unsigned long long>(mib),
              kro::root::transform_name(kro::root::detail::default_transform()));
  std::printf("  hash_file           %8.1f MB/s  (%.3f s)\n", mb / ours, ours);
  std::printf("  openssl dgst        %8.1f MB/s  (%.3f s, process start included)\n", mb / theirs, theirs);
  std::printf("  ratio ours/openssl  %8.2fx\n", theirs / ours);
  if (openssl_hex != ours_hex) {
    std::printf("  DIGESTS DIFFER: ours %s, openssl %s\n", ours_hex.c_str(), openssl_hex.c_str());
    return 1;
  }
  std::printf("  digests agree: %s\n", ours_hex.c_str());

  // Each block transform this machine runs, on 64 MiB in memory.
  std::vector<uint8_t> block(64u << 20, 0x5a);
  for (const auto kind : kro::root::detail::supported_transforms()) {
    kro::root::detail::force_transform(kind);
    double best = 1e30;
    for (int round = 0; round < 3; ++round) {
      const auto start = clock_type::now();
      (void)kro::root::hash_block(block.data(), block.size());
      best = std::min(best, seconds_since(start));
    }
    std::printf("  hash_block %-8s %8.1f MB/s\n", kro::root::transform_name(kind),
                static_cast<double>(block.size()) / 1e6 / best);
  }
  kro::root::detail::reset_forced_transform();
  return 0;
}
