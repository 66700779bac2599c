// keygen, and key files shared by the signing commands.
#include "tool/keys.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <sstream>

#include "tool/commands.h"
#include "tool/io.h"
#include "tool/options.h"

namespace kro::tool {
namespace {

namespace dsa = root::dsa;

std::vector<uint8_t> from_hex(const std::string& hex, const std::string& where) {
  if (hex.size() % 2) throw tool_error(where + ": odd number of hex digits");
  std::vector<uint8_t> out;
  for (size_t i = 0; i < hex.size(); i += 2) {
    unsigned value = 0;
    if (std::sscanf(hex.c_str() + i, "%2x", &value) != 1) throw tool_error(where + ": not hex");
    out.push_back(static_cast<uint8_t>(value));
  }
  return out;
}

std::vector<uint8_t> strip(dsa::bytes_view v) {
  size_t i = 0;
  while (i < v.size() && v[i] == 0) ++i;
  return {v.begin() + static_cast<ptrdiff_t>(i), v.end()};
}

// The domain-parameter set n of a key ring file.
dsa::key_pair ring_domain(const std::string& ring_path, int wanted) {
  std::istringstream ring(read_text(ring_path));
  std::string line;
  int line_no = 0;
  int current = 0;
  bool in_key = false;
  dsa::key_pair params;
  while (std::getline(ring, line)) {
    ++line_no;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    std::istringstream words(line);
    std::string word, value;
    words >> word >> value;
    const std::string where = ring_path + ":" + std::to_string(line_no);
    if (word == "key") {
      in_key = true;
    } else if (word == "domain" && !in_key) {
      current = std::atoi(value.c_str());
    } else if (word == "domain") {
      // the domain of a key: not a parameter set
    } else if (!in_key && current == wanted && (word == "p" || word == "q" || word == "g")) {
      (word == "p" ? params.p : word == "q" ? params.q : params.g) = from_hex(value, where);
    }
  }
  if (params.p.empty() || params.q.empty() || params.g.empty())
    throw tool_error(ring_path + ": no domain-parameter set " + std::to_string(wanted));
  return params;
}

}  // namespace

dsa::key_pair load_private_key(const std::string& path) {
  dsa::key_pair key;
  try {
    key = dsa::parse_key_text(read_text(path));
  } catch (const std::invalid_argument& e) {
    throw tool_error("'" + path + "' is no key file: " + e.what());
  }
  if (key.x.empty()) throw tool_error("'" + path + "' holds no private value x");
  if (strip(dsa::public_value(key.x, key.params())) != strip(key.y))
    throw tool_error("'" + path + "': x does not belong to y");
  return key;
}

char key_in_set(const dsa::key_pair& key, uint32_t key_set) {
  for (const dsa::named_key& k : dsa::key_set(key_set)) {
    if (strip(k.key.y) == strip(key.y) && strip(k.key.params.p) == strip(key.p) &&
        strip(k.key.params.q) == strip(key.q) && strip(k.key.params.g) == strip(key.g))
      return k.name;
  }
  return 0;
}

void warn_if_development_key(const char* command, const dsa::key_pair& key) {
  if (const char name = dsa::development_key_name(key))
    std::fprintf(stderr,
                 "sfxtool %s: warning: signing with development key %c, whose private half is public "
                 "(keys/dev-private/): the signature proves nothing; never release what it signs\n",
                 command, name);
}

int keys(const args& a) {
  const options o(a, {}, {});
  if (o.help() || !o.positional().empty()) {
    if (!o.help()) throw usage_error("no arguments expected");
    std::puts(
        "usage: sfxtool keys\n\n"
        "Prints the key ring this build of sfxtool (and the sfx.exe of the same build)\n"
        "carries: its fingerprint (the first 8 bytes of the SHA-256 of the key table,\n"
        "which sfx.exe logs at start as \"Key ring <fingerprint>\"), whether it holds\n"
        "development keys, and its key sets.");
    return 0;
  }
  const std::string computed = dsa::table_fingerprint();
  if (computed != dsa::ring_fingerprint())
    throw tool_error("internal error: the key table's fingerprint is " + computed + ", " +
                     dsa::ring_fingerprint() + " was compiled in");
  std::printf("key ring        %s%s\n", dsa::ring_fingerprint(),
              dsa::ring_is_development() ? " (development)" : "");
  if (dsa::ring_is_development()) {
    std::string names;
    for (const dsa::named_key& k : dsa::detail::ring_keys) {
      dsa::key_pair pub;
      pub.p.assign(k.key.params.p.begin(), k.key.params.p.end());
      pub.q.assign(k.key.params.q.begin(), k.key.params.q.end());
      pub.g.assign(k.key.params.g.begin(), k.key.params.g.end());
      pub.y.assign(k.key.y.begin(), k.key.y.end());
      if (dsa::development_key_name(pub))
        names += names.empty() ? std::string(1, k.name) : std::string(" ") + k.name;
    }
    std::printf("development     keys %s are the development ring's; their private halves are public\n",
                names.c_str());
  }
  for (uint32_t set = 0; set <= dsa::max_key_set; ++set)
    std::printf("key set %u       %s%s\n", set, dsa::key_set_names(set),
                set == dsa::sfx_key_set ? " (sfx.exe checks this set)" : "");
  return 0;
}

int keygen(const args& a) {
  const options o(a, {"ring", "domain", "o", "comment"}, {"force"});
  if (o.help()) {
    std::puts(
        "usage: sfxtool keygen --ring RING --domain N -o KEY [--comment TEXT] [--force]\n\n"
        "Makes a DSA key pair on domain-parameter set N of the key ring RING and writes\n"
        "its private key text to KEY (refused when KEY exists, unless --force). Prints\n"
        "the public part as key-ring lines, to add under a key name of a ring.");
    return 0;
  }
  const std::string out = o.required("o");
  const int domain = std::atoi(o.required("domain").c_str());
  if (domain < 1) throw usage_error("--domain takes a number from 1");
  if (std::filesystem::exists(out) && !o.flag("force"))
    throw tool_error("'" + out + "' exists; pass --force to replace it");
  const dsa::key_pair params = ring_domain(o.required("ring"), domain);
  const dsa::key_pair key = dsa::generate_key(params.params());
  const std::string comment = o.value("comment").value_or("Private DSA key made by sfxtool keygen (domain " +
                                                          std::to_string(domain) + "). Keep it secret.");
  std::string text = dsa::format_key_text(key, comment);
  write_file_atomically(out, text.data(), text.size(), file_access::private_to_owner);
  std::fill(text.begin(), text.end(), '\0');
  std::string y;
  for (uint8_t b : key.y) {
    char hex[3];
    std::snprintf(hex, sizeof hex, "%02x", b);
    y += hex;
  }
  std::printf("key ?\ndomain %d\ny %s\n", domain, y.c_str());
  return 0;
}

}  // namespace kro::tool
