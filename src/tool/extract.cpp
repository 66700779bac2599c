// extract: every payload file of a package into a folder, through the
// self-extractor's own payload reader and unpacker, which check each file's
// SHA-256.
//
// The package is opened and mapped once; the signature is checked on that
// mapping, and the files are read from it. Every file is first unpacked into
// a temporary file beside its target, created exclusively under a random name
// (io.h); only when all of them are in place, checked and flushed are they
// renamed to their names. On any failure the temporary files and the folders
// this run created are removed again, so a failed extraction leaves the
// folder as it was (files that were there before stay).
//
// A package that has not been verified (--no-verify) is hostile: no file may
// unpack to more than the format's bound (4 GiB - 1 bytes) or --max-size,
// LZMA output is never preallocated from the size its header announces, and
// record time stamps of any 64-bit value are taken without overflow.
#include <cstdio>
#include <filesystem>
#include <map>
#include <set>
#include <system_error>

#include "exceptions/exceptions.h"
#include "packers/lzma_packer.h"
#include "root/verify_signature.h"
#include "sfx/payload.h"
#include "sfx/payload_format.h"
#include "text/text.h"
#include "tool/commands.h"
#include "tool/io.h"
#include "tool/options.h"
#include "tool/setup.h"

namespace kro::tool {
namespace {

namespace fs = std::filesystem;

constexpr const char* help_text =
    "usage: sfxtool extract PACKAGE -o DIR [--no-verify] [--max-size BYTES]\n\n"
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
    "checked, and a failure (a wrong checksum, say) removes what this run wrote.\n\n"
    "No file is unpacked beyond 4294967295 bytes (the format's bound) or BYTES,\n"
    "whatever its LZMA header announces; such a file fails the extraction. A time\n"
    "stamp beyond what file times hold is set to the latest one they do (with a\n"
    "warning).";

struct item {
  std::string name;
  sfx::payload_entry entry;
  uint64_t size = 0;
  fs::path target;
  fs::path temporary;
};

// Removes what a failed extraction wrote.
class cleanup {
 public:
  ~cleanup() {
    if (m_done) return;
    std::error_code ignored;
    for (auto it = m_files.rbegin(); it != m_files.rend(); ++it) remove_file(*it);
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

// --max-size BYTES, held to the format's bound.
uint64_t size_limit(const options& o) {
  const auto given = o.value("max-size");
  if (!given) return sfx::payload_format::max_file_bytes;
  if (given->empty() || given->size() > 20 || given->find_first_not_of("0123456789") != std::string::npos)
    throw usage_error("--max-size takes a number of bytes");
  try {
    return std::min<uint64_t>(std::stoull(*given), sfx::payload_format::max_file_bytes);
  } catch (const std::out_of_range&) {
    return sfx::payload_format::max_file_bytes;
  }
}

}  // namespace

int extract(const args& a) {
  const options o(a, {"o", "max-size"}, {"no-verify"});
  if (o.help()) {
    std::puts(help_text);
    return 0;
  }
  if (o.positional().size() != 1) throw usage_error("one package expected");
  const std::string package = o.positional()[0];
  const fs::path out = o.required("o");
  const uint64_t limit = size_limit(o);

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
        !sfx::signature::check_block({mapping.view(), mapping.view_size()}, root::dsa::sfx_key_set, &which))
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
      it.entry = e;
      it.name = e.alias.empty() ? text::to_utf8(e.sha256) : text::to_utf8(e.alias);
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
      // The self-extractor's own unpacker, held to the limit, into a file
      // created here exclusively.
      sfx::unpacker unpacker(image.mapping, it.entry);
      unpacker.set_output_limit(limit);
      temporary_file temporary = create_temporary_beside(it.target);
      it.temporary = temporary.path;
      undo.file(it.temporary);
      try {
        unpacker.unpack_to_handle(temporary.file.get());
      } catch (const kro::exceptions::detail::base& e) {
        temporary.file.reset();
        std::string hint;
        if (e.code() == packers::codec_memory_error)
          hint = "; at most " + std::to_string(limit) + " bytes are unpacked per file (--max-size BYTES)";
        throw tool_error("'" + it.name + "': " + e.what() + " (code " + std::to_string(e.code()) + ")" +
                         hint);
      }
      flush_file(temporary.file.get(), it.temporary);
      temporary.file.reset();
      it.size = fs::file_size(it.temporary);
      shown.advance(1);
    }
  }
  for (const item& it : items) replace_file(it.temporary, it.target);
  undo.done();
  for (const item& it : items) {
    const uint64_t stamp = it.entry.timestamp;
    if (stamp > latest_file_time)
      std::fprintf(
          stderr,
          "sfxtool extract: warning: '%s': time stamp %llu (%s) lies beyond what file times hold; set "
          "to %s\n",
          it.name.c_str(), static_cast<unsigned long long>(stamp), utc_text(stamp).c_str(),
          utc_text(latest_file_time).c_str());
    if (!set_modification_time(it.target, stamp))
      std::fprintf(stderr, "sfxtool extract: warning: '%s': cannot set its modification time\n",
                   it.name.c_str());
    std::printf("%s  %llu  %s\n", it.name.c_str(), static_cast<unsigned long long>(it.size),
                text::to_utf8(it.entry.sha256).c_str());
  }
  return 0;
}

}  // namespace kro::tool
