#pragma once
// Starts a process, optionally feeds its standard input and collects its
// standard output and error through pipes, waits for it with a time-out and
// returns its exit code.
//
// The command line is passed whole (no separate application name), so its
// first token is the program; quote a path with spaces. A time-out of 0
// starts the process and returns 259 (STILL_ACTIVE) without waiting;
// 0xFFFFFFFF waits without limit; a process still running after the time-out
// yields 259 and keeps running. Output pipes are read in blocks of 102400
// bytes while the process runs, both at once, so a child that fills one pipe
// never blocks the other or the time-out.
//
// Failures raise kro::exceptions::error with the system error code:
// "Unable to create process '<command line>'!", "Unable to write to the
// pipe!", "Unable to wait for process '<command line>'!", "Unable to retrieve
// exit status for process '<command line>'!".
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace kro::systools {

// Everything one launch can ask for.
struct process_request {
  std::wstring command_line;
  std::optional<std::wstring> current_directory;  // absent: the caller's
  bool show_window = false;      // true: a new console; false: no console window, shown hidden
  bool inherit_handles = false;  // forced when standard handles are redirected
  bool start_suspended = false;
  uint32_t timeout_ms = 0xFFFFFFFFu;
  const std::string* std_in = nullptr;  // written to the child's standard input, then closed
  std::string* std_out = nullptr;       // receives the child's standard output
  std::string* std_err = nullptr;       // receives the child's standard error
};

class process_wrapper_intf {
 public:
  // Runs a command line; the output buffers may be null.
  virtual uint32_t run(const std::wstring& command_line, bool show_window, bool inherit_handles,
                       uint32_t timeout_ms, std::string* std_out, std::string* std_err) = 0;
  // Runs an executable (quoted as one token) followed by the command line.
  virtual uint32_t run(const std::wstring& application, const std::wstring& command_line, bool show_window,
                       bool inherit_handles, uint32_t timeout_ms) = 0;
  // Runs a full request.
  virtual uint32_t run(const process_request& request) = 0;
  virtual ~process_wrapper_intf() = default;
};

class process_wrapper {
 public:
  class factory {
   public:
    virtual ~factory() = default;
    virtual std::unique_ptr<process_wrapper_intf> create();
  };
};

}  // namespace kro::systools
