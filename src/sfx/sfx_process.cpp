#include "sfx/sfx_process.h"

#include <optional>

#include "exceptions/exceptions.h"
#include "files/directory.h"
#include "log/logger.h"
#include "root/random.h"
#include "sfx/error_codes.h"
#include "sfx/languages.h"
#include "sfx/path_switches.h"
#include "systools/process_facts.h"
#include "text/text.h"

namespace kro::sfx {
namespace {

using features::splash::gif_wnd_data_intf;
using features::splash::gif_wnd_intf;

template <class T>
T* or_self(T* replacement, T* self) {
  return replacement ? replacement : self;
}

// Step 11: the language of the run.
uint32_t choose_language(command_line cmd) {
  uint32_t lcid = systools::user_default_lang_id();
  if (cmd.has(L"lang-id")) {
    int value = 0;
    try {
      value = std::stoi(cmd.get(L"lang-id"));
    } catch (const std::exception&) {
      value = static_cast<int>(languages::default_lcid);
    }
    lcid = languages::is_listed(static_cast<uint32_t>(value)) ? static_cast<uint32_t>(value)
                                                              : languages::default_lcid;
  }
  return lcid;
}

}  // namespace

// The splash window and everything it needs; lives inside one run.
struct sfx_process::splash_state {
  std::wstring product_name;
  std::shared_ptr<sfx_translator_intf> translator;
  std::shared_ptr<gif_wnd_data_intf> gif_data;
  std::shared_ptr<gif_wnd_intf> window;

