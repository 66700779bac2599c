#pragma once
// File access of sfxtool: whole-file reads, writes that leave either the
// complete new file or nothing, and progress on a terminal.
//
// Every file the tool writes goes through one writer:
//   1. a temporary file is created in the destination's folder under a name
//      no one can guess ("<name>.<16 random hex digits>.tmp-sfxtool"),
//      exclusively: creation fails when anything, a link included, stands at
//      that name (POSIX O_CREAT | O_EXCL | O_NOFOLLOW; Windows CREATE_NEW);
//   2. it is created with its final permissions: private files (key files)
//      readable and writable by their owner only (POSIX mode 0600; Windows an
//      explicit protected access list with one entry, the user's full
//      control), other files with the usual mode (0666 less the umask) or
//      the folder's inherited access list;
//   3. the data are written and flushed to the disk (fsync,
//      FlushFileBuffers), the file is closed and renamed over the
//      destination. The rename replaces whatever stands at the destination's
//      name, a link included; it never writes through a link.
// On any failure the temporary file is removed; a file the writer did not
// create (a link planted at the temporary name) is left alone.
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "files/file_handle.h"

namespace kro::tool {

// The whole file; a failure raises tool_error naming the path.
std::vector<uint8_t> read_file(const std::filesystem::path& path);
std::string read_text(const std::filesystem::path& path);

enum class file_access {
  usual,             // 0666 less the umask; the folder's inherited access list
  private_to_owner,  // 0600; an access list for the user alone
};

// Writes the bytes to path through a temporary file and a rename (above); on
// any failure nothing is left behind and tool_error names the path.
void write_file_atomically(const std::filesystem::path& path, const void* data, size_t size,
                           file_access access = file_access::usual);

// A temporary file created exclusively beside a destination (steps 1 and 2
// above), open for reading and writing, for callers that fill it themselves. They flush
// it (flush_file), close it and rename it into place (replace_file), or
// remove it (remove_file) on failure.
struct temporary_file {
  files::unique_file file;
  std::filesystem::path path;
};
temporary_file create_temporary_beside(const std::filesystem::path& destination,
                                       file_access access = file_access::usual);

// Writes all bytes, flushes to the disk, renames over the destination (the
// folder's entry is flushed too where the system allows), removes without
// throwing. tool_error names the path.
void write_all(files::native_handle file, const void* data, size_t size, const std::filesystem::path& path);
void flush_file(files::native_handle file, const std::filesystem::path& path);
void replace_file(const std::filesystem::path& from, const std::filesystem::path& to);
void remove_file(const std::filesystem::path& path) noexcept;

namespace detail {
// The random temporary name for a destination.
std::filesystem::path temporary_name(const std::filesystem::path& destination);
// Creates path exclusively (step 1 and 2), never through a link; tool_error
// when anything stands there.
files::unique_file create_exclusive(const std::filesystem::path& path, file_access access);
// The writer with its temporary name given (tests plant things there).
void write_file_through(const std::filesystem::path& path, const std::filesystem::path& temporary,
                        const void* data, size_t size, file_access access);
}  // namespace detail

// Seconds since 1970-01-01 UTC of the file's last modification (0 for a
// time before 1970).
uint64_t modification_time(const std::filesystem::path& path);

// Time stamps of payload records are any 64-bit value: these conversions
// take every one of them without overflow.
// "YYYY-MM-DD hh:mm:ss" (UTC) of seconds since 1970; years beyond 9999 are
// written with all their digits.
std::string utc_text(uint64_t seconds);
// The largest time stamp set as a file's modification time:
// 9999-12-31 23:59:59, which every system's file time takes (a file system
// may hold less and clamp further: ext4 ends in 2446).
inline constexpr uint64_t latest_file_time = 253402300799;
// Sets the file's modification time to the stamp, clamped to
// latest_file_time, through the system's own call (utimensat,
// SetFileTime); false (and the time left alone) when the system refuses it.
bool set_modification_time(const std::filesystem::path& path, uint64_t seconds);

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
