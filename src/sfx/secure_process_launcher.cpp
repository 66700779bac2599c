// Starts the setup master: the argument string is parsed into switches and
// arguments, the executable path is put in front as the program, and the
// whole is rendered back into one command line (each token quoted when it
// holds white space). The process gets a new console and inherits handles,
// and runs in the current directory it is given (else in this process's).
#include "sfx/secure_process_launcher.h"

#include "exceptions/exceptions.h"
#include "log/logger.h"
#include "sfx/command_line.h"
#include "sfx/error_codes.h"
#include "systools/process_wrapper.h"

namespace kro::sfx {
namespace {

constexpr uint32_t still_active = 259;

class secure_process_launcher_impl final : public secure_process_launcher_intf,
                                           private systools::process_wrapper::factory {
 public:
  uint32_t run(const command_line& program, const std::wstring& arguments, uint32_t timeout_ms,
               const std::optional<std::wstring>& current_directory) override {
    const std::wstring executable = program.program().value_or(std::wstring());
    log::write(log::info, L"Start of run_process '%ls', cmdline '%ls', timeout '%u'", executable.c_str(),
               arguments.c_str(), static_cast<unsigned>(timeout_ms));
    // Without a program the first argument would be started instead.
    if (executable.empty()) {
      throw kro::exceptions::error(codes::invalid_argument, "No program to run!");
    }

    command_line whole;
    whole.parse(arguments, false);
    whole.set_program(executable);
    const std::wstring rendered = whole.to_string(true);

    if (current_directory)
      log::write(log::info, L"Process current directory '%ls'", current_directory->c_str());

    systools::process_request request;
    request.command_line = rendered;
    request.current_directory = current_directory;
    request.show_window = true;
    request.inherit_handles = true;
    request.timeout_ms = timeout_ms;
    const uint32_t code = create()->run(request);
    if (code == still_active) {
      log::write(log::warning, L"Process '%ls', timeout '%u' is still running", rendered.c_str(),
                 static_cast<unsigned>(timeout_ms));
    } else {
      log::write(log::info, L"Process '%ls' finished with exit code '%u'", rendered.c_str(),
                 static_cast<unsigned>(code));
    }
    return code;
  }
};

}  // namespace

std::unique_ptr<secure_process_launcher_intf> secure_process_launcher::factory::create() {
  return std::make_unique<secure_process_launcher_impl>();
}

}  // namespace kro::sfx
