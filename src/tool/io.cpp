#include "tool/io.h"

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <system_error>

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

void write_file_atomically(const std::filesystem::path& path, const void* data, size_t size) {
  std::filesystem::path temporary = path;
  temporary += ".tmp-sfxtool";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    if (!out) throw tool_error("cannot create '" + temporary.string() + "'");
    out.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
    out.close();
    if (!out) {
      std::error_code ignored;
      std::filesystem::remove(temporary, ignored);
      throw tool_error("cannot write '" + temporary.string() + "'");
    }
  }
  std::error_code ec;
  std::filesystem::rename(temporary, path, ec);
  if (ec) {
    std::error_code ignored;
    std::filesystem::remove(temporary, ignored);
    throw tool_error("cannot rename '" + temporary.string() + "' to '" + path.string() +
                     "': " + ec.message());
  }
}

uint64_t modification_time(const std::filesystem::path& path) {
  std::error_code ec;
  const auto stamp = std::filesystem::last_write_time(path, ec);
  if (ec) throw tool_error("cannot read the time of '" + path.string() + "': " + ec.message());
  const auto system = std::chrono::file_clock::to_sys(stamp);
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(system.time_since_epoch()).count();
  return seconds < 0 ? 0 : static_cast<uint64_t>(seconds);
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
