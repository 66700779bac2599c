// sign-xml, sign-block and verify.
#include <cstdio>

#include "root/verify_signature.h"
#include "tool/commands.h"
#include "tool/io.h"
#include "tool/keys.h"
#include "tool/options.h"

namespace kro::tool {
namespace {

namespace sig = sfx::signature;

void warn_outside_set(const root::dsa::key_pair& key) {
  if (!key_in_set(key, root::dsa::sfx_key_set))
    std::fprintf(stderr,
                 "sfxtool: note: the key is not in key set %u of this build; sfx.exe will not accept it\n",
                 root::dsa::sfx_key_set);
}

}  // namespace

int sign_xml(const args& a) {
  const options o(a, {"key", "o"}, {});
  if (o.help() || o.positional().size() != 1) {
    if (!o.help()) throw usage_error("one XML file expected");
    std::puts(
        "usage: sfxtool sign-xml --key KEY FILE [-o OUT]\n\n"
        "Appends the signature comment <!-- KROSig2A<hex>KROSig2A --> to the XML document\n"
        "FILE, signed with the private key KEY, and writes it to OUT (default: FILE).\n"
        "A signature comment the document already ends with is replaced.");
    return 0;
  }
  const auto key = load_private_key(o.required("key"));
  warn_if_development_key("sign-xml", key);
  const std::string in = o.positional()[0];
  std::string document = read_text(in);
  const auto found = sig::locate(bytes::view(document));
  if (!found.value.empty()) {
    if (document.compare(found.covered_size, sig::marker_size, sig::xml_marker) != 0)
      throw tool_error("'" + in + "' ends with a binary signature block; it is no XML document to sign");
    document.resize(found.covered_size - 5);  // drop the signed "<!-- " as well
  }
  if (document.find('<') == std::string::npos) throw tool_error("'" + in + "' is no XML document");
  const std::string signed_document = sig::sign_xml(document, key);
  write_file_atomically(o.value("o").value_or(in), signed_document.data(), signed_document.size());
  warn_outside_set(key);
  return 0;
}

int sign_block(const args& a) {
  const options o(a, {"key", "o"}, {});
  if (o.help() || o.positional().size() != 1) {
    if (!o.help()) throw usage_error("one file expected");
    std::puts(
        "usage: sfxtool sign-block --key KEY FILE [-o OUT]\n\n"
        "Appends the 72-byte signature block (signature, \"KROSig2B\") to FILE, signed\n"
        "with the private key KEY, and writes it to OUT (default: FILE). For a PE image\n"
        "the CheckSum field is hashed as zeros. Refused when FILE already ends with a\n"
        "signature block.");
    return 0;
  }
  const auto key = load_private_key(o.required("key"));
  warn_if_development_key("sign-block", key);
  const std::string in = o.positional()[0];
  std::vector<uint8_t> data = read_file(in);
  const auto found = sig::locate(data);
  if (!found.value.empty()) throw tool_error("'" + in + "' already ends with a signature");
  const std::vector<uint8_t> block = sig::make_block(data, key);
  data.insert(data.end(), block.begin(), block.end());
  write_file_atomically(o.value("o").value_or(in), data.data(), data.size());
  warn_outside_set(key);
  return 0;
}

int verify(const args& a) {
  const options o(a, {"key-set"}, {});
  if (o.help() || o.positional().empty()) {
    if (!o.help()) throw usage_error("a file to verify expected");
    std::puts(
        "usage: sfxtool verify [--key-set N] FILE...\n\n"
        "Checks the signature of each FILE (signature block, XML signature comment or\n"
        "signed package) against key set N of this build's key table (default 3, the set\n"
        "sfx.exe checks). Exit code 0 when every file verifies, 1 otherwise.");
    return 0;
  }
  const uint32_t set = static_cast<uint32_t>(std::stoul(o.value("key-set").value_or("3")));
  if (set > root::dsa::max_key_set) throw usage_error("key sets are 0 to 4");
  int result = 0;
  for (const std::string& path : o.positional()) {
    const std::vector<uint8_t> data = read_file(path);
    char which = 0;
    bool signed_at_all = false;
    const char* refusal = nullptr;
    try {
      const sig::located found = sig::locate(data);
      signed_at_all = !found.value.empty();
      refusal = found.refusal;
    } catch (const std::invalid_argument&) {
      signed_at_all = true;  // a comment with a broken signature text
    }
    if (sig::check_block(data, set, &which)) {
      std::printf("%s: valid, key %c of key set %u\n", path.c_str(), which, set);
    } else if (refusal) {
      std::printf("%s: NOT valid: %s\n", path.c_str(), refusal);
      result = 1;
    } else {
      std::printf("%s: %s\n", path.c_str(),
                  signed_at_all ? ("NOT valid under key set " + std::to_string(set)).c_str() : "not signed");
      result = 1;
    }
  }
  return result;
}

}  // namespace kro::tool
