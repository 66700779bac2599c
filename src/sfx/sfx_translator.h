#pragma once
// Localized messages. Texts live in an XML string table that the executable
// carries as resource type "XML", id 300:
//
//   <identifiers>
//     <identifier id="@Sfx_MsgBoxTitle">
//       <language lang="en-us" status="Reviewed">Setup failed.</language>
//       ...
//     </identifier>
//   </identifiers>
//
// A lookup selects the entry of the translator's language, falls back to
// en-us, and finally to the identifier itself, so ready-made texts that are
// no identifier pass through unchanged. Lookups never fail.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <pugixml.hpp>
#include <string>
#include <vector>

namespace kro::sfx {

class sfx_translator_intf {
 public:
  // The text of id with every placeholder "{i}" replaced by args[i], for
  // i = 0, 1, ... in that order (plain text replacement).
  virtual std::wstring format(const std::wstring& id, const std::vector<std::wstring>& args) = 0;
  // The text of id in the translator's language, else in en-us, else id.
  virtual std::wstring get_text(const std::wstring& id) = 0;
  virtual ~sfx_translator_intf() = default;
};

class sfx_translator : public sfx_translator_intf {
 public:
  class factory {
   public:
    virtual ~factory() = default;
    // A translator over the string table of the executable's own module
    // (an empty table when the module carries none).
    virtual std::shared_ptr<sfx_translator_intf> create(uint32_t lcid);
  };

  // Parses the document bytes (default options, encoding detected). A
  // document that cannot be parsed leaves the translator with an empty table.
  sfx_translator(uint32_t lcid, const void* document, size_t size);

  std::wstring format(const std::wstring& id, const std::vector<std::wstring>& args) override;
  std::wstring get_text(const std::wstring& id) override;

 private:
  pugi::xml_document m_document;
  uint32_t m_lcid;
};

}  // namespace kro::sfx
