#pragma once
// Starts the setup master, waits for it and returns its exit code.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace kro::sfx {

class command_line;

class secure_process_launcher_intf {
 public:
  // program: command line whose program token is the executable path;
  // arguments: the argument string; timeout in milliseconds, 0xFFFFFFFF
  // waits without limit; current_directory: the process's current
  // directory (absent: this process's). Returns the exit code (259 while
  // still running).
  virtual uint32_t run(const command_line& program, const std::wstring& arguments, uint32_t timeout_ms,
                       const std::optional<std::wstring>& current_directory) = 0;
  virtual ~secure_process_launcher_intf() = default;
};

class secure_process_launcher {
 public:
  class factory {
   public:
    virtual ~factory() = default;
    virtual std::unique_ptr<secure_process_launcher_intf> create();
  };
};

}  // namespace kro::sfx
