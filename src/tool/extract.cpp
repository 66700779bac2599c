// extract: every payload file of a package into a folder, through the
// self-extractor's own payload index and unpacker, which check each file's
// SHA-256.
//
// The package is opened and mapped once; the signature is checked on that
// mapping, and the files are read from it. Every file is first unpacked to
// "<name>.tmp-sfxtool" beside its target; only when all of them are in place
// and checked are they renamed to their names. On any failure the temporary
// files and the folders this run created are removed again, so a failed
// extraction leaves the folder as it was (files that were there before stay).
#include <cstdio>
#include <filesystem>
#include <map>
#include <set>
#include <system_error>

#include "exceptions/exceptions.h"
#include "root/verify_signature.h"
#include "sfx/payload.h"
#include "sfx/sfx_data.h"
#include "text/text.h"
#include "tool/commands.h"
#include "tool/io.h"
#include "tool/options.h"
#include "tool/setup.h"

namespace kro::tool {
namespace {

namespace fs = std::filesystem;

constexpr const char* help_text =
    "usage: sfxtool extract PACKAGE -o DIR [--no-verify]\n\n"
    "Checks the signature of PACKAGE under key set 3 (as sfx.exe and verify do;\n"
    "a package that does not verify is refused unless --no-verify), then writes\n"
    "every payload file into DIR under its alias, sub-folders created, with the\n"
    "record's time stamp as modification time. Each file's SHA-256 is checked by\n"
    "the self-extractor's own unpacker. When several records carry one alias, the\n"
    "last one is written, as sfx.exe takes it; a record without an alias (found by\n"
    "its hash only) is written under its sha-256 text. Prints one line per file:\n"
    "name, size, sha-256.\n\n"
    "Refused before anything is written: an alias that sfx.exe would refuse as a\n"
    "path below its folders, aliases that need one path as file and as folder, and\n"
    "a folder of DIR that is a link. Files already in DIR under these names are\n"
    "replaced; nothing is written to them until every file has been unpacked and\n"
    "checked, and a failure (a wrong checksum, say) removes what this run wrote.";

struct item {
  std::string name;
  std::wstring alias;  // payload key; empty for a record found by hash
  std::wstring sha256;
  uint64_t size = 0;
  uint64_t timestamp = 0;
  fs::path target;
  fs::path temporary;
};

// Removes what a failed extraction wrote.
class cleanup {
 public:
  ~cleanup() {
    if (m_done) return;
    std::error_code ignored;
    for (auto it = m_files.rbegin(); it != m_files.rend(); ++it) fs::remove(*it, ignored);
    for (auto it = m_folders.rbegin(); it != m_folders.rend(); ++it)
      fs::remove(*it, ignored);  // only if empty
  }
  void file(const fs::path& p) { m_files.push_back(p); }
  void folder(const fs::path& p) { m_folders.push_back(p); }
  void done() { m_done = true; }

