// sfxtool: keys, signatures and packages of the self-extractor.
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>

#include "tool/commands.h"
#include "tool/io.h"
#include "tool/options.h"

namespace {

struct command {
  const char* name;
  int (*run)(const kro::tool::args&);
  const char* summary;
};

constexpr command commands[] = {
    {"keygen", kro::tool::keygen, "make a DSA key pair on a domain-parameter set of a key ring"},
    {"keys", kro::tool::keys, "print the key ring this build carries: fingerprint, development keys, sets"},
    {"sign-xml", kro::tool::sign_xml, "append the signature comment to an XML document"},
    {"sign-block", kro::tool::sign_block, "append the binary signature block to any file"},
    {"pack", kro::tool::pack, "build a signed package from the stub, sfx-info.xml and files"},
    {"inspect", kro::tool::inspect, "print a package's layout, records and signature"},
    {"verify", kro::tool::verify, "check a file's signature against a key set"},
    {"product-info", kro::tool::product_info, "make and sign product-info.xml from folders of setup files"},
    {"extract", kro::tool::extract, "check a package and unpack its payload files into a folder"},
};

void usage(FILE* out) {
  std::fprintf(out, "usage: sfxtool COMMAND [OPTIONS]   (sfxtool COMMAND --help for its options)\n\n");
  for (const command& c : commands) std::fprintf(out, "  %-13s %s\n", c.name, c.summary);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || !std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "-h")) {
    usage(argc < 2 ? stderr : stdout);
    return argc < 2 ? 2 : 0;
  }
  for (const command& c : commands) {
    if (std::strcmp(argv[1], c.name) != 0) continue;
    try {
      return c.run(kro::tool::args(argv + 2, argv + argc));
    } catch (const kro::tool::usage_error& e) {
      std::fprintf(stderr, "sfxtool %s: %s (see sfxtool %s --help)\n", c.name, e.what(), c.name);
      return 2;
    } catch (const std::exception& e) {
      std::fprintf(stderr, "sfxtool %s: %s\n", c.name, e.what());
      return 1;
    }
  }
  std::fprintf(stderr, "sfxtool: unknown command '%s'\n\n", argv[1]);
  usage(stderr);
  return 2;
}
