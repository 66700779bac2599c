#pragma once
// Rewrites the Inno-style switches the self-extractor understands into its
// own switch names, on the raw command-line text before it is parsed:
//
//   /VERYSILENT     -> /silent          (unless /silent is present too)
//   /LANG=L<lcid>   -> " /lang-id:<lcid>" (unless /lang-id is present; the
//                                        value may be quoted; a value without
//                                        the leading L stays unchanged)
//   /DIR=<folder>   -> /install-path:<folder> (unless /install-path is
//                                        present; the folder keeps its quotes)
//
// Searches ignore case and look at the whole text, not at tokens; everything
// else is left as it was. Nothing is thrown for any text; a null text gives
// an empty result.
#include <memory>
#include <string>

namespace kro::sfx {

class sfx_migrate_inno_params_intf {
 public:
  virtual std::wstring convert(const wchar_t* command_line) = 0;
  virtual ~sfx_migrate_inno_params_intf() = default;
};

class sfx_migrate_inno_params : public sfx_migrate_inno_params_intf {
 public:
  class factory {
   public:
    virtual ~factory() = default;
    virtual std::unique_ptr<sfx_migrate_inno_params_intf> create();
  };

  std::wstring convert(const wchar_t* command_line) override;
};

}  // namespace kro::sfx
