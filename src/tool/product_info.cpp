// product-info: a signed product-info.xml from folders of setup files.
#include <cstdio>
#include <filesystem>
#include <pugixml.hpp>

#include "repository/conditions/conditions.h"
#include "root/verify_signature.h"
#include "sfx/product_info_parser.h"
#include "text/text.h"
#include "tool/commands.h"
#include "tool/io.h"
#include "tool/keys.h"
#include "tool/options.h"
#include "tool/setup.h"

namespace kro::tool {
namespace {

namespace fs = std::filesystem;
namespace cond = repository::conditions;
namespace osv = environment::os_version;

constexpr const char* help_text =
    "usage: sfxtool product-info --name NAME --version VERSION --key KEY -o OUT\n"
    "                            [DIR [--conditions FILE]] [--group DIR[=FILE]]...\n"
    "                            [--executable EXE] [--arguments ARGS]\n"
    "                            [--sfx-executable EXE] [--sfx-arguments ARGS]\n"
    "                            [--time SECONDS]\n\n"
    "Writes product-info.xml for a product release and signs it with KEY (the\n"
    "signature comment of sign-xml). Each folder becomes one <setup-files> group\n"
    "holding every file below it, recursively, sorted by name; a file's name is its\n"
    "path relative to the folder with \"/\" between segments, and it is listed with\n"
    "its sha-256 (lower-case hex), timestamp (modification time in seconds since\n"
    "1970, or SECONDS for every file, for reproducible output) and size.\n\n"
    "DIR is the first group, and --conditions FILE gives its conditions; each\n"
    "--group DIR=FILE adds a group whose conditions are in FILE (--group DIR: none).\n"
    "A conditions FILE holds one <conditions> element (an XML declaration around it\n"
    "is dropped); it is copied verbatim into its group, after its condition\n"
    "elements are checked: an unknown element, a number out of range or an empty\n"
    "and/or/not is refused. The same file name may appear in several groups (say\n"
    "x86 and x64 builds of one file under conditions that exclude each other).\n\n"
    "<setup-commands> names EXE (default morrow.exe) and ARGS (default none);\n"
    "--sfx-executable / --sfx-arguments add the <sfx> child that overrides them for\n"
    "the self-extractor. A file name that sfx.exe would refuse as a path (absolute,\n"
    "drive, \"..\", device names, see README) is an error. The output is parsed\n"
    "again by the self-extractor's own product-info reader before it is written.";

std::string trim(const std::string& s) {
  const auto first = s.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return {};
  return s.substr(first, s.find_last_not_of(" \t\r\n") - first + 1);
}

// System facts the conditions are evaluated against as a check: the
// platforms and kinds of system a package meets.
std::vector<osv::facts> sample_systems() {
  std::vector<osv::facts> out;
  auto add = [&out](uint32_t major, uint32_t minor, uint32_t build, uint16_t sp, osv::platform_type p,
                    uint8_t type) {
    osv::facts f;
    f.major = major, f.minor = minor, f.build = build, f.sp_major = sp, f.platform = p, f.product_type = type;
    f.platform_id = 2;
    out.push_back(f);
  };
  add(6, 1, 7601, 1, osv::platform_type::x86, 1);
  add(6, 1, 7601, 1, osv::platform_type::x64, 1);
  add(10, 0, 19045, 0, osv::platform_type::x64, 1);
  add(10, 0, 22631, 0, osv::platform_type::arm64, 1);
  add(10, 0, 17763, 0, osv::platform_type::x64, 3);
  return out;
}

// The <conditions> element of a template file, as text, after checking that
// the program loads and evaluates it.
std::string read_conditions(const std::string& path) {
  std::string text = read_text(path);
  if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) text.erase(0, 3);
  pugi::xml_document xml;
  const pugi::xml_parse_result parsed = xml.load_string(text.c_str());
  if (!parsed) throw tool_error("'" + path + "' does not parse: " + parsed.description());
  size_t elements = 0;
  for (const pugi::xml_node& n : xml.children())
    if (n.type() == pugi::node_element) ++elements;
  const pugi::xml_node element = xml.document_element();
  if (elements != 1 || std::string(element.name()) != "conditions")
    throw tool_error("'" + path + "' must hold one <conditions> element");
  // Verbatim: from the element's start tag to its end tag.
  const size_t start = text.find("<conditions");
  size_t end = text.rfind("</conditions>");
  end = end == std::string::npos ? text.find('>', start) + 1 : end + 13;
  const std::string fragment = trim(text.substr(start, end - start));
  pugi::xml_document check;
  if (!check.load_string(fragment.c_str()) || std::string(check.document_element().name()) != "conditions")
    throw tool_error("'" + path + "': the <conditions> element cannot be cut out of the file");
  for (const osv::facts& facts : sample_systems()) {
    try {
      const auto context = cond::create_standard_context(facts);
      cond::evaluate_conditions(check.document_element(), *context);
    } catch (const std::exception& e) {
      throw tool_error("'" + path + "': sfx.exe cannot use these conditions: " + e.what());
    }
  }
  return fragment;
}

struct group {
  fs::path dir;
  std::string conditions;  // empty: none
};

// "DIR[=FILE]": a spec that is itself a folder has no conditions file.
group parse_group(const std::string& spec) {
  std::error_code ec;
  const auto eq = spec.rfind('=');
  if (fs::is_directory(spec, ec) || eq == std::string::npos) return {spec, {}};
  return {spec.substr(0, eq), read_conditions(spec.substr(eq + 1))};
}

}  // namespace