 private:
  std::vector<fs::path> m_files;
  std::vector<fs::path> m_folders;
  bool m_done = false;
};

// Creates the folders from root down to dir, refusing links on the way.
void make_folders(const fs::path& root, const fs::path& dir, cleanup& undo) {
  fs::path at = root;
  for (const fs::path& part : dir.lexically_relative(root)) {
    if (part == ".") continue;
    at /= part;
    std::error_code ec;
    const fs::file_status status = fs::symlink_status(at, ec);
    if (fs::is_symlink(status))
      throw tool_error("'" + at.string() + "' is a link; refusing to write through it");
    if (fs::is_directory(status)) continue;
    if (fs::exists(status)) throw tool_error("'" + at.string() + "' exists and is no folder");
    if (!fs::create_directory(at, ec) && ec)
      throw tool_error("cannot create '" + at.string() + "': " + ec.message());
    undo.folder(at);
  }
}

}  // namespace

int extract(const args& a) {
  const options o(a, {"o"}, {"no-verify"});
  if (o.help()) {
    std::puts(help_text);
    return 0;
  }
  if (o.positional().size() != 1) throw usage_error("one package expected");
  const std::string package = o.positional()[0];
  const fs::path out = o.required("o");

  sfx::executable_image image;
  try {
    image = sfx::open_executable(text::from_utf8(package));
  } catch (const std::exception& e) {
    throw tool_error("cannot open '" + package + "': " + e.what());
  }
  const files::file_mapping& mapping = *image.mapping;
  if (!o.flag("no-verify")) {
    char which = 0;
    if (!mapping.mapped() ||
        !sfx::signature::check_block(mapping.view(), mapping.view_size(), root::dsa::sfx_key_set, &which))
      throw tool_error(
          "'" + package +
          "' does not verify under key set 3; sfx.exe would refuse it (--no-verify extracts it anyway)");
  }

  // The records in package order, the last of each name winning.
  std::vector<item> items;
  std::map<std::string, size_t> by_name;
  std::vector<std::string> unsafe;
  {
    sfx::payload_enumerator records(image.mapping);
    for (bool more = records.first(); more; more = records.next()) {
      const sfx::payload_entry& e = *records.current();
      item it;
      it.alias = e.alias;
      it.name = e.alias.empty() ? text::to_utf8(e.sha256) : text::to_utf8(e.alias);
      it.sha256 = e.sha256;
      it.timestamp = e.timestamp;
      if (!is_safe_name(it.name)) {
        unsafe.push_back(it.name);
        continue;
      }
      const auto [at, fresh] = by_name.emplace(it.name, items.size());
      if (fresh) {
        items.push_back(std::move(it));
      } else {
        items[at->second] = std::move(it);
      }
    }
  }
  if (!unsafe.empty()) {
    std::string list;
    for (const std::string& n : unsafe) list += (list.empty() ? "'" : ", '") + n + "'";
    throw tool_error("the package holds aliases that are no safe relative names, sfx.exe must refuse them: " +
                     list);
  }
  // One path cannot be a file and a folder.
  std::set<std::string> folders;
  for (const item& it : items)
    for (size_t i = it.name.find_first_of("/\\"); i != std::string::npos;
         i = it.name.find_first_of("/\\", i + 1))
      folders.insert(below("", it.name.substr(0, i)).generic_string());
  for (const item& it : items)
    if (folders.count(below("", it.name).generic_string()))
      throw tool_error("alias '" + it.name + "' names a file and, in other aliases, a folder");

  // The payload index of the self-extractor hands out the unpackers.
  sfx::sfx_data data;
  std::unique_ptr<sfx::payload_intf> index;
  try {
    index = sfx::payload::factory().create_from(image, data);
  } catch (const std::exception& e) {
    throw tool_error("cannot read the payload of '" + package + "': " + e.what());
  }

  cleanup undo;
  std::error_code ec;
  if (!fs::exists(out, ec)) {
    fs::create_directories(out, ec);
    if (ec) throw tool_error("cannot create '" + out.string() + "': " + ec.message());
    undo.folder(out);
  } else if (!fs::is_directory(out, ec)) {
    throw tool_error("'" + out.string() + "' is no folder");
  }
  {
    progress shown("extracting", items.size());
    for (item& it : items) {
      it.target = below(out, it.name);
      make_folders(out, it.target.parent_path(), undo);
      if (fs::is_symlink(fs::symlink_status(it.target, ec)) ||
          fs::is_directory(fs::symlink_status(it.target, ec)))
        throw tool_error("'" + it.target.string() + "' exists and is a link or a folder");
      it.temporary = it.target;
      it.temporary += ".tmp-sfxtool";
      fs::remove(it.temporary, ec);
      const std::shared_ptr<sfx::unpacker_intf> unpacker =
          it.alias.empty() ? index->find_by_hash(it.sha256) : index->find_by_alias(it.alias);
      if (!unpacker) throw tool_error("internal error: '" + it.name + "' is not in the payload index");
      undo.file(it.temporary);
      try {
        unpacker->unpack_to_file(wide_path(it.temporary));
      } catch (const kro::exceptions::detail::base& e) {
        throw tool_error("'" + it.name + "': " + e.what() + " (code " + std::to_string(e.code()) + ")");
      }
      it.size = fs::file_size(it.temporary);
      shown.advance(1);
    }
  }
  for (const item& it : items) {
    fs::rename(it.temporary, it.target, ec);
    if (ec)
      throw tool_error("cannot rename '" + it.temporary.string() + "' to '" + it.target.string() +
                       "': " + ec.message());
  }
  undo.done();
  for (const item& it : items) {
    const auto stamp = std::chrono::sys_seconds(std::chrono::seconds(static_cast<int64_t>(it.timestamp)));
    fs::last_write_time(it.target, std::chrono::file_clock::from_sys(stamp), ec);
    std::printf("%s  %llu  %s\n", it.name.c_str(), static_cast<unsigned long long>(it.size),
                text::to_utf8(it.sha256).c_str());
  }
  return 0;
}

}  // namespace kro::tool
