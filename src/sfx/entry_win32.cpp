// The program entry: log file, operating-system check, the run, and the
// error policy that maps every failure to a message box and an exit code.
#include <windows.h>

#include <memory>
#include <string>

#include "exceptions/exceptions.h"
#include "features/splash/window_messages.h"
#include "log/logger.h"
#include "root/dsa.h"
#include "sfx/brand.h"
#include "sfx/entry.h"
#include "sfx/error_box.h"
#include "sfx/error_codes.h"
#include "sfx/failure_policy.h"
#include "sfx/log_folder.h"
#include "sfx/sfx_process.h"
#include "sfx/sfx_reporting.h"
#include "sfx/sfx_translator.h"
#include "systools/file_version.h"
#include "systools/os_version.h"
#include "systools/process_facts.h"
#include "text/text.h"

namespace kro::sfx {
namespace {

namespace os = kro::environment::os_version;

constexpr int64_t log_size_limit = 4194304;

// The version of this executable, read from its own version resource.
std::string file_version_text() {
  const systools::file_version parts = systools::own_file_version();
  return text::format("%hu.%hu.%hu.%hu", parts[0], parts[1], parts[2], parts[3]);
}

}  // namespace

void show_error_box(int32_t code, const std::wstring& log_path, const std::wstring& message,
                    std::optional<int32_t> download_code) {
  command_line process_cmd;
  process_cmd.parse(GetCommandLineW(), true);
  if (error_box_silenced(process_cmd)) return;
  const uint32_t lcid = error_box_language(process_cmd, GetUserDefaultLangID());
  const auto translator = sfx_translator::factory().create(lcid);
  const error_box_text box = make_error_box_text(*translator, code, log_path, message, download_code);
  MessageBoxW(nullptr, box.body.c_str(), box.title.c_str(), MB_ICONERROR | MB_SETFOREGROUND);
}

int program_entry(const wchar_t* command_line_text, int /*show*/) {
  std::shared_ptr<sfx_reporting_intf> reporter;
  std::wstring log_path;
  int32_t exit_code = 0;
  try {
    const std::wstring cmd = command_line_text ? command_line_text : L"";
    reporter = sfx_reporting::factory().create(cmd);

    // A log folder that cannot be created or is not safe to use leaves the
    // run without a log file (the reason goes to the debugger output).
    const log_folder::api system = log_folder::system_api();
    const log_folder::prepared logs =
        log_folder::prepare(system, log_folder::common_app_data(system), brand_record().company_folder);
    log_path = logs.log_file;
    if (logs.usable) log::logger().set_log_file(log_path, log_size_limit, log::debug);
    log::logger().set_flush_level(log::error);

    const std::string version = file_version_text();
    log::write(log::info, "*** Starting SFX (%s), System(%s) ***", version.c_str(),
               text::to_utf8(os::display_name()).c_str());
    // Which public keys this program trusts: the key ring's fingerprint.
    if (root::dsa::ring_is_development()) {
      log::write(log::info, "Key ring %s (development)", root::dsa::ring_fingerprint());
    } else {
      log::write(log::info, "Key ring %s", root::dsa::ring_fingerprint());
    }
    if (!os::is_windows7_sp(1)) {
      log::write(log::fatal, "This operating system (%d.%d.%d) is not supported.",
                 static_cast<int>(os::major()), static_cast<int>(os::minor()), static_cast<int>(os::build()));
      throw exceptions::unsupported_os();
    }
    // The splash window's messages, registered at static initialisation
    // (naming them here also keeps their registration in the image).
    log::write(log::debug, "Window messages: KroSplashScreenHide=0x%04x, TaskbarButtonCreated=0x%04x",
               features::splash::splash_hide_message(), features::splash::taskbar_button_created_message());

    for (const std::string& note : logs.notes) log::write(log::info, "%s", note.c_str());

    std::shared_ptr<sfx_process_intf> process = sfx_process::factory().create(reporter);
    exit_code = process->run(program_path(), cmd.c_str());
    process.reset();
    reporter.reset();
    return exit_code;
  } catch (const std::exception&) {
    const failure_outcome outcome = classify_failure(std::current_exception());
    exit_code = outcome.exit_code;
    show_error_box(outcome.box_code, log_path, outcome.message, outcome.download_code);
  }
  if (reporter) {
    reporter->set_exit_code(exit_code);
    reporter->send_stage("sfx-fail");
  }
  reporter.reset();
  return exit_code;
}

}  // namespace kro::sfx
