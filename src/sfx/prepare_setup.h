#pragma once
// Setup preparation: reads sfx-info.xml, obtains product-info.xml, places the
// setup files in the temporary folder and returns the setup master's command
// line (its path, quoted when it holds a blank, then a blank and its
// arguments when there are any; the run tokenizes it).
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace kro::sfx {

struct sfx_data;

// Called with the product's display name when a splash window is wanted.
using splash_callback = std::function<void(const std::wstring& product_name)>;
// Called with the share of the preparation done, 0..100.
using progress_callback = std::function<void(uint8_t percent)>;

class prepare_setup_intf {
 public:
  virtual std::wstring prepare(const splash_callback& splash, const progress_callback& progress) = 0;
  virtual ~prepare_setup_intf() = default;
};

class prepare_setup {
 public:
  class factory {
   public:
    virtual ~factory() = default;
    virtual std::unique_ptr<prepare_setup_intf> create(sfx_data& data);
  };
};

}  // namespace kro::sfx
