#pragma once
// The run's shared data: one block owned by the run object and lent by
// reference to the components that need it.
#include <memory>

#include "sfx/command_line.h"

namespace kro::sfx {

class value_holder_intf;
class payload_intf;
class morrow_info_intf;
class sfx_reporting_intf;

struct sfx_data {
  std::shared_ptr<value_holder_intf> values;     // created empty with the run
  std::shared_ptr<payload_intf> payload;         // opened after the signature check
  std::shared_ptr<morrow_info_intf> info;        // the hand-off document
  command_line cmd;                              // converted command line, no program token
  std::shared_ptr<sfx_reporting_intf> reporter;  // given to the run
};

// Private base of the components that work on the run's data; the run
// outlives every one of them.
class sfx_data_holder {
 protected:
  explicit sfx_data_holder(sfx_data& data) : m_data(data) {}
  sfx_data& data() const { return m_data; }

 private:
  sfx_data& m_data;
};

}  // namespace kro::sfx
