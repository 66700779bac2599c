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
#include <cstdio>
#include <filesystem>

#include "root/verify_signature.h"
#include "sfx/payload_format.h"
#include "sfx/payload_writer.h"
#include "text/text.h"
#include "tool/commands.h"
#include "tool/io.h"
#include "tool/keys.h"
#include "tool/options.h"
#include "tool/pe.h"

namespace kro::tool {
namespace {

namespace sig = sfx::signature;

struct input_file {
  std::string alias;
  std::filesystem::path path;
  bool lzma;
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
  if (f.alias.size() > sfx::payload_format::max_alias_bytes)
    throw tool_error("alias of '" + f.path.string() + "' is " + std::to_string(f.alias.size()) +
                     " bytes; at most 65535 fit");
  return f;
}

bool ends_with(const std::string& s, const char* tail) {
  const size_t n = std::char_traits<char>::length(tail);
  return s.size() >= n && s.compare(s.size() - n, n, tail) == 0;
}

constexpr const char* help_text =
    "usage: sfxtool pack --stub SFX.EXE --info SFX-INFO.XML --key KEY -o PACKAGE\n"
    "                    [--file [ALIAS=]PATH]... [--lzma [ALIAS=]PATH]...\n"
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
    "afterwards (osslsigncode sign) keeps the DSA signature valid; see README.";

}  // namespace

int pack(const args& a) {
  const options o(a, {"stub", "info", "key", "o", "time", "cert-table-size"}, {"sign-info"},
                  {"file", "lzma"});
  if (o.help()) {
    std::puts(help_text);
    return 0;
  }
  if (!o.positional().empty()) throw usage_error("unexpected argument '" + o.positional()[0] + "'");
  const std::string out = o.required("o");
  const auto key = load_private_key(o.required("key"));
  const char key_name = key_in_set(key, root::dsa::sfx_key_set);
  if (!key_name)
    throw tool_error(
        "the key is not in key set 3 of this build's key table; sfx.exe would refuse the package");
  std::vector<input_file> files;
  for (const std::string& spec : o.all("file")) files.push_back(parse_input(spec, false));
  for (const std::string& spec : o.all("lzma")) files.push_back(parse_input(spec, true));
  std::optional<uint64_t> fixed_time;
  if (auto t = o.value("time")) fixed_time = std::stoull(*t);
  uint32_t cert_size = 0;
  if (auto c = o.value("cert-table-size")) {
    cert_size = static_cast<uint32_t>(std::stoul(*c));
    if (cert_size == 0 || cert_size % 8)
      throw usage_error("--cert-table-size takes a positive multiple of 8");
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
    pe::store32(image, stub.e_lfanew + 12, 0);
    pe::store32(image, stub.e_lfanew + 16, 0);
  }

  // sfx-info.xml, signed.
  const std::string info_path = o.required("info");
  std::string info = read_text(info_path);
  if (o.flag("sign-info")) {
    const auto found = sig::locate(reinterpret_cast<const uint8_t*>(info.data()), info.size());
    if (!found.value.empty()) info.resize(found.covered_size - 5);
    info = sig::sign_xml(info, key);
  } else if (!sig::check_block(info.data(), info.size(), root::dsa::sfx_key_set)) {
    throw tool_error("'" + info_path +
                     "' is not signed under key set 3; sign it (sfxtool sign-xml) or pass --sign-info");
  }

  // Records.
  uint64_t total = info.size();
  for (const input_file& f : files) total += std::filesystem::file_size(f.path);
  sfx::payload_writer writer(image, measured.payload_start);
  {
    progress shown("packing", total);
    writer.add_file(L"sfx-info.xml", reinterpret_cast<const uint8_t*>(info.data()), info.size(),
                    fixed_time.value_or(modification_time(info_path)));
    shown.advance(info.size());
    for (const input_file& f : files) {
      const std::vector<uint8_t> data = read_file(f.path);
      const uint32_t type =
          ends_with(f.alias, ".edat") ? sfx::payload_format::type_config : sfx::payload_format::type_file;
      writer.add_file(
          text::from_utf8(f.alias), data.data(), data.size(), fixed_time.value_or(modification_time(f.path)),
          f.lzma ? sfx::payload_writer::storage::lzma : sfx::payload_writer::storage::stored, type);
      shown.advance(data.size());
    }
    writer.add_end();
  }

  // The certificate table's final place, then the signature over it all.
  if (cert_size) {
    const uint64_t table = (image.size() + sig::block_size + 7) / 8 * 8;
    if (table > 0xFFFFFFFFull - cert_size) throw tool_error("package too large for a certificate table");
    pe::store32(image, stub.security_dir_offset, static_cast<uint32_t>(table));
    pe::store32(image, stub.security_dir_offset + 4, cert_size);
  }
  pe::store32(image, stub.checksum_offset, 0);
  const std::vector<uint8_t> block = sig::make_block(image.data(), image.size(), key);
  image.insert(image.end(), block.begin(), block.end());
  if (cert_size) image.resize((image.size() + 7) / 8 * 8, 0);
  pe::store32(image, stub.checksum_offset, pe::checksum(image, stub.checksum_offset));

  if (!cert_size && !sig::check_block(image.data(), image.size(), root::dsa::sfx_key_set))
    throw tool_error("internal error: the package does not verify");
  write_file_atomically(out, image.data(), image.size());
  std::printf("%s: %zu bytes, %zu payload files, signed with key %c%s\n", out.c_str(), image.size(),
              files.size() + 1, key_name, cert_size ? ", certificate table reserved" : "");
  return 0;
}

}  // namespace kro::tool
