#include "sfx/info_parser.h"

#include <pugixml.hpp>

#include "exceptions/exceptions.h"
#include "log/logger.h"
#include "sfx/error_codes.h"
#include "sfx/languages.h"
#include "sfx/morrow_info.h"
#include "sfx/payload.h"
#include "text/text.h"

namespace kro::sfx {
namespace {

constexpr const char* file_name = "sfx-info.xml";

// The first text or CDATA child of the element; empty when it has none.
std::wstring text_of(const pugi::xml_node& element) { return text::from_utf8(element.text().get()); }

bool is_true(const char* text) {
  switch (text[0]) {
    case '1':
    case 't':
    case 'T':
    case 'y':
    case 'Y':
      return true;
    default:
      return false;
  }
}

// The first node of the document that the path selects.
pugi::xml_node first(const pugi::xml_document& doc, const char* path) { return doc.select_node(path).node(); }

std::vector<std::wstring> split(const std::wstring& text, wchar_t separator) {
  std::vector<std::wstring> parts;
  size_t from = 0;
  for (size_t at; (at = text.find(separator, from)) != std::wstring::npos; from = at + 1)
    parts.push_back(text.substr(from, at - from));
  parts.push_back(text.substr(from));
  return parts;
}

// "name=channel;name=channel": every piece (empty ones too) must hold exactly
// one "=". A later piece for a name replaces an earlier one.
std::map<std::wstring, std::wstring> channel_overrides(const std::wstring& option) {
  std::map<std::wstring, std::wstring> overrides;
  for (const std::wstring& piece : split(option, L';')) {
    std::vector<std::wstring> parts = split(piece, L'=');
    if (parts.size() != 2)
      throw kro::exceptions::error(codes::exit_channel_override, "Channel override has wrong format.");
    overrides[parts[0]] = parts[1];
  }
  return overrides;
}

}  // namespace

info_parser::info_parser(sfx_data& data) : sfx_data_holder(data) {}

std::unique_ptr<info_parser_intf> info_parser::factory::create(sfx_data& data) {
  return std::make_unique<info_parser>(data);
}

std::vector<uint8_t> info_parser::read_signed_document() {
  std::shared_ptr<unpacker_intf> file;
  if (data().payload) file = data().payload->find_by_alias(file_alias);
  if (!file) {
    log::write(log::error, "Mandatory file '%s' is missing in payload.", file_name);
    throw exceptions::missign_sfx_file(codes::none, "sfx info file wasn't found in payload.");
  }
  std::vector<uint8_t> bytes = file->unpack_to_memory();
  std::shared_ptr<verify_signature_intf> checker = verify_signature::factory::create();
  if (!checker || !checker->verify_block(bytes.data(), bytes.size())) {
    log::write(log::error, "DSA verification check of file '%s' fail!", file_name);
    throw kro::exceptions::error(codes::none, "File is not DSA signed (alias:%s)!", file_name);
  }
  return bytes;
}

void info_parser::load() {
  m_values = values{};
  const std::vector<uint8_t> bytes = read_signed_document();

  pugi::xml_document doc;
  const pugi::xml_parse_result parsed =
      doc.load_buffer(bytes.data(), bytes.size(), pugi::parse_default, pugi::encoding_auto);
  if (!parsed) {
    log::write(log::error, "Failed to parse xml file '%s', '%s'", file_name, parsed.description());
    throw exceptions::missign_sfx_file(codes::none, "sfx info can't be parsed.");
  }

  values read;
  if (pugi::xml_node node = first(doc, "sfx-info/repository/base-url")) read.base_url = text_of(node);
  if (pugi::xml_node node = first(doc, "sfx-info/report/url")) read.report_url = text_of(node);
  if (pugi::xml_node node = first(doc, "sfx-info/params/silent")) read.silent = is_true(node.text().get());
  if (pugi::xml_node node = first(doc, "sfx-info/params/nosplash"))
    read.nosplash = is_true(node.text().get());
  if (pugi::xml_node node = first(doc, "sfx-info/params/clear")) read.clear = is_true(node.text().get());
  for (const pugi::xpath_node& title : doc.select_nodes("sfx-info/title")) {
    const pugi::xml_node element = title.node();
    const auto language =
        static_cast<int32_t>(languages::lcid(text::from_utf8(element.attribute("lang").value())));
    read.titles.emplace(language, text_of(element));  // the first title of a language stays
  }

  // The overrides are checked before the products are looked at, so a
  // malformed option fails even for a document without products.
  std::map<std::wstring, std::wstring> overrides;
  if (data().cmd.has(L"channels")) overrides = channel_overrides(data().cmd.get(L"channels"));

  const pugi::xpath_node_set products = doc.select_nodes("sfx-info/products/product");
  if (products.empty())
    throw kro::exceptions::error(codes::none, "The sfx-info.xml does not contain any product data!");
  for (const pugi::xpath_node& product : products) {
    const pugi::xml_node element = product.node();
    std::wstring name = text::from_utf8(element.attribute("name").value());
    std::wstring channel = text::from_utf8(element.attribute("channel").value());
    if (auto found = overrides.find(name); found != overrides.end()) channel = found->second;
    read.products.emplace_back(std::move(name), std::move(channel));
  }

  if (data().info) {
    for (const pugi::xml_node& child : doc.child("sfx-info").children()) data().info->add_copy(child);
  }
  m_values = std::move(read);
}

std::wstring info_parser::get_title(int32_t language) {
  if (auto found = m_values.titles.find(language); found != m_values.titles.end()) return found->second;
  if (language != static_cast<int32_t>(languages::default_lcid)) {
    if (auto found = m_values.titles.find(static_cast<int32_t>(languages::default_lcid));
        found != m_values.titles.end())
      return found->second;
  }
  return {};
}

}  // namespace kro::sfx
