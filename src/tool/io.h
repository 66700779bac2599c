#pragma once
// File access of sfxtool: whole-file reads, writes that leave either the
// complete new file or nothing (a temporary file renamed into place), and
// progress on a terminal.
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace kro::tool {

// The whole file; a failure raises tool_error naming the path.
std::vector<uint8_t> read_file(const std::filesystem::path& path);
std::string read_text(const std::filesystem::path& path);

// Writes the bytes to path through path + ".tmp-sfxtool" and a rename; on any
// failure nothing is left behind.
void write_file_atomically(const std::filesystem::path& path, const void* data, size_t size);

// Seconds since 1970-01-01 UTC of the file's last modification.
uint64_t modification_time(const std::filesystem::path& path);

// A failure with a message for the user (exit code 1).
class tool_error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// "label: done/total" on stderr, rewritten in place, when stderr is a
// terminal; silent otherwise.
class progress {
 public:
  progress(std::string label, uint64_t total);
  ~progress();
  void advance(uint64_t amount);

 private:
  void show();
  std::string m_label;
  uint64_t m_total;
  uint64_t m_done = 0;
  int m_shown = -1;
  bool m_terminal;
};

}  // namespace kro::tool
