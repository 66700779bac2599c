#include "tool/io.h"

#include <cstdio>
#include <fstream>
#include <iterator>
#include <system_error>

#include "root/random.h"

#ifdef _WIN32
#include <io.h>
#define KRO_ISATTY _isatty
#define KRO_FILENO _fileno
#else
#include <unistd.h>
#define KRO_ISATTY isatty
#define KRO_FILENO fileno
#endif

namespace kro::tool {

std::vector<uint8_t> read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw tool_error("cannot open '" + path.string() + "'");
  std::vector<uint8_t> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) throw tool_error("cannot read '" + path.string() + "'");
  return data;
}

std::string read_text(const std::filesystem::path& path) {
  const std::vector<uint8_t> data = read_file(path);
  return std::string(data.begin(), data.end());
}

namespace {

// Step 3 of the writer, on a temporary file that is ours.
void fill_and_replace(temporary_file temporary, const std::filesystem::path& path, const void* data,
                      size_t size) {
  try {
    write_all(temporary.file.get(), data, size, temporary.path);
    flush_file(temporary.file.get(), temporary.path);
    temporary.file.reset();
    replace_file(temporary.path, path);
  } catch (...) {
    temporary.file.reset();
    remove_file(temporary.path);
    throw;
  }
}

}  // namespace

namespace detail {

std::filesystem::path temporary_name(const std::filesystem::path& destination) {
  uint8_t random[8];
  root::random_bytes(random, sizeof random);
  static constexpr char digits[] = "0123456789abcdef";
  std::string suffix = ".";
  for (uint8_t b : random) {
    suffix += digits[b >> 4];
    suffix += digits[b & 15];
  }
  suffix += ".tmp-sfxtool";
  std::filesystem::path name = destination;
  name += suffix;
  return name;
}

void write_file_through(const std::filesystem::path& path, const std::filesystem::path& temporary,
                        const void* data, size_t size, file_access access) {
  fill_and_replace({create_exclusive(temporary, access), temporary}, path, data, size);
}

}  // namespace detail

temporary_file create_temporary_beside(const std::filesystem::path& destination, file_access access) {
  // 64 random bits: a name that exists already is there by chance or was
  // planted; either way another name is tried, a few times.
  for (int attempt = 0;; ++attempt) {
    const std::filesystem::path name = detail::temporary_name(destination);
    try {
      return {detail::create_exclusive(name, access), name};
    } catch (const tool_error&) {
      std::error_code ec;
      if (attempt == 3 || !std::filesystem::exists(std::filesystem::symlink_status(name, ec))) throw;
    }
  }
}

void write_file_atomically(const std::filesystem::path& path, const void* data, size_t size,
                           file_access access) {
  fill_and_replace(create_temporary_beside(path, access), path, data, size);
}

std::string utc_text(uint64_t seconds) {
  // Days to a civil date of the proleptic Gregorian calendar (the
  // civil_from_days algorithm of H. Hinnant) in unsigned 64-bit arithmetic:
  // days from 0000-03-01 split into 400-year eras; for any input the largest
  // intermediate is about 2^48.
  const uint64_t days = seconds / 86400, in_day = seconds % 86400;
  const uint64_t z = days + 719468;
  const uint64_t era = z / 146097;
  const uint64_t doe = z - era * 146097;
  const uint64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const uint64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const uint64_t mp = (5 * doy + 2) / 153;
  const uint64_t day = doy - (153 * mp + 2) / 5 + 1;
  const uint64_t month = mp < 10 ? mp + 3 : mp - 9;
  const uint64_t year = yoe + era * 400 + (month <= 2 ? 1 : 0);
  char text[64];
  std::snprintf(text, sizeof text, "%04llu-%02llu-%02llu %02llu:%02llu:%02llu",
                static_cast<unsigned long long>(year), static_cast<unsigned long long>(month),
                static_cast<unsigned long long>(day), static_cast<unsigned long long>(in_day / 3600),
                static_cast<unsigned long long>(in_day / 60 % 60),
                static_cast<unsigned long long>(in_day % 60));
  return text;
}

progress::progress(std::string label, uint64_t total)
    : m_label(std::move(label)), m_total(total), m_terminal(KRO_ISATTY(KRO_FILENO(stderr)) != 0) {
  show();
}

progress::~progress() {
  if (m_terminal && m_shown >= 0) std::fputc('\n', stderr);
}

void progress::advance(uint64_t amount) {
  m_done += amount;
  show();
}

void progress::show() {
  if (!m_terminal) return;
  const int percent = m_total ? static_cast<int>(m_done * 100 / m_total) : 100;
  if (percent == m_shown) return;
  m_shown = percent;
  std::fprintf(stderr, "\r%s: %3d%%", m_label.c_str(), percent);
  std::fflush(stderr);
}

}  // namespace kro::tool
