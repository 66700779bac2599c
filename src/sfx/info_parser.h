#pragma once
// sfx-info.xml: the signed configuration document of every package. It names
// the products with their release channels, the download repository, the
// analytics endpoint, the localized window title and the run switches
// silent, nosplash and clear.
//
//   <sfx-info>
//     <repository><base-url>host/path</base-url></repository>
//     <report><url>...</url></report>
//     <params><silent>y</silent><nosplash>0</nosplash><clear>t</clear></params>
//     <title lang="en-us">...</title>                          (repeatable)
//     <products><product name="..." channel="..."/></products> (one at least)
//   </sfx-info><!-- KROSig2A...KROSig2A -->
//
// load() finds the document in the payload, checks its signature, parses it,
// keeps the values below and hands a copy of every child node of the root to
// the hand-off document. An element's text is its first text or CDATA child;
// a boolean is true when its text starts with 1, t, T, y or Y; a language tag
// outside the language table (or none) is 1033. The option "channels"
// ("name=channel;name=channel") replaces the channels of the named products.
//
// Getters are valid only after load() has returned normally; a failed load
// leaves every value at its default.
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "root/verify_signature.h"
#include "sfx/sfx_data.h"

namespace kro::sfx {

// (product name, channel)
using product_pair = std::pair<std::wstring, std::wstring>;
using product_list = std::vector<product_pair>;

class info_parser_intf {
 public:
  virtual ~info_parser_intf() = default;
  // Raises missign_sfx_file (no document, unparsable document) or
  // kro::exceptions::error (unsigned document, code 44030 for a malformed
  // channel override, no product).
  virtual void load() = 0;
  // In document order, duplicates kept.
  virtual const product_list& get_products() = 0;
  virtual const std::wstring& get_base_url() = 0;
  // The title of the language, else the 1033 title, else empty.
  virtual std::wstring get_title(int32_t language) = 0;
  virtual bool is_silent() = 0;
  virtual bool is_nosplash() = 0;
  virtual bool is_clear() = 0;
  virtual const std::wstring& get_report_url() = 0;
};

class info_parser : public info_parser_intf, private sfx_data_holder, private verify_signature::factory {
 public:
  // The payload's file of this alias.
  static constexpr const wchar_t* file_alias = L"sfx-info.xml";

  explicit info_parser(sfx_data& data);

  void load() override;
  const product_list& get_products() override { return m_values.products; }
  const std::wstring& get_base_url() override { return m_values.base_url; }
  std::wstring get_title(int32_t language) override;
  bool is_silent() override { return m_values.silent; }
  bool is_nosplash() override { return m_values.nosplash; }
  bool is_clear() override { return m_values.clear; }
  const std::wstring& get_report_url() override { return m_values.report_url; }

  class factory {
   public:
    virtual ~factory() = default;
    virtual std::unique_ptr<info_parser_intf> create(sfx_data& data);
  };

 private:
  // What a loaded document gives.
  struct values {
    std::map<int32_t, std::wstring> titles;
    std::wstring base_url;
    std::wstring report_url;
    bool silent = false;
    bool nosplash = false;
    bool clear = false;
    product_list products;
  };

  std::vector<uint8_t> read_signed_document();

  values m_values;
};

}  // namespace kro::sfx
