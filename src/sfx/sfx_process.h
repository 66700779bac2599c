#pragma once
// One run of the self-extractor: checks the executable's signature, opens the
// payload, converts and parses the command line, creates the private
// temporary folder, lets setup preparation assemble the setup files, writes
// the hand-off file, starts the setup master, waits for it and returns its
// exit code. Every component is created through its factory; the run derives
// from those factories, and a test may hand in replacements for any of them.
//
// The setup master starts in the working folder <tmp-path>\common; relative
// paths in the path switches of the command line it gets are made absolute
// first (sfx/path_switches.h).
//
// A hand-off file that cannot be written ends the run before the setup
// master starts: kro::exceptions::error "Unable to write the hand-off file
// '<path>'!" with the system's code of the failure (29, a write fault, when
// none is known).
#include <cstdint>
#include <memory>
#include <string>

#include "features/splash/gif_wnd.h"
#include "root/verify_signature.h"
#include "sfx/morrow_info.h"
#include "sfx/payload.h"
#include "sfx/prepare_setup.h"
#include "sfx/secure_process_launcher.h"
#include "sfx/sfx_data.h"
#include "sfx/sfx_migrate_inno_params.h"
#include "sfx/sfx_reporting.h"
#include "sfx/sfx_translator.h"
#include "sfx/temp_dir.h"
#include "sfx/value_holder.h"

namespace kro::sfx {

class sfx_process_intf {
 public:
  // executable path; command line without the program name. Returns the
  // setup master's exit code; throws the program's exceptions.
  virtual int32_t run(const wchar_t* executable_path, const wchar_t* command_line) = 0;
  virtual ~sfx_process_intf() = default;
};

class sfx_process : public sfx_process_intf,
                    private verify_signature::factory,
                    private temp_dir::factory,
                    private value_holder::factory,
                    private payload::factory,
                    private features::splash::gif_wnd::factory,
                    private features::splash::res_gif_wnd_data::factory,
                    private prepare_setup::factory,
                    private secure_process_launcher::factory,
                    private morrow_info::factory,
                    private sfx_migrate_inno_params::factory,
                    private sfx_translator::factory {
 public:
  class factory {
   public:
    virtual ~factory() = default;
    virtual std::shared_ptr<sfx_process_intf> create(std::shared_ptr<sfx_reporting_intf> reporter);
  };

  // Replacements for the run's own factories; a null entry keeps the run's.
  struct factories {
    verify_signature::factory* verify = nullptr;
    temp_dir::factory* temp = nullptr;
    value_holder::factory* values = nullptr;
    payload::factory* payload_files = nullptr;
    features::splash::gif_wnd::factory* splash = nullptr;
    features::splash::res_gif_wnd_data::factory* splash_data = nullptr;
    prepare_setup::factory* prepare = nullptr;
    secure_process_launcher::factory* launcher = nullptr;
    morrow_info::factory* hand_off = nullptr;
    sfx_migrate_inno_params::factory* inno = nullptr;
    sfx_translator::factory* translator = nullptr;
  };

  explicit sfx_process(std::shared_ptr<sfx_reporting_intf> reporter);
  sfx_process(std::shared_ptr<sfx_reporting_intf> reporter, const factories& replace);

  int32_t run(const wchar_t* executable_path, const wchar_t* command_line) override;

  // The shared data, for inspection after a run.
  const sfx_data& data() const { return m_data; }

 private:
  struct splash_state;

  factories m_factories;
  sfx_data m_data;
};

// Name of the hand-off file inside the temporary folder.
inline constexpr const wchar_t* morrow_info_file_name = L"morrow-info.xml";

}  // namespace kro::sfx
