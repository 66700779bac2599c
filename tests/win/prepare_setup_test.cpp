// Setup preparation on real packages: payload images built in memory and
// read by the real payload, documents signed with the development key,
// files placed in a real folder. The run's reporter is a recorder (the
// analytics report is not part of this build); the downloader is this
// build's own, which refuses every fetch, so an online run shows the
// fallbacks to the payload.
#include "sfx/prepare_setup.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "../unit/pe_fixture.h"
#include "exceptions/exceptions.h"
#include "root/dsa.h"
#include "root/random.h"
#include "root/sha256.h"
#include "sfx/error_codes.h"
#include "sfx/morrow_info.h"
#include "sfx/payload.h"
#include "sfx/sfx_reporting.h"
#include "sfx/value_holder.h"
#include "text/text.h"

namespace {

namespace fs = std::filesystem;
using kro::sfx::payload_writer;
using kro::test::log_capture;

const kro::root::dsa::key_pair& key_g() {
  static const kro::root::dsa::key_pair key = [] {
    std::ifstream in(fs::path(KRO_SOURCE_DIR) / "keys" / "dev-private" / "G.txt", std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return kro::root::dsa::parse_key_text(text.str());
  }();
  return key;
}

std::string signed_xml(const std::string& document) {
  return kro::sfx::signature::sign_xml(document + "\n", key_g());
}

std::string sha256_text(const std::string& bytes) {
  return kro::root::hash_block(bytes.data(), bytes.size()).to_hex_narrow();
}

class recording_reporter final : public kro::sfx::sfx_reporting_intf {
 public:
  std::vector<std::string> calls;

  void send_stage(const std::string& stage) override { calls.push_back("stage " + stage); }
  void set_tmp_path(const std::wstring&) override {}
  void set_offline(bool offline) override { calls.push_back(offline ? "offline 1" : "offline 0"); }
  void set_aiid(const std::wstring& aiid) override { calls.push_back("aiid " + kro::text::to_utf8(aiid)); }
  void set_session_id(const std::wstring&) override {}
  void set_product_name(const std::wstring& name) override {
    calls.push_back("title " + kro::text::to_utf8(name));
  }
  void set_restart_required(bool) override {}
  void set_exit_code(int32_t) override {}
  void add_main_product(const std::wstring& product, const std::wstring& channel, bool reset) override {
    calls.push_back("product " + kro::text::to_utf8(product) + "/" + kro::text::to_utf8(channel) +
                    (reset ? " reset" : ""));
  }
  void set_report_url(const std::wstring& url) override {
    calls.push_back("report " + kro::text::to_utf8(url));
  }
};

struct payload_file {
  std::string alias;  // empty: found by its digest only
  std::string bytes;
  payload_writer::storage how = payload_writer::storage::stored;
};

constexpr const char* default_info =
    "<sfx-info><repository><base-url>127.0.0.1/repo</base-url></repository>"
    "<products><product name=\"morrow\" channel=\"release\"/></products>"
    "<title lang=\"en-us\">Morrow</title></sfx-info>";

// A product-info.xml listing the files (name, bytes), as one group.
std::string product_info(const std::vector<std::pair<std::string, std::string>>& files,
                         const std::string& extra = "", const std::string& commands = "<setup-commands/>") {
  std::string xml = "<product-info><name>Morrow</name><version>1.2</version><setup-files>";
  for (const auto& [name, bytes] : files)
    xml += "<file><name>" + name + "</name><sha-256>" + sha256_text(bytes) +
           "</sha-256><timestamp>1</timestamp><size>" + std::to_string(bytes.size()) + "</size></file>";
  return xml + "</setup-files>" + extra + commands + "</product-info>";
}

// One run's data around a package holding the given files, with its own
// temporary folder.
class package_run {
 public:
  package_run(const std::vector<payload_file>& files, const std::wstring& command_line = L"/offline")
      : m_image("package"), m_folder(fs::temp_directory_path() / ("kro-prepare-" + unique_name())) {
    m_image.write(kro::test::image_with_payload(kro::test::pe_fixture(), [&](payload_writer& w) {
      for (const payload_file& f : files)
        w.add_file(kro::text::from_utf8(f.alias), reinterpret_cast<const uint8_t*>(f.bytes.data()),
                   f.bytes.size(), 1700000000, f.how);
      w.add_end();
    }));
    fs::create_directories(m_folder);
    data.values = kro::sfx::value_holder::factory().create();
    data.info = kro::sfx::morrow_info::factory().create();
    data.reporter = reporter;
    data.cmd.parse(command_line, false);
    data.payload = kro::sfx::payload::factory().create(m_image.path(), data);
    data.values->set_string(L"tmp-path", m_folder.wstring());
  }
  ~package_run() {
    data.payload.reset();
    std::error_code ignored;
    fs::remove_all(m_folder, ignored);
  }

  std::wstring prepare(const kro::sfx::splash_callback& splash = {},
                       const kro::sfx::progress_callback& progress = {}) {
    return kro::sfx::prepare_setup::factory().create(data)->prepare(splash, progress);
  }

  std::wstring prepare_on(const kro::environment::os_version::facts& system) {
    kro::sfx::prepare_setup preparation(data, system);
    return preparation.prepare({}, {});
  }

  const fs::path& folder() const { return m_folder; }
  fs::path common() const { return m_folder / "common"; }
  std::string read(const fs::path& path) const {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  std::string hand_off() {
    const fs::path path = m_folder / "hand-off.xml";
    data.info->save(path.wstring());
    return read(path);
  }

  std::shared_ptr<recording_reporter> reporter = std::make_shared<recording_reporter>();
  kro::sfx::sfx_data data;

 private:
  static std::string unique_name() { return kro::text::to_utf8(kro::root::new_guid_text()); }

  kro::test::temp_file m_image;
  fs::path m_folder;
};

// Everything below the folder, relative, with its bytes.
std::map<std::string, std::string> tree(const fs::path& folder) {
  std::map<std::string, std::string> out;
  for (const auto& entry : fs::recursive_directory_iterator(folder)) {
    if (!entry.is_regular_file()) continue;
    std::ifstream in(entry.path(), std::ios::binary);
    out[fs::relative(entry.path(), folder).generic_string()] =
        std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  return out;
}

const std::string master_bytes = "MZ the setup master";
const std::string data_bytes(70000, 'd');
const std::string packed_bytes = std::string(200000, 'p') + "tail";

TEST(prepare_setup, offline_package_places_every_file_and_returns_the_master_line) {
  const std::string info =
      product_info({{"morrow.exe", master_bytes}, {"data/big.bin", packed_bytes}, {"x.dat", data_bytes}}, "",
                   "<setup-commands arguments=\"/own:1\"/>");
  package_run run({{"sfx-info.xml", signed_xml(default_info)},
                   {"morrow/release.xml", signed_xml(info)},
                   {"morrow.exe", master_bytes},
                   {"", packed_bytes, payload_writer::storage::lzma},  // by digest only
                   {"x.dat", data_bytes}},
                  L"/offline /cookie=abc");
  log_capture log;
  int progress_calls = 0;
  const std::wstring line = run.prepare({}, [&](uint8_t) { ++progress_calls; });

  EXPECT_EQ(line, (run.common() / "morrow.exe").wstring() + L" /own:1");
  std::map<std::string, std::string> placed = tree(run.common());
  EXPECT_EQ(placed.size(), 4u);
  EXPECT_EQ(placed["morrow.exe"], master_bytes);
  EXPECT_EQ(placed["data/big.bin"], packed_bytes);
  EXPECT_EQ(placed["x.dat"], data_bytes);
  EXPECT_EQ(placed["product-info.xml"], signed_xml(info)) << "saved as received";
  EXPECT_EQ(progress_calls, 0) << "payload files report no progress";

  EXPECT_EQ(run.data.values->get_string(L"base-url", L""), L"127.0.0.1/repo");
  EXPECT_EQ(run.reporter->calls, (std::vector<std::string>{"title Morrow", "aiid abc", "offline 1",
                                                           "product morrow/release reset"}));
  const std::string hand_off = run.hand_off();
  const size_t repository = hand_off.find("<repository>"), cookie = hand_off.find("<cookie>abc</cookie>");
  EXPECT_NE(repository, std::string::npos);
  EXPECT_NE(cookie, std::string::npos);
  EXPECT_LT(hand_off.find("<title"), cookie) << hand_off;
  const std::string& text = log.text();
  EXPECT_NE(
      text.find("The product-info.xml 'morrow/release.xml' has been correctly unpacked from SFX archive."),
      std::string::npos);
  EXPECT_NE(text.find("No morrow_mod.dll"), std::string::npos);
}

// The document can switch silent, nosplash and clear on, never off: a false
// value stores nothing (a stored "0" would stick, since a named value is
// never overwritten). Switches on the command line suppress the splash but
// are no named values; they reach the setup master with the command line.
TEST(prepare_setup, command_line_and_document_switches_combine) {
  const std::string product = product_info({{"morrow.exe", master_bytes}});
  struct row {
    const char* params;  // the document's <params>
    const wchar_t* command_line;
    bool splash;
    const wchar_t* silent;  // stored named values, "-" when absent
    const wchar_t* nosplash;
    const wchar_t* clear;
  };
  const row rows[] = {
      {"", L"/offline", true, L"-", L"-", L"-"},
      {"<silent>n</silent><nosplash>n</nosplash><clear>n</clear>", L"/offline", true, L"-", L"-", L"-"},
      {"<silent>n</silent><clear>y</clear>", L"/offline /silent", false, L"-", L"-", L"1"},
      {"<silent>n</silent>", L"/offline /verysilent", false, L"-", L"-", L"-"},
      {"<silent>n</silent>", L"/offline /nosplash", false, L"-", L"-", L"-"},
      {"<silent>y</silent>", L"/offline", false, L"1", L"-", L"-"},
      {"<nosplash>y</nosplash>", L"/offline", false, L"-", L"1", L"-"},
  };
  for (const row& r : rows) {
    const std::string info_doc = std::string("<sfx-info><params>") + r.params +
                                 "</params><products><product name=\"a\" channel=\"beta\"/><product "
                                 "name=\"b\" channel=\"x\"/></products></sfx-info>";
    package_run run({{"sfx-info.xml", signed_xml(info_doc)},
                     {"a/beta.xml", signed_xml(product)},
                     {"morrow.exe", master_bytes}},
                    std::wstring(r.command_line) + L" /base-url=127.0.0.1:9/other");
    bool splashed = false;
    run.prepare([&](const std::wstring&) { splashed = true; });
    SCOPED_TRACE(r.params + (" " + kro::text::to_utf8(r.command_line)));
    EXPECT_EQ(splashed, r.splash);
    EXPECT_EQ(run.data.values->get_string(L"silent", L"-"), r.silent);
    EXPECT_EQ(run.data.values->get_string(L"nosplash", L"-"), r.nosplash);
    EXPECT_EQ(run.data.values->get_string(L"clear", L"-"), r.clear);
    EXPECT_EQ(run.data.values->get_string(L"base-url", L""), L"127.0.0.1:9/other");
    EXPECT_EQ(run.reporter->calls.back(), "product a/beta reset") << "only the first product";
  }
}

struct failure_case {
  const char* what;
  std::vector<payload_file> files;
  int32_t code;
  const char* message;  // part of what()
  const char* log_line;
};

TEST(prepare_setup, failures_end_the_preparation_with_their_error) {
  const std::string good = product_info({{"morrow.exe", master_bytes}});
  std::string tampered = signed_xml(good);
  tampered[tampered.find("Morrow")] = 'm';
  const std::string escaping = product_info({{"..\\escape.exe", master_bytes}});
  const std::string absolute = product_info({{"C:\\windows\\evil.dll", master_bytes}});
  const std::string stream = product_info({{"morrow.exe:hidden", master_bytes}});
  std::string wrong_hash = product_info({{"morrow.exe", master_bytes}});
  const failure_case cases[] = {
      {"no product-info.xml",
       {{"sfx-info.xml", signed_xml(default_info)}, {"morrow.exe", master_bytes}},
       -1,
       "The product-info.xml 'morrow/release.xml' has not been found in SFX, fail!",
       "The product-info.xml 'morrow/release.xml' has not been found in SFX, fail!"},
      {"tampered product-info.xml",
       {{"sfx-info.xml", signed_xml(default_info)},
        {"morrow/release.xml", tampered},
        {"morrow.exe", master_bytes}},
       -1,
       "File is not DSA signed (alias:morrow/release.xml)!",
       "DSA verification check of file data 'morrow/release.xml' fail!"},
      {"setup file missing offline",
       {{"sfx-info.xml", signed_xml(default_info)}, {"morrow/release.xml", signed_xml(good)}},
       -1,
       "File 'morrow.exe'|'",
       "not found in SFX archive, mode 'offline', product 'morrow'"},
      {"name with a parent segment",
       {{"sfx-info.xml", signed_xml(default_info)},
        {"morrow/release.xml", signed_xml(escaping)},
        {"", master_bytes}},
       kro::codes::invalid_name,
       "is not a relative path inside the temp folder",
       "The file name '..\\escape.exe' in product-info.xml is not a relative path inside the temp folder, "
       "fail!"},
      {"absolute name",
       {{"sfx-info.xml", signed_xml(default_info)},
        {"morrow/release.xml", signed_xml(absolute)},
        {"", master_bytes}},
       kro::codes::invalid_name,
       "C:\\windows\\evil.dll",
       "is not a relative path inside the temp folder"},
      {"stream name",
       {{"sfx-info.xml", signed_xml(default_info)},
        {"morrow/release.xml", signed_xml(stream)},
        {"", master_bytes}},
       kro::codes::invalid_name,
       "morrow.exe:hidden",
       "is not a relative path inside the temp folder"},
      {"payload file other than the one product-info.xml describes",
       {{"sfx-info.xml", signed_xml(default_info)},
        {"morrow/release.xml", signed_xml(good)},
        {"morrow.exe", master_bytes + "x"}},
       kro::codes::invalid_data,
       "wrong checksum",
       "File 'morrow.exe' in SFX archive has hash '"},
  };
  for (const failure_case& c : cases) {
    SCOPED_TRACE(c.what);
    package_run run(c.files);
    log_capture log;
    try {
      run.prepare();
      ADD_FAILURE() << "prepared";
    } catch (const kro::exceptions::error& e) {
      EXPECT_EQ(e.code(), c.code);
      EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
    }
    EXPECT_NE(log.text().find(c.log_line), std::string::npos) << log.text();
    for (const auto& [name, bytes] : tree(run.folder()))
      EXPECT_TRUE(name == "common/product-info.xml") << "left behind: " << name;
    EXPECT_FALSE(fs::exists(run.folder() / "escape.exe"));
  }
}

TEST(prepare_setup, missing_product_info_is_a_missing_file_offline) {
  package_run run({{"sfx-info.xml", signed_xml(default_info)}});
  EXPECT_THROW(run.prepare(), kro::sfx::exceptions::missign_sfx_file);
}

TEST(prepare_setup, online_run_falls_back_to_the_payload_and_raises_the_download_error_without_it) {
  const std::string info = product_info({{"morrow.exe", master_bytes}});
  {
    package_run run({{"sfx-info.xml", signed_xml(default_info)},
                     {"morrow/release.xml", signed_xml(info)},
                     {"morrow.exe", master_bytes}},
                    L"");
    EXPECT_EQ(run.prepare(), (run.common() / "morrow.exe").wstring());
    EXPECT_EQ(run.reporter->calls[1], "offline 0");
  }
  {
    package_run run({{"sfx-info.xml", signed_xml(default_info)}, {"morrow.exe", master_bytes}}, L"");
    try {
      run.prepare();
      ADD_FAILURE() << "prepared";
    } catch (const kro::exceptions::error& e) {
      EXPECT_EQ(e.code(), kro::codes::not_implemented) << e.what();
    }
  }
}

TEST(prepare_setup, groups_and_files_excluded_by_their_conditions_contribute_nothing) {
  const std::string never = "<conditions><boolean value=\"false\"/></conditions>";
  const std::string info =
      "<product-info><name>Morrow</name><version>1</version>"
      "<setup-files><file><name>morrow.exe</name><sha-256>" +
      sha256_text(master_bytes) + "</sha-256><size>19</size></file>" + "<file>" + never +
      "<name>skipped-file.bin</name><sha-256>" + sha256_text("absent") +
      "</sha-256><size>99999</size></file>" + "</setup-files><setup-files>" + never +
      "<file><name>skipped-group.bin</name><sha-256>" + sha256_text("absent") +
      "</sha-256></file></setup-files><setup-commands/></product-info>";
  package_run run({{"sfx-info.xml", signed_xml(default_info)},
                   {"morrow/release.xml", signed_xml(info)},
                   {"morrow.exe", master_bytes}});
  EXPECT_FALSE(run.prepare().empty());
  std::map<std::string, std::string> placed = tree(run.common());
  EXPECT_EQ(placed.size(), 2u) << "morrow.exe and product-info.xml only";
}

TEST(prepare_setup, no_file_named_like_the_setup_master_gives_an_empty_line) {
  const std::string info = product_info({{"x.dat", data_bytes}});
  package_run run({{"sfx-info.xml", signed_xml(default_info)},
                   {"morrow/release.xml", signed_xml(info)},
                   {"x.dat", data_bytes}});
  EXPECT_EQ(run.prepare(), L"");
}

TEST(prepare_setup, unsigned_module_dll_is_not_called) {
  const std::string info = product_info({{"morrow.exe", master_bytes}});
  package_run run({{"sfx-info.xml", signed_xml(default_info)},
                   {"morrow/release.xml", signed_xml(info)},
                   {"morrow_mod.dll", "MZ not signed"},
                   {"morrow.exe", master_bytes}});
  log_capture log;
  EXPECT_FALSE(run.prepare().empty());
  EXPECT_NE(
      log.text().find("MOD.dll '" + (run.common() / "morrow_mod.dll").string() + "' is not DSA signed!"),
      std::string::npos)
      << log.text();
  EXPECT_EQ(log.text().find("Loading MOD"), std::string::npos);
}

kro::environment::os_version::facts windows10(kro::environment::os_version::platform_type platform) {
  kro::environment::os_version::facts f;
  f.major = 10;
  f.build = 19045;
  f.platform_id = 2;
  f.product_type = 1;
  f.platform = platform;
  return f;
}

TEST(prepare_setup, arm64_system_needs_an_arm64_setup_master) {
  using kro::environment::os_version::platform_type;
  const std::string arm64_only = "morrow-arm64.exe";
  const std::string plain = product_info({{"morrow.exe", master_bytes}});
  const std::string with_arm64 =
      "<product-info><name>Morrow</name><version>1</version><setup-files><file><name>morrow.exe</"
      "name><sha-256>" +
      sha256_text(master_bytes) +
      "</sha-256></file></setup-files><setup-files><conditions><os platform=\"arm64\"/>" +
      "</conditions><file><name>arm64.bin</name><sha-256>" + sha256_text(arm64_only) +
      "</sha-256></file></setup-files><setup-commands/></product-info>";
  const auto files = [&](const std::string& info) {
    return std::vector<payload_file>{{"sfx-info.xml", signed_xml(default_info)},
                                     {"morrow/release.xml", signed_xml(info)},
                                     {"morrow.exe", master_bytes},
                                     {"arm64.bin", arm64_only}};
  };
  {
    package_run run(files(plain));
    try {
      run.prepare_on(windows10(platform_type::arm64));
      ADD_FAILURE() << "prepared on ARM64";
    } catch (const kro::exceptions::error& e) {
      EXPECT_STREQ(e.what(), "Missing ARM64 morrow.exe, cannot be installed on ARM64");
    }
    EXPECT_EQ(tree(run.common()).count("morrow.exe"), 0u) << "no setup file placed";
  }
  {
    package_run run(files(with_arm64));
    EXPECT_FALSE(run.prepare_on(windows10(platform_type::arm64)).empty());
    EXPECT_EQ(tree(run.common()).count("arm64.bin"), 1u);
  }
  {
    package_run run(files(with_arm64));
    EXPECT_FALSE(run.prepare_on(windows10(platform_type::x64)).empty());
    EXPECT_EQ(tree(run.common()).count("arm64.bin"), 0u) << "the ARM64 group does not apply on x64";
  }
}

TEST(sfx_edat, extracts_edat_files_with_their_folders_and_skips_unsafe_names) {
  const std::string info = product_info({{"morrow.exe", master_bytes}});
  package_run run({{"sfx-info.xml", signed_xml(default_info)},
                   {"morrow/release.xml", signed_xml(info)},
                   {"morrow.exe", master_bytes},
                   {"sub\\data.EDAT", "one"},
                   {"a.edat.bin", "two"},
                   {"deep/er/x.edat", "three"},
                   {"..\\outside.edat", "never"},
                   {"C:\\outside.edat", "never"},
                   {"plain.bin", "not edat"}});
  log_capture log;
  run.prepare();
  std::map<std::string, std::string> placed = tree(run.folder());
  EXPECT_EQ(placed["sub/data.EDAT"], "one");
  EXPECT_EQ(placed["a.edat.bin"], "two");
  EXPECT_EQ(placed["deep/er/x.edat"], "three");
  EXPECT_EQ(placed.count("plain.bin"), 0u);
  EXPECT_FALSE(fs::exists(run.folder().parent_path() / "outside.edat"));
  EXPECT_EQ(log.count("is not a relative path inside the temp folder, skip"), 2u) << log.text();
  EXPECT_EQ(log.count("Unpacking EDAT ("), 5u);
}

}  // namespace
