#pragma once
// The run's private temporary folder: created with a restrictive access list
// when the object is made, removed recursively when it is destroyed (when
// asked to).
#include <memory>
#include <string>

namespace kro::sfx {

class temp_dir_intf {
 public:
  virtual std::wstring get_path() const = 0;
  virtual ~temp_dir_intf() = default;
};

class temp_dir {
 public:
  class factory {
   public:
    virtual ~factory() = default;
    virtual std::unique_ptr<temp_dir_intf> create(bool remove_at_end);
  };
};

namespace detail {

// Windows: the security descriptor the folder is created with, converted
// from its SDDL text "D:P(A;CIOI;GA;;;SY)(A;CIOI;GA;;;BA)(A;CIOI;GRGX;;;BU)".
// The caller releases it with LocalFree. Throws kro::exceptions::error with
// the system error code when the conversion fails.
void* make_temp_dir_security_descriptor();

}  // namespace detail

}  // namespace kro::sfx
