// Factories of the components that this build does not contain yet. The
// downloader's raises kro::exceptions::error with code 120 (operation not
// implemented) and names the component, so an online run stops there with a
// clear record; the reporter and the splash window, which a run can do
// without, are left out with a warning.
#include "exceptions/exceptions.h"
#include "features/splash/gif_wnd.h"
#include "log/logger.h"
#include "sfx/error_codes.h"
#include "sfx/sfx_downloader.h"
#include "sfx/sfx_reporting.h"

namespace kro {
namespace {

[[noreturn]] void not_built(const char* component) {
  throw exceptions::error(codes::not_implemented, "Component '%s' is not available in this build.",
                          component);
}

// The reporter of a build without the analytics report: it keeps nothing,
// and a stage report is dropped with a warning (reporting failures never
// reach the run).
class unsent_reporting final : public sfx::sfx_reporting_intf {
 public:
  void send_stage(const std::string& stage) override {
    log::write(
        log::warning,
        "Report of stage '%s' not sent: component 'sfx_reporting' is not available in this build (%d).",
        stage.c_str(), codes::not_implemented);
  }
  void set_tmp_path(const std::wstring&) override {}
  void set_offline(bool) override {}
  void set_aiid(const std::wstring&) override {}
  void set_session_id(const std::wstring&) override {}
  void set_product_name(const std::wstring&) override {}
  void set_restart_required(bool) override {}
  void set_exit_code(int32_t) override {}
  void add_main_product(const std::wstring&, const std::wstring&, bool) override {}
  void set_report_url(const std::wstring&) override {}
};

}  // namespace

std::shared_ptr<sfx::sfx_reporting_intf> sfx::sfx_reporting::factory::create(const std::wstring&) {
  return std::make_shared<unsent_reporting>();
}
std::shared_ptr<sfx::sfx_downloader_intf> sfx::sfx_downloader::factory::create(sfx_data&) {
  not_built("sfx_downloader");
}
// A build without the splash window shows none: its factories give empty
// pointers after a warning, and the run goes on without a window (no splash
// text, no taskbar progress, no /sssid for the setup master).
std::shared_ptr<features::splash::gif_wnd_data_intf> features::splash::res_gif_wnd_data::factory::create(
    void*, uint32_t, const std::wstring&, uint32_t, const std::wstring&, const std::wstring&) {
  return nullptr;
}
std::shared_ptr<features::splash::gif_wnd_intf> features::splash::gif_wnd::factory::create(
    std::shared_ptr<gif_wnd_data_intf>) {
  log::write(log::warning,
             "Splash window not shown: component 'gif_wnd' is not available in this build (%d).",
             codes::not_implemented);
  return nullptr;
}

}  // namespace kro
