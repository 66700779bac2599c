#include "sfx/sfx_translator.h"

#include <exception>

#include "sfx/languages.h"
#include "text/text.h"

namespace kro::sfx {
namespace {

static_assert(sizeof(pugi::char_t) == sizeof(char), "queries are built as UTF-8");

// The element of the first match of an XPath query; empty when none.
pugi::xml_node select(const pugi::xml_document& document, const std::string& query) {
  return document.select_node(query.c_str()).node();
}

}  // namespace

sfx_translator::sfx_translator(uint32_t lcid, const void* document, size_t size) : m_lcid(lcid) {
  try {
    if (document != nullptr && size != 0) {
      const pugi::xml_parse_result result =
          m_document.load_buffer(document, size, pugi::parse_default, pugi::encoding_auto);
      // A failed parse may leave a partial tree behind: use none of it.
      if (!result) m_document.reset();
    }
  } catch (const std::exception&) {
    m_document.reset();
  }
}

std::wstring sfx_translator::get_text(const std::wstring& id) {
  try {
    const std::string key = text::to_utf8(id);
    const std::string language = text::to_utf8(languages::name(m_lcid));
    pugi::xml_node found =
        select(m_document, text::format("/identifiers/identifier[@id='%s']/language[@lang='%s']", key.c_str(),
                                        language.c_str()));
    if (!found) {
      found = select(m_document,
                     text::format("/identifiers/identifier[@id='%s']/language[@lang='en-us']", key.c_str()));
    }
    if (!found) return id;
    return text::from_utf8(found.text().get());
  } catch (const std::exception&) {
    // An identifier that breaks the expression (an apostrophe) is no key.
    return id;
  }
}

std::wstring sfx_translator::format(const std::wstring& id, const std::vector<std::wstring>& args) {
  std::wstring result = get_text(id);
  for (size_t i = 0; i < args.size(); ++i) {
    const std::wstring placeholder = text::format(L"{%d}", static_cast<int>(i));
    const std::wstring& value = args[i];
    // Scan on behind each inserted value, so a value holding its own
    // placeholder is not replaced again within the same step.
    for (size_t at = result.find(placeholder); at != std::wstring::npos;
         at = result.find(placeholder, at + value.size())) {
      result.replace(at, placeholder.size(), value);
    }
  }
  return result;
}

}  // namespace kro::sfx