  ~splash_state() {
    // The window goes before the data it draws from.
    window.reset();
    gif_data.reset();
  }
};

std::shared_ptr<sfx_process_intf> sfx_process::factory::create(std::shared_ptr<sfx_reporting_intf> reporter) {
  return std::make_shared<sfx_process>(std::move(reporter));
}

sfx_process::sfx_process(std::shared_ptr<sfx_reporting_intf> reporter)
    : sfx_process(std::move(reporter), {}) {}

sfx_process::sfx_process(std::shared_ptr<sfx_reporting_intf> reporter, const factories& replace)
    : m_factories{
          or_self<verify_signature::factory>(replace.verify, this),
          or_self<temp_dir::factory>(replace.temp, this),
          or_self<value_holder::factory>(replace.values, this),
          or_self<payload::factory>(replace.payload_files, this),
          or_self<features::splash::gif_wnd::factory>(replace.splash, this),
          or_self<features::splash::res_gif_wnd_data::factory>(replace.splash_data, this),
          or_self<prepare_setup::factory>(replace.prepare, this),
          or_self<secure_process_launcher::factory>(replace.launcher, this),
          or_self<morrow_info::factory>(replace.hand_off, this),
          or_self<sfx_migrate_inno_params::factory>(replace.inno, this),
          or_self<sfx_translator::factory>(replace.translator, this),
      } {
  m_data.reporter = std::move(reporter);
  m_data.values = m_factories.values->create();
}

int32_t sfx_process::run(const wchar_t* executable_path, const wchar_t* command_line_text) {
  const std::wstring exe_path = executable_path ? executable_path : L"";
  const std::wstring raw_cmd = command_line_text ? command_line_text : L"";
  value_holder_intf& values = *m_data.values;
  sfx_reporting_intf& reporter = *m_data.reporter;

  // 1. Start.
  log::write(log::info, L"SFX started with command line '%ls'", raw_cmd.c_str());

  // 2. Session id.
  values.set_string(L"session-id", root::new_guid_text());
  reporter.set_session_id(values.get_string(L"session-id", L""));

  // 3-6. The executable is opened once, without write sharing, and the same
  // handle and mapping serve the signature check and the payload: the file
  // that was checked is the file that is read. (Opening takes care of the
  // file-system redirection.)
  executable_image image;
  try {
    image = m_factories.payload_files->open(exe_path);
  } catch (const kro::exceptions::detail::base& e) {
    log::write(log::error, "Open file '%s' for DSA check fail  %u!", text::to_utf8(exe_path).c_str(),
               static_cast<unsigned>(e.code()));
    throw kro::exceptions::error(e.code(), "Open file for DSA check fail!");
  }
  {
    const auto checker = m_factories.verify->create();
    if (!checker->verify_mapping(image.mapping.get(), exe_path)) {
      log::write(log::error, "SFX is not DSA signed!");
      throw exceptions::sfx_invalid_signature();
    }
  }
  m_data.info = m_factories.hand_off->create();
  m_data.payload = m_factories.payload_files->create_from(std::move(image), m_data);

  // 7-8. Inno-style switches, then the parsed command line.
  std::wstring converted = raw_cmd;
  try {
    converted = m_factories.inno->create()->convert(raw_cmd.c_str());
  } catch (const std::exception& e) {
    log::write_exception(log::error, e, "Convert INNO parameters to Morrow fail");
    converted = raw_cmd;
  }
  // Path switches passed on to the setup master, which runs elsewhere, keep
  // their meaning: relative values become full paths against this
  // process's current directory, which the run never changes.
  std::vector<resolved_path_switch> resolved;
  converted = absolute_path_switches(converted, files::full_path, &resolved);
  for (const resolved_path_switch& r : resolved) {
    log::write(log::info, L"Switch '%ls': relative path '%ls' resolved to '%ls'", r.key.c_str(),
               r.given.c_str(), r.resolved.c_str());
  }
  m_data.cmd.parse(converted, false);

  // 9-10. First hand-off nodes.
  add_text(*m_data.info, "sfx-cmd", m_data.cmd.to_string(false));
  add_text(*m_data.info, "session-id", values.get_string(L"session-id", L""));

  // 11. Language.
  values.set_int(L"lang-id", static_cast<int32_t>(choose_language(m_data.cmd)));

  // 12-13. Temporary folder. Declared first among the run's objects so that it
  // is released last, after the splash window and the launcher.
  const std::unique_ptr<temp_dir_intf> folder = m_factories.temp->create(!m_data.cmd.has(L"xperf"));
  values.set_string(L"tmp-path", folder->get_path());
  add_text(*m_data.info, "temp-base-dir", folder->get_path());
  reporter.set_tmp_path(values.get_string(L"tmp-path", L""));
  reporter.send_stage("sfx-start");

  splash_state splash;
  std::unique_ptr<prepare_setup_intf> preparation;
  std::unique_ptr<secure_process_launcher_intf> launcher;
  std::wstring master_cmd;
  const std::wstring info_path = files::join(values.get_string(L"tmp-path", L""), morrow_info_file_name);

  try {
    // 14. Setup preparation with the splash and progress callbacks.
    const splash_callback on_splash = [&](const std::wstring& product_name) {
      splash.product_name = product_name;
      splash.translator =
          m_factories.translator->create(static_cast<uint32_t>(values.get_int(L"lang-id", 0)));
      const std::wstring title = splash.translator->format(L"@Sfx_Title", {product_name});
      splash.gif_data = m_factories.splash_data->create(systools::executable_module(), 200, L"GIF", 128,
                                                        title, product_name);
      splash.window = m_factories.splash->create(splash.gif_data);
      // A build without a splash window gives none; the run goes on without.
      if (splash.window) splash.window->start(true);
    };
    const progress_callback on_progress = [&](uint8_t percent) {
      if (!splash.window) return;
      splash.window->set_text(splash.product_name + L"... " + std::to_wstring(percent) + L"%");
      splash.window->set_progress(percent);
    };
    preparation = m_factories.prepare->create(m_data);
    master_cmd = preparation->prepare(on_splash, on_progress);

    // 15. The hand-off file. The setup master never starts without it.
    if (!m_data.info->save(info_path)) {
      const uint32_t error = systools::last_error();
      throw kro::exceptions::error(error != 0 ? static_cast<int32_t>(error) : codes::write_fault,
                                   L"Unable to write the hand-off file '%ls'!", info_path.c_str());
    }

    // 16. Splash text while the setup master starts.
    if (splash.window) {
      const std::wstring starting =
          splash.translator ? splash.translator->get_text(L"@Sfx_Starting") : std::wstring(L"@Sfx_Starting");
      splash.window->set_text(splash.product_name + L"... " + starting);
      splash.window->set_progress(-1);
    }

    // 17-21. The setup master's command line.
    launcher = m_factories.launcher->create();
    command_line master;
    master.parse(master_cmd, true);
    master.add(L"morrow-info-path", info_path);
    master.get(values.get_bool(L"clear", false) ? L"clear" : L"install");
    std::wstring arguments = master.to_string(false);
    if (!converted.empty()) arguments += L" " + converted;
    if (values.get_bool(L"silent", false) && text::find_nocase(arguments, L"/silent") == std::wstring::npos)
      arguments += L" /silent";
    if (splash.window)
      arguments += text::format(L" /sssid=%d", static_cast<int>(systools::current_process_id()));

    // 22-23. Start it and wait.
    reporter.send_stage("sfx-running-morrow");
    // It runs in the working folder, not in the folder this run was started
    // from (a user's download folder, often).
    const std::wstring working_folder = files::join(values.get_string(L"tmp-path", L""), working_folder_name);
    const auto exit_code =
        static_cast<int32_t>(launcher->run(master, arguments, 0xFFFFFFFFu, working_folder));

    // 24-26. Finish.
    if (splash.window) splash.window->stop();
    if (exit_code == codes::exit_restart_required) {
      reporter.set_restart_required(true);
      log::write(log::debug, "%s", "Restart is required");
    }
    reporter.set_exit_code(exit_code);
    reporter.send_stage("sfx-finish");
    return exit_code;
  } catch (const std::exception& e) {
    log::write_exception(log::error, e, "Execute setup master process '%s' failed!",
                         text::to_utf8(master_cmd).c_str());
    throw;
  }
}

}  // namespace kro::sfx
