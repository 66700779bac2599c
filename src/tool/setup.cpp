// Folders of setup files, safe names and the file list of product-info.xml.
#include "tool/setup.h"

#include <algorithm>
#include <pugixml.hpp>
#include <system_error>

#include "files/file_handle.h"
#include "files/safe_name.h"
#include "root/sha256.h"
#include "text/text.h"
#include "tool/io.h"

namespace kro::tool {

std::vector<folder_file> folder_files(const std::filesystem::path& dir) {
  namespace fs = std::filesystem;
  std::error_code ec;
  if (!fs::is_directory(dir, ec)) throw tool_error("'" + dir.string() + "' is no folder");
  std::vector<folder_file> out;
  fs::recursive_directory_iterator it(dir, ec), end;
  if (ec) throw tool_error("cannot list '" + dir.string() + "': " + ec.message());
  for (; it != end; it.increment(ec)) {
    if (ec) break;
    const fs::directory_entry& entry = *it;
    const fs::path& path = entry.path();
    if (entry.is_symlink(ec) && entry.is_directory(ec))
      throw tool_error("'" + path.string() +
                       "' is a link to a folder; it is not followed, list its files instead");
    if (entry.is_directory(ec)) continue;
    if (!entry.is_regular_file(ec))
      throw tool_error("'" + path.string() + "' is neither a file nor a folder");
    const std::u8string relative = path.lexically_relative(dir).generic_u8string();
    std::string name(relative.begin(), relative.end());
    if (text::to_utf8(text::from_utf8(name)) != name)
      throw tool_error("the name of '" + path.string() + "' is not valid UTF-8");
    out.push_back({std::move(name), path});
  }
  if (ec) throw tool_error("cannot list '" + dir.string() + "': " + ec.message());
  std::sort(out.begin(), out.end(),
            [](const folder_file& a, const folder_file& b) { return a.name < b.name; });
  return out;
}

bool is_safe_name(const std::string& name) {
  const std::wstring wide = text::from_utf8(name);
  return text::to_utf8(wide) == name && files::is_safe_relative_name(wide);
}

std::filesystem::path below(const std::filesystem::path& dir, const std::string& name) {
  std::filesystem::path out = dir;
  size_t start = 0;
  for (size_t i = 0; i <= name.size(); ++i) {
    if (i == name.size() || name[i] == '/' || name[i] == '\\') {
      const std::string segment = name.substr(start, i - start);
      out /= std::filesystem::path(std::u8string(segment.begin(), segment.end()));
      start = i + 1;
    }
  }
  return out;
}

std::wstring wide_path(const std::filesystem::path& path) {
  const std::u8string utf8 = path.u8string();
  return text::from_utf8(std::string(utf8.begin(), utf8.end()));
}

std::string file_sha256(const std::filesystem::path& path) {
  try {
    const files::unique_file file = files::open_for_read(wide_path(path));
    return root::hash_file(file.get()).to_hex_narrow();
  } catch (const std::exception& e) {
    throw tool_error("cannot hash '" + path.string() + "': " + e.what());
  }
}

std::vector<listed_file> listed_setup_files(const std::string& document, const std::string& where) {
  pugi::xml_document xml;
  const pugi::xml_parse_result parsed = xml.load_buffer(document.data(), document.size());
  if (!parsed) throw tool_error("'" + where + "' does not parse: " + parsed.description());
  const pugi::xml_node root = xml.child("product-info");
  if (!root) throw tool_error("'" + where + "' has no <product-info> root element");
  std::vector<listed_file> out;
  for (const pugi::xml_node& group : root.children("setup-files"))
    for (const pugi::xml_node& file : group.children("file"))
      out.push_back({file.child("name").child_value(), file.child("sha-256").child_value()});
  return out;
}

std::string xml_escape(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

}  // namespace kro::tool
