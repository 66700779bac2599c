// Benchmark of .lzma decoding into a file, against xz's command line in the
// same run, and the decoder's peak memory for two file sizes.
//
//   bench_lzma [work folder] [size in MiB, default 256]
//
// The bench writes compressible mixed data (words, runs, noise) of the given
// size and a quarter of it, packs both with `xz --format=lzma` (level 3, a
// 4 MiB dictionary; the header is given the known size, as the packer's own
// files have it), then:
//   1. decodes the big file with unpack(path, path) and with
//      `xz -d --format=lzma`, alternately, five times each; prints the best
//      wall and CPU times and their ratios (goal: at most 1.05; on a shared
//      machine the CPU figure is the steadier one) and checks both outputs
//      agree with the data;
//   2. decodes each file in a child process and prints the child's peak
//      anonymous memory (sampled) and VmHWM. The anonymous peak is the
//      decoder's own memory and should not grow with the file; VmHWM also
//      counts the pages of the mapped input file, which the system may drop
//      at any time.
// A figure, not a test: the bench always exits 0 unless something fails.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "exceptions/exceptions.h"
#include "packers/lzma_packer.h"

namespace {

namespace fs = std::filesystem;
using clock_type = std::chrono::steady_clock;

void write_mixed_file(const fs::path& path, uint64_t size) {
  static const char* const words[] = {"<file alias=\"", "setup/",   "morrow_mod.dll", "\" sha-256=\"",
                                      "payload ",       "product ", "channel ",       "\"/>\n"};
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  std::vector<char> chunk;
  chunk.reserve(1 << 20);
  uint32_t x = 0x9E3779B9u;
  auto next = [&x] {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    return x;
  };
  uint64_t written = 0;
  while (written < size) {
    chunk.clear();
    while (chunk.size() < (1u << 20) - 512) {
      const uint32_t r = next();
      switch (r % 8) {
        case 0:
          chunk.insert(chunk.end(), (r >> 8) % 200, static_cast<char>(r >> 16));
          break;
        case 1:
          for (int i = (r >> 8) % 24; i >= 0; --i) chunk.push_back(static_cast<char>(next()));
          break;
        case 3:
          for (int i = 0; i < 16; ++i) chunk.push_back("0123456789abcdef"[(next() >> 7) & 15]);
          break;
        default: {
          const char* w = words[(r >> 8) % 8];
          chunk.insert(chunk.end(), w, w + std::strlen(w));
        }
      }
    }
    const uint64_t n = std::min<uint64_t>(chunk.size(), size - written);
    out.write(chunk.data(), static_cast<std::streamsize>(n));
    written += n;
  }
}

void run(const std::string& command) {
  if (std::system(command.c_str()) != 0) {
    std::fprintf(stderr, "failed: %s\n", command.c_str());
    std::exit(1);
  }
}

std::string quoted(const fs::path& p) { return "'" + p.string() + "'"; }

// xz writes an unknown size with an end marker; give the header the size.
void make_packed(const fs::path& raw, const fs::path& packed) {
  run("xz --format=lzma -3 -T1 -k -c " + quoted(raw) + " > " + quoted(packed));
  const uint64_t size = fs::file_size(raw);
  std::fstream f(packed, std::ios::binary | std::ios::in | std::ios::out);
  f.seekp(5);
  for (int i = 0; i < 8; ++i) f.put(static_cast<char>(size >> (8 * i)));
}

double seconds_since(clock_type::time_point start) {
  return std::chrono::duration<double>(clock_type::now() - start).count();
}

double cpu_seconds(int who) {
  rusage usage{};
  getrusage(who, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

struct timing {
  double wall = 1e9;
  double cpu = 1e9;
  void keep_best(double w, double c) {
    wall = std::min(wall, w);
    cpu = std::min(cpu, c);
  }
};

// xz -d --format=lzma -c packed > out, without a shell in between.
void xz_decode(const fs::path& packed, const fs::path& out) {
  const pid_t pid = fork();
  if (pid == 0) {
    const int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0 || dup2(fd, 1) < 0) _exit(127);
    execlp("xz", "xz", "-d", "--format=lzma", "-T1", "-c", packed.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "xz -d failed\n");
    std::exit(1);
  }
}

long status_kib(const char* key) {
  std::ifstream in("/proc/self/status");
  std::string line;
  const size_t n = std::strlen(key);
  while (std::getline(in, line)) {
    if (line.compare(0, n, key) == 0) return std::strtol(line.c_str() + n, nullptr, 10);
  }
  return -1;
}

struct memory_figures {
  long anon_peak_kib;
  long hwm_kib;
};

// Decodes in a child process so that each figure starts from a fresh process.
memory_figures peak_memory(const fs::path& packed, const fs::path& out) {
  int fds[2];
  if (pipe(fds) != 0) std::exit(1);
  const pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    std::atomic<bool> done{false};
    std::atomic<long> anon_peak{0};
    std::thread sampler([&] {
      while (!done) {
        const long anon = status_kib("RssAnon:");
        if (anon > anon_peak) anon_peak = anon;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
      }
    });
    kro::packers::lzma_packer packer;
    packer.unpack(packed.wstring(), out.wstring());
    done = true;
    sampler.join();
    const memory_figures figures{anon_peak.load(), status_kib("VmHWM:")};
    if (write(fds[1], &figures, sizeof figures) != sizeof figures) _exit(1);
    _exit(0);
  }
  close(fds[1]);
  memory_figures figures{-1, -1};
  if (read(fds[0], &figures, sizeof figures) != sizeof figures) std::fprintf(stderr, "child failed\n");
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  return figures;
}

}  // namespace

