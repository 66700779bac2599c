#pragma once
// The analytics reporter: collects facts of the run and posts one JSON report
// per stage ("sfx-start", "sfx-running-morrow", "sfx-finish", "sfx-fail").
// Failures inside reporting are logged and dropped; they never reach the run.
#include <cstdint>
#include <memory>
#include <string>

namespace kro::sfx {

class sfx_reporting_intf {
 public:
  virtual void send_stage(const std::string& stage) = 0;
  virtual void set_tmp_path(const std::wstring& path) = 0;
  virtual void set_offline(bool offline) = 0;
  virtual void set_aiid(const std::wstring& aiid) = 0;
  virtual void set_session_id(const std::wstring& session_id) = 0;
  virtual void set_product_name(const std::wstring& name) = 0;
  virtual void set_restart_required(bool required) = 0;
  virtual void set_exit_code(int32_t code) = 0;
  virtual void add_main_product(const std::wstring& product, const std::wstring& channel, bool reset) = 0;
  virtual void set_report_url(const std::wstring& url) = 0;
  virtual ~sfx_reporting_intf() = default;
};

class sfx_reporting {
 public:
  class factory {
   public:
    virtual ~factory() = default;
    // The command line is the one the process was started with.
    virtual std::shared_ptr<sfx_reporting_intf> create(const std::wstring& command_line);
  };
};

}  // namespace kro::sfx