int product_info(const args& a) {
  const options o(a,
                  {"name", "version", "key", "o", "time", "conditions", "executable", "arguments",
                   "sfx-executable", "sfx-arguments"},
                  {}, {"group"});
  if (o.help()) {
    std::puts(help_text);
    return 0;
  }
  if (o.positional().size() > 1) throw usage_error("unexpected argument '" + o.positional()[1] + "'");
  const std::string out = o.required("o");
  const std::string name = o.required("name");
  const std::string version = o.required("version");
  const auto key = load_private_key(o.required("key"));
  warn_if_development_key("product-info", key);
  std::optional<uint64_t> fixed_time;
  if (auto t = o.value("time")) {
    try {
      fixed_time = std::stoull(*t);
    } catch (const std::exception&) {
      throw usage_error("--time takes seconds since 1970");
    }
  }
  std::vector<group> groups;
  if (!o.positional().empty()) {
    groups.push_back({o.positional()[0], {}});
    if (auto c = o.value("conditions")) groups.back().conditions = read_conditions(*c);
  } else if (o.value("conditions")) {
    throw usage_error("--conditions belongs to a folder given as DIR");
  }
  for (const std::string& spec : o.all("group")) groups.push_back(parse_group(spec));
  if (groups.empty()) throw usage_error("a folder of setup files expected (DIR or --group)");
  const std::string executable = o.value("executable").value_or("morrow.exe");

  std::string xml = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n<product-info>\r\n";
  xml += "  <name>" + xml_escape(name) + "</name>\r\n";
  xml += "  <version>" + xml_escape(version) + "</version>\r\n";
  size_t count = 0;
  bool has_executable = false;
  for (const group& g : groups) {
    const std::vector<folder_file> files = folder_files(g.dir);
    if (files.empty()) throw tool_error("'" + g.dir.string() + "' holds no files");
    xml += "  <setup-files>\r\n";
    if (!g.conditions.empty()) xml += "    " + g.conditions + "\r\n";
    for (const folder_file& f : files) {
      if (!is_safe_name(f.name))
        throw tool_error("'" + f.name + "' in '" + g.dir.string() +
                         "' is no name sfx.exe accepts for a setup file (see README: safe names)");
      has_executable = has_executable || f.name == executable;
      xml += "    <file>\r\n";
      xml += "      <name>" + xml_escape(f.name) + "</name>\r\n";
      xml += "      <sha-256>" + file_sha256(f.path) + "</sha-256>\r\n";
      xml += "      <timestamp>" + std::to_string(fixed_time.value_or(modification_time(f.path))) +
             "</timestamp>\r\n";
      xml += "      <size>" + std::to_string(fs::file_size(f.path)) + "</size>\r\n";
      xml += "    </file>\r\n";
      ++count;
    }
    xml += "  </setup-files>\r\n";
  }
  xml += "  <setup-commands executable=\"" + xml_escape(executable) + "\"";
  if (auto arguments = o.value("arguments")) xml += " arguments=\"" + xml_escape(*arguments) + "\"";
  const auto sfx_executable = o.value("sfx-executable");
  const auto sfx_arguments = o.value("sfx-arguments");
  if (sfx_executable || sfx_arguments) {
    xml += ">\r\n    <sfx";
    if (sfx_executable) xml += " executable=\"" + xml_escape(*sfx_executable) + "\"";
    if (sfx_arguments) xml += " arguments=\"" + xml_escape(*sfx_arguments) + "\"";
    xml += "/>\r\n  </setup-commands>\r\n";
  } else {
    xml += "/>\r\n";
  }
  xml += "</product-info>\r\n";
  const std::string signed_xml = sfx::signature::sign_xml(xml, key);

  // The self-extractor's own reader takes the document as written.
  try {
    const auto parser = sfx::product_info_parser::factory().create(sample_systems()[2]);
    parser->parse(std::vector<uint8_t>(signed_xml.begin(), signed_xml.end()));
    if (text::to_utf8(parser->get_product().name) != name || !parser->get_setup_commands())
      throw tool_error("the product-info reader reads back another document");
  } catch (const tool_error& e) {
    throw tool_error(std::string("internal error: ") + e.what());
  } catch (const std::exception& e) {
    throw tool_error(std::string("internal error: the product-info reader refuses the output: ") + e.what());
  }
  if (!has_executable)
    std::fprintf(stderr,
                 "sfxtool product-info: warning: no setup file is named '%s'; sfx.exe would start no setup\n",
                 executable.c_str());
  if (!key_in_set(key, root::dsa::sfx_key_set))
    std::fprintf(stderr,
                 "sfxtool product-info: note: the key is not in key set %u of this build; sfx.exe will not "
                 "accept the document\n",
                 root::dsa::sfx_key_set);
  write_file_atomically(out, signed_xml.data(), signed_xml.size());
  std::printf("%s: %s %s, %zu setup files in %zu groups\n", out.c_str(), name.c_str(), version.c_str(), count,
              groups.size());
  return 0;
}

}  // namespace kro::tool
