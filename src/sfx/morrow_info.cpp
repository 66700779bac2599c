// The hand-off document morrow-info.xml:
//
//   <?xml version="1.0" encoding="utf-8"?>
//   <morrow-info xmlns:xs="http://www.w3.org/2001/XMLSchema-instance">
//   	...copies of the elements handed in, in the order they came...
//   </morrow-info>
//
// Written as UTF-8 without byte-order mark, one tab per level. Every operation
// holds the document's mutex for its whole duration.
//
// Every text the document holds is a string of XML 1.0 characters (the Char
// production: tab, line feed, carriage return, U+0020-U+D7FF, U+E000-U+FFFD,
// U+10000-U+10FFFF), so that any XML reader accepts the file. A contributed
// text may hold others (a command line can carry control characters, a
// payload alias any bytes): when an element is handed in, each character
// outside that set in its subtree's texts and attribute values - the other C0
// controls, U+FFFE, U+FFFF, a lone surrogate or a broken UTF-8 sequence - is
// replaced by U+FFFD. Element and attribute names are the contributors' own
// (literals of the program, or parsed from XML and so already well-formed).
#include "sfx/morrow_info.h"

#include <cstdio>
#include <mutex>
#include <optional>

#include "log/logger.h"
#include "systools/process_facts.h"
#include "text/text.h"

namespace kro::sfx {
namespace {

constexpr const char* root_name = "morrow-info";
constexpr const char* schema_instance_uri = "http://www.w3.org/2001/XMLSchema-instance";

std::FILE* open_for_write(const std::wstring& path) {
#if defined(_WIN32)
  return _wfopen(path.c_str(), L"wb");
#else
  return std::fopen(text::to_utf8(path).c_str(), "wb");
#endif
}

bool is_xml_char(wchar_t c) {
  // On UTF-16 systems a character beyond U+FFFF is a surrogate pair; the
  // wide text here comes from from_utf8, whose surrogates are always paired.
  const auto u = static_cast<uint32_t>(c);
  if (u < 0x20) return u == 0x9 || u == 0xA || u == 0xD;
  if (u < 0xD800) return true;
  if (u < 0xE000) return sizeof(wchar_t) == 2;
  if (u < 0x10000) return u <= 0xFFFD;
  return u <= 0x10FFFF;
}

// The UTF-8 text with every character outside XML 1.0's Char, and every
// broken UTF-8 sequence, replaced by U+FFFD; nothing when it is clean.
std::optional<std::string> xml_safe(const char* utf8) {
  std::wstring wide = text::from_utf8(utf8);
  for (wchar_t& c : wide) {
    if (!is_xml_char(c)) c = 0xFFFD;
  }
  std::string clean = text::to_utf8(wide);
  if (clean == utf8) return std::nullopt;
  return clean;
}

// Applies xml_safe to every text and attribute value below and at node,
// without recursion (a copied subtree may be deep).
void make_xml_safe(pugi::xml_node node) {
  const pugi::xml_node end = node;
  pugi::xml_node at = node;
  while (at) {
    for (pugi::xml_attribute a : at.attributes()) {
      if (auto clean = xml_safe(a.value())) a.set_value(clean->c_str());
    }
    if (at.type() != pugi::node_element && at.type() != pugi::node_document) {
      if (auto clean = xml_safe(at.value())) at.set_value(clean->c_str());
    }
    if (at.first_child()) {
      at = at.first_child();
      continue;
    }
    while (at != end && !at.next_sibling()) at = at.parent();
    if (at == end) break;
    at = at.next_sibling();
  }
}

// Logs a failed save and answers false, leaving the system's code of the
// failure as the thread's last error for the caller.
bool failed(const wchar_t* format, const std::wstring& path) {
  const uint32_t error = systools::last_error();
  log::write(log::error, format, path.c_str());
  systools::set_last_error(error);
  return false;
}

class morrow_info_document final : public morrow_info_intf {
 public:
  morrow_info_document() {
    pugi::xml_node declaration = m_doc.append_child(pugi::node_declaration);
    declaration.append_attribute("version").set_value("1.0");
    declaration.append_attribute("encoding").set_value("utf-8");
    m_root = m_doc.append_child(root_name);
    m_root.append_attribute("xmlns:xs").set_value(schema_instance_uri);
  }

  void add_copy(const pugi::xml_node& element) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    make_xml_safe(m_root.append_copy(element));
  }

  void add_move(const pugi::xml_node& node) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    // pugixml moves only nodes of the same document and refuses the root's
    // own ancestors; anything else is left where it is.
    if (node && node.root() == m_doc) make_xml_safe(m_root.append_move(node));
  }

  bool save(const std::wstring& path) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::FILE* file = open_for_write(path);
    if (!file) return failed(L"Unable to open '%ls' for writing.", path);
    systools::set_last_error(0);  // what opening left behind is no write error
    pugi::xml_writer_file writer(file);
    m_doc.save(writer, "\t", pugi::format_indent | pugi::format_no_declaration, pugi::encoding_utf8);
    const bool written = std::fflush(file) == 0 && !std::ferror(file);
    const uint32_t write_error = systools::last_error();
    const bool closed = std::fclose(file) == 0;
    if (!written) systools::set_last_error(write_error);
    if (!written || !closed) return failed(L"Unable to write '%ls'.", path);
    return true;
  }

 private:
  std::mutex m_mutex;
  pugi::xml_document m_doc;
  pugi::xml_node m_root;
};

}  // namespace

std::shared_ptr<morrow_info_intf> morrow_info::factory::create() {
  return std::make_shared<morrow_info_document>();
}

void add_text(morrow_info_intf& info, const char* name, const std::wstring& value) {
  pugi::xml_document document;
  document.append_child(name).text().set(text::to_utf8(value).c_str());
  info.add_copy(document.document_element());
}

}  // namespace kro::sfx
