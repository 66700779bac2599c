#pragma once
// Which placed setup file is the setup master, and its command line.
//
// The applicable setup-commands element of product-info.xml names the
// executable (attribute `executable`, default "morrow.exe") and its arguments
// (attribute `arguments`, default empty); the attributes of its first `sfx`
// child, where present, override them. Each setup file is offered as it is
// placed; a file whose name equals the executable, case ignored, sets the
// command line to
//
//   <folder>\<executable>[ <arguments>]
//
// with the executable spelled as in the element, the backslash left out when
// the folder already ends in a separator, and the path quoted when it holds
// white space. A later match replaces an earlier one; without a match the
// line stays empty.
#include <memory>
#include <pugixml.hpp>
#include <string>

#include "sfx/sfx_data.h"

namespace kro::sfx {

class master_setup_evaluator_intf {
 public:
  // `setup_commands` may be an empty handle: defaults apply.
  virtual void evaluate_file(const std::wstring& file_name, const pugi::xml_node& setup_commands,
                             const std::wstring& folder) = 0;
  virtual std::wstring get_command_line() const = 0;
  virtual ~master_setup_evaluator_intf() = default;
};

class master_setup_evaluator {
 public:
  class factory {
   public:
    virtual ~factory() = default;
    virtual std::shared_ptr<master_setup_evaluator_intf> create(sfx_data& data);
  };
};

}  // namespace kro::sfx
