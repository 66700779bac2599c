// pack: a signed package from the stub sfx.exe, sfx-info.xml and files.
//
// Layout written: the stub cut where its last section data ends (bytes the
// linker left behind it, such as a COFF symbol table, are dropped and said
// so), the record of sfx-info.xml, one record per file in the order given,
// the end record, the 72-byte signature block, and, when a certificate table
// is reserved, zero padding to the 8-byte boundary where Authenticode signing
// will put it. The signature covers everything before its block with the PE
// CheckSum hashed as zeros; the security directory entry is covered too, so a
// reserved table's final offset and size are written into it before signing.
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <map>
#include <pugixml.hpp>
#include <set>

#include "bytes/pe_format.h"
#include "root/verify_signature.h"
#include "sfx/payload_format.h"
#include "sfx/payload_writer.h"
#include "sfx/product_info_parser.h"
#include "text/text.h"
#include "tool/commands.h"
#include "tool/io.h"
#include "tool/keys.h"
#include "tool/options.h"
#include "tool/pe.h"
#include "tool/setup.h"

namespace kro::tool {
namespace {

namespace sig = sfx::signature;

struct input_file {
  std::string alias;
  std::filesystem::path path;
  bool lzma = false;
  uint32_t type = sfx::payload_format::type_file;
  std::optional<std::vector<uint8_t>> data;  // when not read from path (a signed copy)
};

// "[ALIAS=]PATH": the alias defaults to the file name.
input_file parse_input(const std::string& spec, bool lzma) {
  const auto eq = spec.find('=');
  input_file f;
  f.path = eq == std::string::npos ? spec : spec.substr(eq + 1);
  f.alias = eq == std::string::npos ? f.path.filename().string() : spec.substr(0, eq);
  f.lzma = lzma;
  if (f.alias.empty()) throw usage_error("empty alias in '" + spec + "'");
  if (!std::filesystem::is_regular_file(f.path)) throw tool_error("cannot open '" + f.path.string() + "'");
  if (std::filesystem::file_size(f.path) > sfx::payload_format::max_file_bytes)
    throw tool_error("'" + f.path.string() + "' is " + std::to_string(std::filesystem::file_size(f.path)) +
                     " bytes; a payload file holds at most 4294967295");
  if (f.alias.size() > sfx::payload_format::max_alias_bytes)
    throw tool_error("alias of '" + f.path.string() + "' is " + std::to_string(f.alias.size()) +
                     " bytes; at most 65535 fit");
  return f;
}

bool ends_with(const std::string& s, const char* tail) {
  const size_t n = std::char_traits<char>::length(tail);
  return s.size() >= n && s.compare(s.size() - n, n, tail) == 0;
}

std::string lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// The alias sfx.exe looks product-info.xml up under: "<product>/<channel>.xml"
// of the first product of sfx-info.xml.
std::string product_info_alias(const std::string& info, const std::string& info_path) {
  pugi::xml_document xml;
  if (!xml.load_buffer(info.data(), info.size())) throw tool_error("'" + info_path + "' does not parse");
  const pugi::xml_node product = xml.child("sfx-info").child("products").child("product");
  const std::string name = product.attribute("name").value(), channel = product.attribute("channel").value();
  if (!product || name.empty() || channel.empty())
    throw tool_error("'" + info_path +
                     "' names no product with a channel; give the alias as --product-info ALIAS=FILE");
  return name + "/" + channel + ".xml";
}

constexpr const char* help_text =
    "usage: sfxtool pack --stub SFX.EXE --info SFX-INFO.XML --key KEY -o PACKAGE\n"
    "                    [--file [ALIAS=]PATH]... [--lzma [ALIAS=]PATH]...\n"
    "                    [--product-info [ALIAS=]FILE] [--setup-dir DIR]...\n"
    "                    [--lzma-setup] [--hashed-setup] [--module FILE] [--sign-module]\n"
    "                    [--edat [ALIAS=]PATH]... [--unchecked-names]\n"
    "                    [--sign-info] [--time SECONDS] [--cert-table-size BYTES]\n\n"
    "Builds a signed package: the stub (cut behind its last section data), the record\n"
    "of sfx-info.xml, a record per file (--file stored, --lzma packed as an LZMA\n"
    "file; files whose alias ends in \".edat\" get the record type C), the end record\n"
    "and the signature block, signed with KEY, which must be a key of key set 3 of\n"
    "this build. sfx-info.xml must already carry its signature comment (sfxtool\n"
    "sign-xml), or --sign-info signs it with KEY. Time stamps are the files'\n"
    "modification times, or SECONDS for all (reproducible packages). With\n"
    "--cert-table-size the security directory is set to where an Authenticode\n"
    "certificate table of BYTES bytes will stand, so that signing the package\n"
    "afterwards (osslsigncode sign) keeps the DSA signature valid; see README.\n\n"
    "Offline packages (everything sfx.exe needs without a repository):\n"
    "  --product-info [ALIAS=]FILE  product-info.xml (sfxtool product-info), which\n"
    "                 must carry a valid signature comment under key set 3; ALIAS\n"
    "                 defaults to \"<product>/<channel>.xml\" of the first product\n"
    "                 of sfx-info.xml, the name sfx.exe looks it up under\n"
    "  --setup-dir DIR  every file below DIR under its relative name (\"/\"\n"
    "                 between segments); repeatable; --lzma-setup packs them as\n"
    "                 LZMA files; --hashed-setup records them without alias, found\n"
    "                 by sfx.exe through their SHA-256 (for groups of product-info\n"
    "                 that list different files under one name)\n"
    "  --module FILE  the product's morrow_mod.dll (alias morrow_mod.dll); it must\n"
    "                 carry a valid signature block under key set 3, or\n"
    "                 --sign-module appends one made with KEY to the packed copy\n"
    "  --edat [ALIAS=]PATH  an EDAT file (record type C); the alias must contain\n"
    "                 \".edat\", which is how sfx.exe finds EDAT files\n"
    "Every setup file that product-info.xml lists (in any group, whatever its\n"
    "conditions) is looked up in the package as sfx.exe does, by SHA-256 among the\n"
    "records without alias, then by name; a file that is missing is reported as a\n"
    "warning, a file found by name with other content is an error.\n\n"
    "Every alias must be a name sfx.exe accepts as a path below its folders\n"
    "(relative; no \"..\", drive, stream, device name or reserved character, see\n"
    "README), and no alias may be given twice. --unchecked-names drops both checks:\n"
    "it lets tests build packages that the program must refuse.";

}  // namespace

int pack(const args& a) {
  const options o(a, {"stub", "info", "key", "o", "time", "cert-table-size", "product-info", "module"},
                  {"sign-info", "lzma-setup", "hashed-setup", "sign-module", "unchecked-names"},
                  {"file", "lzma", "setup-dir", "edat"});
  if (o.help()) {
    std::puts(help_text);
    return 0;
  }
  if (!o.positional().empty()) throw usage_error("unexpected argument '" + o.positional()[0] + "'");
  const std::string out = o.required("o");
  const auto key = load_private_key(o.required("key"));
  warn_if_development_key("pack", key);
  const char key_name = key_in_set(key, root::dsa::sfx_key_set);
  if (!key_name)
    throw tool_error(
        "the key is not in key set 3 of this build's key table; sfx.exe would refuse the package");
  if (o.flag("sign-module") && !o.value("module")) throw usage_error("--sign-module needs --module");
  if ((o.flag("lzma-setup") || o.flag("hashed-setup")) && o.all("setup-dir").empty())
    throw usage_error("--lzma-setup and --hashed-setup need --setup-dir");
  const bool unchecked = o.flag("unchecked-names");
  std::optional<uint64_t> fixed_time;
  if (auto t = o.value("time")) fixed_time = std::stoull(*t);
  uint32_t cert_size = 0;
  if (auto c = o.value("cert-table-size")) {
    cert_size = static_cast<uint32_t>(std::stoul(*c));
    if (cert_size == 0 || cert_size % 8)
      throw usage_error("--cert-table-size takes a positive multiple of 8");
  }

  // sfx-info.xml, signed.
  const std::string info_path = o.required("info");
  std::string info = read_text(info_path);
  if (o.flag("sign-info")) {
    const auto found = sig::locate(bytes::view(info));
    if (!found.value.empty()) info.resize(found.covered_size - 5);
    info = sig::sign_xml(info, key);
  } else if (!sig::check_block(bytes::view(info), root::dsa::sfx_key_set)) {
    throw tool_error("'" + info_path +
                     "' is not signed under key set 3; sign it (sfxtool sign-xml) or pass --sign-info");
  }

  // The files, in package order: product-info.xml, the module, setup files,
  // --file, --lzma, EDAT files.
  std::vector<input_file> files;
  std::string product_info;
  if (auto spec = o.value("product-info")) {
    const bool named = spec->find('=') != std::string::npos;
    input_file f = parse_input(*spec, false);
    if (!named) f.alias = product_info_alias(info, info_path);
    product_info = read_text(f.path);
    if (!sig::check_block(bytes::view(product_info), root::dsa::sfx_key_set))
      throw tool_error(
          "'" + f.path.string() +
          "' is not signed under key set 3; sfx.exe refuses it (sfxtool product-info or sign-xml)");
    try {
      sfx::product_info_parser::factory().create()->parse(
          std::vector<uint8_t>(product_info.begin(), product_info.end()));
    } catch (const std::exception& e) {
      throw tool_error("'" + f.path.string() + "' is no product-info.xml sfx.exe can read: " + e.what());
    }
    files.push_back(std::move(f));
  }
  if (auto module = o.value("module")) {
    input_file f = parse_input("morrow_mod.dll=" + *module, false);
    std::vector<uint8_t> data = read_file(f.path);
    bool signed_at_all = false;
    try {
      signed_at_all = !sig::locate(data).value.empty();
    } catch (const std::invalid_argument&) {
      signed_at_all = true;
    }
    if (!sig::check_block(data, root::dsa::sfx_key_set)) {
      if (!o.flag("sign-module") || signed_at_all)
        throw tool_error("'" + *module + "' " +
                         (signed_at_all ? "carries a signature that is not valid under key set 3"
                                        : "is not signed; sfx.exe would not call it (sfxtool sign-block, or "
                                          "--sign-module)"));
      const std::vector<uint8_t> block = sig::make_block(data, key);
      data.insert(data.end(), block.begin(), block.end());
    }
    f.data = std::move(data);
    files.push_back(std::move(f));
  }
  for (const std::string& dir : o.all("setup-dir")) {
    for (const folder_file& ff : folder_files(dir)) {
      input_file f = parse_input(ff.name + "=" + ff.path.string(), o.flag("lzma-setup"));
      if (!unchecked && !is_safe_name(f.alias))
        throw tool_error("'" + f.alias + "' in '" + dir + "' is no name sfx.exe accepts for a setup file");
      if (o.flag("hashed-setup")) f.alias.clear();
      files.push_back(std::move(f));
    }
  }
  for (const std::string& spec : o.all("file")) files.push_back(parse_input(spec, false));
  for (const std::string& spec : o.all("lzma")) files.push_back(parse_input(spec, true));
  for (const std::string& spec : o.all("edat")) {
    input_file f = parse_input(spec, false);
    if (lower(f.alias).find(".edat") == std::string::npos)
      throw tool_error("EDAT alias '" + f.alias +
                       "' does not contain \".edat\"; sfx.exe would not unpack it");
    f.type = sfx::payload_format::type_config;
    files.push_back(std::move(f));
  }
  for (input_file& f : files)
    if (f.type == sfx::payload_format::type_file && ends_with(f.alias, ".edat"))
      f.type = sfx::payload_format::type_config;

  // Aliases sfx.exe takes as paths below its folders, each once.
  std::set<std::string> aliases{"sfx-info.xml"};
  for (const input_file& f : files) {
    if (unchecked || f.alias.empty()) continue;
    if (!is_safe_name(f.alias))
      throw tool_error("alias '" + f.alias + "' of '" + f.path.string() +
                       "' is no safe relative name; sfx.exe refuses it (--unchecked-names builds it anyway)");
    if (!aliases.insert(f.alias).second)
      throw tool_error("alias '" + f.alias + "' is given twice; sfx.exe would see only the last one");
  }

  // The contents: read once, hashed for the check against product-info.xml.
  for (input_file& f : files)
    if (!f.data) f.data = read_file(f.path);
  if (!product_info.empty()) {
    std::map<std::string, std::string> by_alias;  // alias -> sha-256 of the content
    std::set<std::string> by_hash;
    for (const input_file& f : files) {
      const std::string sha = root::hash_block(f.data->data(), f.data->size()).to_hex_narrow();
      if (f.alias.empty()) {
        by_hash.insert(sha);
      } else {
        by_alias[f.alias] = sha;
      }
    }
    const std::string where = files.front().path.string();
    const std::vector<listed_file> listed = listed_setup_files(product_info, where);
    std::set<std::pair<std::string, std::string>> listed_pairs;  // (name, sha-256)
    for (const listed_file& l : listed) listed_pairs.insert({l.name, lower(l.sha256)});
    for (const listed_file& l : listed) {
      if (!unchecked && !is_safe_name(l.name))
        throw tool_error("'" + where + "' lists '" + l.name +
                         "', which sfx.exe refuses as a setup file name");
      if (by_hash.count(l.sha256)) continue;
      const auto found = by_alias.find(l.name);
      if (found == by_alias.end()) {
        std::fprintf(stderr,
                     "sfxtool pack: warning: setup file '%s' (sha-256 %s) of '%s' is not in the package; an "
                     "offline run on a system it applies to fails\n",
                     l.name.c_str(), l.sha256.c_str(), where.c_str());
      } else if (!listed_pairs.count({l.name, found->second})) {
        throw tool_error("setup file '" + l.name + "' differs from what '" + where + "' lists (sha-256 " +
                         found->second + " here, " + l.sha256 + " there)");
      } else if (found->second != lower(l.sha256)) {
        // Another group lists this name with the content packed.
        std::fprintf(
            stderr,
            "sfxtool pack: warning: setup file '%s' (sha-256 %s) of '%s' is not in the package; on a "
            "system it applies to sfx.exe places the packed '%s' (sha-256 %s) instead (--hashed-setup "
            "packs files found by their hash)\n",
            l.name.c_str(), l.sha256.c_str(), where.c_str(), l.name.c_str(), found->second.c_str());
      }
    }
  }

  // The stub.
  std::vector<uint8_t> image = read_file(o.required("stub"));
  const pe::layout stub = pe::read(image);
  if (stub.security_offset || stub.security_size)
    throw tool_error(
        "the stub already carries a certificate table; Authenticode-sign the package, not the stub");
  const sfx::stub_layout measured = sfx::measure_stub(image.data(), image.size());
  if (measured.trailing_bytes)
    std::fprintf(stderr, "sfxtool pack: cut %llu bytes behind the stub's last section data\n",
                 static_cast<unsigned long long>(measured.trailing_bytes));
  image.resize(measured.payload_start);
  if (measured.trailing_bytes) {
    // The COFF symbol table the linker left there is gone with them.
    bytes::store_le<uint32_t>(image, stub.e_lfanew + kro::pe::pointer_to_symbol_table.offset, 0);
    bytes::store_le<uint32_t>(image, stub.e_lfanew + kro::pe::number_of_symbols.offset, 0);
  }

  // Records.
  uint64_t total = info.size();
  for (const input_file& f : files) total += f.data->size();
  sfx::payload_writer writer(image, measured.payload_start);
  {
    progress shown("packing", total);
    writer.add_file(L"sfx-info.xml", reinterpret_cast<const uint8_t*>(info.data()), info.size(),
                    fixed_time.value_or(modification_time(info_path)));
    shown.advance(info.size());
    std::set<std::string> hashed;
    for (const input_file& f : files) {
      const std::vector<uint8_t>& data = *f.data;
      if (f.alias.empty() &&
          !hashed.insert(root::hash_block(data.data(), data.size()).to_hex_narrow()).second)
        continue;  // the same content twice: found by its hash once is enough
      writer.add_file(
          text::from_utf8(f.alias), data.data(), data.size(), fixed_time.value_or(modification_time(f.path)),
          f.lzma ? sfx::payload_writer::storage::lzma : sfx::payload_writer::storage::stored, f.type);
      shown.advance(data.size());
    }
    writer.add_end();
  }

  // The certificate table's final place, then the signature over it all.
  if (cert_size) {
    const uint64_t table = (image.size() + sig::block_size + 7) / 8 * 8;
    if (table > 0xFFFFFFFFull - cert_size) throw tool_error("package too large for a certificate table");
    bytes::store_le<uint32_t>(image, stub.security_dir_offset, static_cast<uint32_t>(table));
    bytes::store_le<uint32_t>(image, stub.security_dir_offset + 4, cert_size);
  }
  bytes::store_le<uint32_t>(image, stub.checksum_offset, 0);
  const std::vector<uint8_t> block = sig::make_block(image, key);
  image.insert(image.end(), block.begin(), block.end());
  if (cert_size) image.resize((image.size() + 7) / 8 * 8, 0);
  bytes::store_le<uint32_t>(image, stub.checksum_offset, pe::checksum(image, stub.checksum_offset));

  if (!cert_size && !sig::check_block(image, root::dsa::sfx_key_set))
    throw tool_error("internal error: the package does not verify");
  write_file_atomically(out, image.data(), image.size());
  std::printf("%s: %zu bytes, %zu payload files, signed with key %c%s\n", out.c_str(), image.size(),
              files.size() + 1, key_name, cert_size ? ", certificate table reserved" : "");
  return 0;
}

}  // namespace kro::tool
