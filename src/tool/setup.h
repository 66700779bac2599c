#pragma once
// Setup files of offline packages, shared by product-info, pack and extract:
// the files of a folder under their relative names, the names sfx.exe accepts
// as paths below its folders, and the setup files a product-info.xml lists.
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace kro::tool {

struct folder_file {
  std::string name;  // relative to the folder, "/" between segments, UTF-8
  std::filesystem::path path;
};

// Every file below dir, recursively, sorted by name (byte order). tool_error
// for a missing folder, a name that is not UTF-8, a link to a folder (not
// followed, so its files would be missed) or an entry that is neither a file
// nor a folder.
std::vector<folder_file> folder_files(const std::filesystem::path& dir);

// Whether sfx.exe takes the UTF-8 name as a path below its folders
// (files::is_safe_relative_name); an invalid UTF-8 sequence is never safe.
bool is_safe_name(const std::string& name);

// The path below dir that a safe name gives, segment by segment.
std::filesystem::path below(const std::filesystem::path& dir, const std::string& name);

// The path as the library's wide-string file functions take it (UTF-8 on
// POSIX, whatever the locale).
std::wstring wide_path(const std::filesystem::path& path);

// Lower-case hex SHA-256 of a file, read through the file handle.
std::string file_sha256(const std::filesystem::path& path);

// One <file> of a product-info.xml.
struct listed_file {
  std::string name;
  std::string sha256;
};

// Every file of every setup-files group of a product-info document, whatever
// the conditions (the systems the package will run on are not known here).
// tool_error naming where when the document is no product-info.xml.
std::vector<listed_file> listed_setup_files(const std::string& document, const std::string& where);

// The text with &, <, > and " escaped for element text and attribute values.
std::string xml_escape(const std::string& text);

}  // namespace kro::tool
