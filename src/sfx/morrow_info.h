#pragma once
// The hand-off document morrow-info.xml: elements collected from the payload,
// the run and setup preparation, written once before the setup master starts.
// Its texts and attribute values hold only characters that XML 1.0 allows:
// any other character of an element handed in (a control character other
// than tab, line feed and carriage return, U+FFFE, U+FFFF, a lone surrogate,
// a broken UTF-8 sequence) becomes U+FFFD, so every XML reader accepts the
// file.
#include <memory>
#include <pugixml.hpp>
#include <string>

namespace kro::sfx {

class morrow_info_intf {
 public:
  // Appends a deep copy of the element (of any document) under the root.
  virtual void add_copy(const pugi::xml_node& element) = 0;
  // Moves a node of the component's own document under the root.
  virtual void add_move(const pugi::xml_node& node) = 0;
  // Writes the document (UTF-8, tab indentation); false on failure, which
  // is logged and leaves the system's code as the thread's last error
  // (systools::last_error; 0 when none is known).
  virtual bool save(const std::wstring& path) = 0;
  virtual ~morrow_info_intf() = default;
};

// Hands one element <name>text</name> to the hand-off document.
void add_text(morrow_info_intf& info, const char* name, const std::wstring& value);

class morrow_info {
 public:
  class factory {
   public:
    virtual ~factory() = default;
    virtual std::shared_ptr<morrow_info_intf> create();
  };
};

}  // namespace kro::sfx
