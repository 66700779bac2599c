#pragma once
// EDAT files: extra data for the setup master carried in the payload. Every
// payload file whose alias contains ".edat" (case ignored, anywhere in the
// name) is extracted into the temporary folder (named value "tmp-path")
// under its alias, sub-folders included, checked against its SHA-256.
//
// Nothing is raised: a file the payload does not give, an alias that is not
// a safe relative name (files/safe_name.h) and a folder that cannot be made
// are logged and skipped; any other failure ends the unpacking with
// "Unpacking EDAT end with exception." and leaves the files extracted so far.
#include <memory>

#include "sfx/sfx_data.h"

namespace kro::sfx {

class sfx_edat_intf {
 public:
  virtual void unpack() = 0;
  virtual ~sfx_edat_intf() = default;
};

class sfx_edat : public sfx_edat_intf, private sfx_data_holder {
 public:
  explicit sfx_edat(sfx_data& data) : sfx_data_holder(data) {}

  void unpack() override;

  class factory {
   public:
    virtual ~factory() = default;
    virtual std::unique_ptr<sfx_edat_intf> create(sfx_data& data);
  };

 private:
  void unpack_one(const std::wstring& folder, const std::wstring& name);
};

}  // namespace kro::sfx
