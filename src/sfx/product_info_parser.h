#pragma once
// The product document product-info.xml: one release of a product, its setup
// files and the command that starts its setup master.
//
//   <product-info>
//     <name>...</name> <version>...</version>
//     <setup-files>                      repeatable; optional <conditions>
//       <file>                           repeatable; optional <conditions>
//         <name/> <sha-256/> <timestamp/> <size/>
//       </file>
//     </setup-files>
//     <setup-commands executable="morrow.exe" arguments="...">
//       <sfx executable="..." arguments="..."/>      optional overrides
//       <conditions>...</conditions>                 optional
//     </setup-commands>                  repeatable
//   </product-info>
//
// The caller checks the document's signature before handing its bytes in.
// Conditions are evaluated while the document is read, against the facts of
// the system the parser was created for, so the results hold only what
// applies there.
//
// Element text is the element's first text or CDATA child, untrimmed; an
// absent element reads as empty. timestamp and size take an optional sign,
// decimal digits or "0x" and hexadecimal digits, clamped to the signed
// 64-bit range; empty or unparsable text reads as 0.
//
// arm64 is set when some `file` anywhere has a name containing "morrow.exe"
// and some `os` condition anywhere names the platform "arm64"; the two need
// not belong to the same file.
#include <cstdint>
#include <memory>
#include <pugixml.hpp>
#include <string>
#include <vector>

#include "repository/conditions/conditions.h"
#include "systools/os_version.h"

namespace kro::sfx {

struct product_record {
  std::wstring name;
  std::wstring version;
  bool arm64 = false;
};

struct setup_file_record {
  std::wstring name;
  std::wstring sha256;  // hexadecimal, as written
  int64_t timestamp = 0;
  int64_t size = 0;
};

using setup_file_list = std::vector<setup_file_record>;

class product_info_parser_intf {
 public:
  // Reads the document. Raises kro::exceptions::error "Product-info data are
  // empty." for no bytes and "Product-info data can't be parsed." for
  // malformed XML (after an error-level record with the parser's reason);
  // condition errors pass through. On failure the earlier results stay.
  virtual void parse(const std::vector<uint8_t>& bytes) = 0;
  virtual const product_record& get_product() const = 0;
  // Applicable files of applicable groups, in document order.
  virtual const setup_file_list& get_setup_files() const = 0;
  // The first applicable setup-commands element, or an empty handle after an
  // error-level record when none applies. The element lives in the parsed
  // document: valid until the next successful parse or the parser's end.
  virtual pugi::xml_node get_setup_commands() const = 0;
  // Writes the bytes last parsed, unchanged, to a new or truncated file.
  // Raises kro::exceptions::error with the system's code and "Unable to
  // create file '<path>'!" when it cannot be created.
  virtual void save(const std::wstring& path) const = 0;
  virtual ~product_info_parser_intf() = default;
  // A new evaluation context with the standard condition factory.
  virtual std::unique_ptr<repository::conditions::basic_context> create_condition_context() const = 0;
};

class product_info_parser {
 public:
  class factory {
   public:
    virtual ~factory() = default;
    // Conditions are evaluated against the running system.
    virtual std::shared_ptr<product_info_parser_intf> create();
    // Conditions are evaluated against the given system.
    virtual std::shared_ptr<product_info_parser_intf> create(const environment::os_version::facts& facts);
  };
};

}  // namespace kro::sfx