int main(int argc, char** argv) {
  const fs::path dir = argc > 1 ? fs::path(argv[1]) : fs::temp_directory_path() / "kro-bench-lzma";
  const uint64_t mib = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 256;
  const int rounds = 5;
  fs::create_directories(dir);
  const fs::path big_raw = dir / "big.bin", big = dir / "big.lzma";
  const fs::path small_raw = dir / "small.bin", small = dir / "small.lzma";
  const fs::path ours = dir / "ours.out", theirs = dir / "xz.out";

  try {
    std::printf("preparing %llu MiB and %llu MiB of mixed data...\n", static_cast<unsigned long long>(mib),
                static_cast<unsigned long long>(mib / 4));
    write_mixed_file(big_raw, mib << 20);
    write_mixed_file(small_raw, (mib / 4) << 20);
    make_packed(big_raw, big);
    make_packed(small_raw, small);
    std::printf("packed: %.1f MiB -> %.1f MiB, %.1f MiB -> %.1f MiB\n", fs::file_size(big_raw) / 1048576.0,
                fs::file_size(big) / 1048576.0, fs::file_size(small_raw) / 1048576.0,
                fs::file_size(small) / 1048576.0);
    fs::remove(small_raw);

    timing best_ours, best_xz;
    {
      kro::packers::lzma_packer packer;  // gone before the children fork
      for (int round = 0; round < rounds; ++round) {
        fs::remove(ours);
        auto start = clock_type::now();
        double cpu = cpu_seconds(RUSAGE_SELF);
        packer.unpack(big.wstring(), ours.wstring());
        best_ours.keep_best(seconds_since(start), cpu_seconds(RUSAGE_SELF) - cpu);
        fs::remove(theirs);
        start = clock_type::now();
        cpu = cpu_seconds(RUSAGE_CHILDREN);
        xz_decode(big, theirs);
        best_xz.keep_best(seconds_since(start), cpu_seconds(RUSAGE_CHILDREN) - cpu);
      }
    }
    run("cmp -s " + quoted(ours) + " " + quoted(theirs));
    run("cmp -s " + quoted(ours) + " " + quoted(big_raw));
    const double mb = static_cast<double>(fs::file_size(big_raw)) / 1048576.0;
    std::printf("decode %.0f MiB into a file, best of %d (goal: ratio <= 1.05)\n", mb, rounds);
    std::printf("  wall: ours %.3f s (%.0f MiB/s), xz -d %.3f s (%.0f MiB/s), ratio %.3f\n", best_ours.wall,
                mb / best_ours.wall, best_xz.wall, mb / best_xz.wall, best_ours.wall / best_xz.wall);
    std::printf("  cpu:  ours %.3f s, xz -d %.3f s, ratio %.3f\n", best_ours.cpu, best_xz.cpu,
                best_ours.cpu / best_xz.cpu);
    fs::remove(theirs);

    const memory_figures small_mem = peak_memory(small, ours);
    const memory_figures big_mem = peak_memory(big, ours);
    std::printf("peak memory decoding into a file (4 MiB dictionary, 1 MiB transfer buffer):\n");
    std::printf("  %4llu MiB file: anonymous %6.1f MiB, VmHWM %6.1f MiB (input mapped: %.1f MiB)\n",
                static_cast<unsigned long long>(mib / 4), small_mem.anon_peak_kib / 1024.0,
                small_mem.hwm_kib / 1024.0, fs::file_size(small) / 1048576.0);
    std::printf("  %4llu MiB file: anonymous %6.1f MiB, VmHWM %6.1f MiB (input mapped: %.1f MiB)\n",
                static_cast<unsigned long long>(mib), big_mem.anon_peak_kib / 1024.0,
                big_mem.hwm_kib / 1024.0, fs::file_size(big) / 1048576.0);
  } catch (const kro::exceptions::error& e) {
    std::fprintf(stderr, "error %d: %s\n", e.code(), e.what());
    return 1;
  }
  std::error_code ignored;
  fs::remove_all(dir, ignored);
  return 0;
}
