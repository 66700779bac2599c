// The log file and the record stamps on POSIX systems (the native build).
// Same rules as on Windows as far as POSIX allows: the byte-order mark check,
// creation through path + ".tmp.<guid>" without replacing another file, and
// rotation to ".old" through ".to_rotate.<guid>". POSIX renames replace open
// files, so the in-use ".old" case of Windows does not arise.
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

#include "exceptions/exceptions.h"
#include "log/logger.h"
#include "root/random.h"
#include "text/text.h"

namespace kro::log::detail {
namespace {

constexpr unsigned char utf8_bom[3] = {0xEF, 0xBB, 0xBF};

class fd_handle {
 public:
  explicit fd_handle(int fd = -1) : m_fd(fd) {}
  ~fd_handle() { reset(); }
  fd_handle(fd_handle&& other) noexcept : m_fd(other.release()) {}
  fd_handle& operator=(fd_handle&& other) noexcept {
    if (this != &other) {
      reset();
      m_fd = other.release();
    }
    return *this;
  }
  fd_handle(const fd_handle&) = delete;
  fd_handle& operator=(const fd_handle&) = delete;

  int get() const { return m_fd; }
  explicit operator bool() const { return m_fd >= 0; }
  [[nodiscard]] int release() {
    const int fd = m_fd;
    m_fd = -1;
    return fd;
  }
  void reset() {
    if (m_fd >= 0) {
      const int saved = errno;
      ::close(m_fd);
      errno = saved;
      m_fd = -1;
    }
  }

 private:
  int m_fd;
};

bool starts_with_bom(int fd) {
  unsigned char head[3] = {};
  size_t have = 0;
  while (have < sizeof(head)) {
    const ssize_t got = ::pread(fd, head + have, sizeof(head) - have, static_cast<off_t>(have));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    have += static_cast<size_t>(got);
  }
  return have == sizeof(head) && head[0] == utf8_bom[0] && head[1] == utf8_bom[1] && head[2] == utf8_bom[2];
}

bool ends_with(const std::string& text, const char* tail) {
  const std::string_view t(tail);
  return text.size() >= t.size() && text.compare(text.size() - t.size(), t.size(), t) == 0;
}

class posix_log_file final : public log_file {
 public:
  posix_log_file(fd_handle fd, std::string path) : m_fd(std::move(fd)), m_path(std::move(path)) {}

  int64_t size() const override {
    struct stat st;
    if (::fstat(m_fd.get(), &st) != 0) throw exceptions::error(errno, "Unable to get file size!");
    return static_cast<int64_t>(st.st_size);
  }

  void write(const std::string& bytes) override {
    const char* p = bytes.data();
    size_t left = bytes.size();
    while (left > 0) {
      const ssize_t written = ::write(m_fd.get(), p, left);
      if (written < 0 && errno == EINTR) continue;
      if (written <= 0) throw exceptions::error(errno, "Unable to write to the log file!");
      p += written;
      left -= static_cast<size_t>(written);
    }
  }

  void flush() override {
    if (::fsync(m_fd.get()) != 0) throw exceptions::error(errno, "Unable to flush the log file!");
  }

  bool rotate() override {
    const std::string path = current_path();
    if (!ends_with(path, ".log")) return false;
    const std::string rotating = path + ".to_rotate." + text::to_utf8(root::new_guid_text());
    if (::rename(path.c_str(), rotating.c_str()) != 0) {
      throw exceptions::error(errno, "Unable to move log file to a temporary name!");
    }
    m_path = rotating;
    const std::string old = path + ".old";
    if (::rename(rotating.c_str(), old.c_str()) == 0) m_path = old;
    return true;
  }

 private:
  // Where the open file is now (another process may have renamed it): the
  // name the kernel reports for the descriptor, else the name we gave it,
  // whichever still refers to this very file; empty when neither does.
  std::string current_path() const {
    struct stat own;
    if (::fstat(m_fd.get(), &own) != 0) return {};
    auto same_file = [&own](const std::string& candidate) {
      struct stat st;
      return !candidate.empty() && ::stat(candidate.c_str(), &st) == 0 && st.st_dev == own.st_dev &&
             st.st_ino == own.st_ino;
    };
    char link[64];
    std::snprintf(link, sizeof(link), "/proc/self/fd/%d", m_fd.get());
    char target[4096];
    const ssize_t n = ::readlink(link, target, sizeof(target) - 1);
    if (n > 0 && same_file(std::string(target, static_cast<size_t>(n)))) {
      return std::string(target, static_cast<size_t>(n));
    }
    return same_file(m_path) ? m_path : std::string();
  }

  fd_handle m_fd;
  std::string m_path;
};

}  // namespace

std::shared_ptr<log_file> open_log_file(const std::wstring& wide_path) {
  const std::string path = text::to_utf8(wide_path);
  for (int attempt = 0; attempt < 4; ++attempt) {
    if (fd_handle fd(::open(path.c_str(), O_RDWR | O_APPEND | O_CLOEXEC)); fd) {
      if (starts_with_bom(fd.get())) return std::make_shared<posix_log_file>(std::move(fd), path);
      // Never append to a file this logger did not create.
      if (!posix_log_file(std::move(fd), path).rotate()) {
        throw exceptions::error(codes::invalid_data, L"Failed to open log file '%ls'", wide_path.c_str());
      }
      continue;
    }
    if (errno != ENOENT) throw exceptions::error(errno, L"Failed to open log file '%ls'", wide_path.c_str());

    const std::string temporary = path + ".tmp." + text::to_utf8(root::new_guid_text());
    fd_handle created(::open(temporary.c_str(), O_RDWR | O_APPEND | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
    if (!created) throw exceptions::error(errno, L"Failed to create new log file '%ls'", wide_path.c_str());
    // link() + unlink() renames without replacing a file created meanwhile.
    if (::write(created.get(), utf8_bom, sizeof(utf8_bom)) == static_cast<ssize_t>(sizeof(utf8_bom)) &&
        ::link(temporary.c_str(), path.c_str()) == 0) {
      ::unlink(temporary.c_str());
      return std::make_shared<posix_log_file>(std::move(created), path);
    }
    const int error = errno;
    ::unlink(temporary.c_str());
    if (error != EEXIST) {
      throw exceptions::error(error, L"Failed to create new log file '%ls'", wide_path.c_str());
    }
  }
  throw exceptions::error(codes::invalid_data, L"Failed to open log file '%ls'", wide_path.c_str());
}

uint64_t system_time() {
  struct timespec now;
  ::clock_gettime(CLOCK_REALTIME, &now);
  // FILETIME counts 100 ns units from 1601-01-01; the Unix epoch is 11644473600 s later.
  return (static_cast<uint64_t>(now.tv_sec) + 11644473600ull) * 10000000ull +
         static_cast<uint64_t>(now.tv_nsec) / 100;
}

uint32_t current_process_id() { return static_cast<uint32_t>(::getpid()); }
uint32_t current_thread_id() { return static_cast<uint32_t>(::gettid()); }

// There is no debugger channel here; lines reach a stream when one is set.
void debugger_output(const char*) {}

}  // namespace kro::log::detail
