// The run sequence against test doubles of every component it creates.
#include "sfx/sfx_process.h"

#include <gtest/gtest.h>

#include <optional>
#include <regex>
#include <stdexcept>

#include "exceptions/exceptions.h"
#include "files/directory.h"
#include "systools/process_facts.h"
#include "text/text.h"

namespace kro::sfx {
namespace {

using features::splash::gif_wnd_data_intf;
using features::splash::gif_wnd_intf;

// Everything the doubles see, in order.
struct journal {
  std::vector<std::string> calls;
  void add(std::string call) { calls.push_back(std::move(call)); }
  bool has(const std::string& call) const {
    return std::find(calls.begin(), calls.end(), call) != calls.end();
  }
  ptrdiff_t index(const std::string& call) const {
    return std::find(calls.begin(), calls.end(), call) - calls.begin();
  }
};

std::string narrow(const std::wstring& text) { return text::to_utf8(text); }

class reporter_double : public sfx_reporting_intf {
 public:
  explicit reporter_double(journal& j) : m_j(j) {}
  void send_stage(const std::string& stage) override { m_j.add("stage " + stage); }
  void set_tmp_path(const std::wstring& path) override { m_j.add("report tmp " + narrow(path)); }
  void set_offline(bool) override {}
  void set_aiid(const std::wstring&) override {}
  void set_session_id(const std::wstring& id) override {
    session_id = id;
    m_j.add("report session");
  }
  void set_product_name(const std::wstring&) override {}
  void set_restart_required(bool flag) override { m_j.add(flag ? "report restart 1" : "report restart 0"); }
  void set_exit_code(int32_t code) override { m_j.add("report exit " + std::to_string(code)); }
  void add_main_product(const std::wstring&, const std::wstring&, bool) override {}
  void set_report_url(const std::wstring&) override {}
  std::wstring session_id;

 private:
  journal& m_j;
};

class info_double : public morrow_info_intf {
 public:
  // save_error: nullopt saves; otherwise save fails leaving that last error.
  info_double(journal& j, std::optional<uint32_t> save_error) : m_j(j), m_save_error(save_error) {}
  void add_copy(const pugi::xml_node& element) override {
    nodes.emplace_back(element.name(), element.text().get());
  }
  void add_move(const pugi::xml_node&) override {}
  bool save(const std::wstring& path) override {
    m_j.add("save " + narrow(path));
    if (!m_save_error) return true;
    systools::set_last_error(*m_save_error);
    return false;
  }
  std::vector<std::pair<std::string, std::string>> nodes;

 private:
  journal& m_j;
  std::optional<uint32_t> m_save_error;
};

class temp_double : public temp_dir_intf {
 public:
  temp_double(journal& j, std::wstring path) : m_j(j), m_path(std::move(path)) {}
  ~temp_double() override { m_j.add("temp released"); }
  std::wstring get_path() const override { return m_path; }

 private:
  journal& m_j;
  std::wstring m_path;
};

class window_double : public gif_wnd_intf {
 public:
  explicit window_double(journal& j) : m_j(j) {}
  ~window_double() override { m_j.add("splash released"); }
  bool start(bool visible) override {
    m_j.add(visible ? "splash start visible" : "splash start hidden");
    return true;
  }
  void stop() override { m_j.add("splash stop"); }
  void show() override {}
  void hide() override {}
  void set_text(const std::wstring& text) override { m_j.add("splash text " + narrow(text)); }
  void set_progress(int32_t percent) override { m_j.add("splash progress " + std::to_string(percent)); }

 private:
  journal& m_j;
};

class data_double : public gif_wnd_data_intf {
 public:
  std::vector<uint8_t> gif_data() override { return {}; }
  void* icon() override { return nullptr; }
  const wchar_t* title() override { return L""; }
  const wchar_t* product_name() override { return L""; }
  int text_top() override { return 100; }
};

class translator_double : public sfx_translator_intf {
 public:
  std::wstring format(const std::wstring& id, const std::vector<std::wstring>& args) override {
    std::wstring out = id;
    for (const auto& a : args) out += L"|" + a;
    return out;
  }
  std::wstring get_text(const std::wstring& id) override { return id == L"@Sfx_Starting" ? L"starting" : id; }
};

// What the doubles do in one run.
struct scenario {
  bool signature_ok = true;
  bool open_fails = false;
  bool inno_throws = false;
  std::wstring inno_result;  // empty: the input unchanged
  std::wstring temp_path = L"C:\\windows\\Temp\\kro-test";
  std::wstring master = L"C:\\windows\\Temp\\kro-test\\common\\morrow.exe";
  bool prepare_throws = false;
  bool launcher_throws = false;
  std::optional<uint32_t> save_error;  // the hand-off file cannot be written
  bool use_splash = false;
  bool set_silent = false;
  bool set_clear = false;
  uint32_t exit_code = 0;
};

// The factories with distinct create() signatures in one object; each
// create() records itself. Those whose create() takes no argument get an
// adapter each below.
class doubles : public temp_dir::factory,
                public payload::factory,
                public features::splash::gif_wnd::factory,
                public features::splash::res_gif_wnd_data::factory,
                public prepare_setup::factory,
                public sfx_translator::factory {
 public:
  explicit doubles(scenario given) : s(std::move(given)) {}

  sfx_process::factories all() {
    sfx_process::factories f;
    f.temp = this, f.payload_files = this, f.splash = this, f.splash_data = this;
    f.prepare = this, f.translator = this;
    return f;
  }

  std::unique_ptr<temp_dir_intf> create(bool remove_at_end) override {
    j.add(remove_at_end ? "temp create remove" : "temp create keep");
    return std::make_unique<temp_double>(j, s.temp_path);
  }
  std::unique_ptr<payload_intf> create(const std::wstring& path, sfx_data& data) override;
  executable_image open(const std::wstring& path) override;
  std::unique_ptr<payload_intf> create_from(executable_image image, sfx_data& data) override;
  std::shared_ptr<gif_wnd_intf> create(std::shared_ptr<gif_wnd_data_intf>) override {
    j.add("splash create");
    return std::make_shared<window_double>(j);
  }
  std::shared_ptr<gif_wnd_data_intf> create(void*, uint32_t id, const std::wstring& type, uint32_t icon,
                                            const std::wstring& title, const std::wstring& product) override {
    j.add("splash data " + std::to_string(id) + " " + narrow(type) + " " + std::to_string(icon) + " " +
          narrow(title) + " " + narrow(product));
    return std::make_shared<data_double>();
  }
  std::unique_ptr<prepare_setup_intf> create(sfx_data& data) override;
  std::shared_ptr<morrow_info_intf> create_info() {
    info = std::make_shared<info_double>(j, s.save_error);
    return info;
  }
  std::shared_ptr<sfx_translator_intf> create(uint32_t lcid) override {
    j.add("translator " + std::to_string(lcid));
    return std::make_shared<translator_double>();
  }

  scenario s;
  journal j;
  std::shared_ptr<info_double> info;
  std::wstring launched_program;
  std::wstring launched_arguments;
  uint32_t launched_timeout = 0;
  std::optional<std::wstring> launched_directory;
};

// Same-signature create() operations of several factories: one adapter each.
class verify_double : public verify_signature_intf {
 public:
  verify_double(journal& j, bool ok) : m_j(j), m_ok(ok) {}
  bool verify_handle(void*) override { return false; }
  bool verify_block(const void*, size_t) override { return false; }
  bool verify_file(const std::wstring&) override { return false; }
  bool verify_mapping(const files::file_mapping* mapping, const std::wstring& path) override {
    m_j.add("verify " + narrow(path) +
            (mapping == opened_mapping().get() ? " (the opened file)" : " (another file)"));
    return m_ok;
  }
  // The mapping the payload double hands out as the opened executable.
  static std::shared_ptr<files::file_mapping> opened_mapping() {
    static const auto mapping = std::make_shared<files::file_mapping>();
    return mapping;
  }

 private:
  journal& m_j;
  bool m_ok;
};

class payload_double : public payload_intf {
 public:
  std::shared_ptr<unpacker_intf> find_by_hash(const std::wstring&) override { return {}; }
  std::shared_ptr<unpacker_intf> find_by_alias(const std::wstring&) override { return {}; }
  std::vector<std::wstring> aliases() override { return {}; }
};

class prepare_double : public prepare_setup_intf {
 public:
  prepare_double(doubles& d, sfx_data& data) : m_d(d), m_data(data) {}
  std::wstring prepare(const splash_callback& splash, const progress_callback& progress) override {
    m_d.j.add("prepare");
    if (m_d.s.set_silent) m_data.values->set_bool(L"silent", true);
    if (m_d.s.set_clear) m_data.values->set_bool(L"clear", true);
    if (m_d.s.use_splash) splash(L"Prod");
    progress(40);
    if (m_d.s.prepare_throws) throw exceptions::download_file_fail(12029, "download failed");
    return m_d.s.master;
  }

 private:
  doubles& m_d;
  sfx_data& m_data;
};

class launcher_double : public secure_process_launcher_intf {
 public:
  explicit launcher_double(doubles& d) : m_d(d) {}
  uint32_t run(const command_line& program, const std::wstring& arguments, uint32_t timeout,
               const std::optional<std::wstring>& current_directory) override {
    m_d.j.add("launch");
    m_d.launched_program = program.program().value_or(L"");
    m_d.launched_arguments = arguments;
    m_d.launched_timeout = timeout;
    m_d.launched_directory = current_directory;
    if (m_d.s.launcher_throws) throw std::runtime_error("cannot start");
    return m_d.s.exit_code;
  }

 private:
  doubles& m_d;
};

class inno_double : public sfx_migrate_inno_params_intf {
 public:
  explicit inno_double(doubles& d) : m_d(d) {}
  std::wstring convert(const wchar_t* cmd) override {
    if (m_d.s.inno_throws) throw std::runtime_error("converter broke");
    return m_d.s.inno_result.empty() ? std::wstring(cmd) : m_d.s.inno_result;
  }

 private:
  doubles& m_d;
};

struct verify_factory : verify_signature::factory {
  explicit verify_factory(doubles& all) : d(all) {}
  std::shared_ptr<verify_signature_intf> create() override {
    return std::make_shared<verify_double>(d.j, d.s.signature_ok);
  }
  doubles& d;
};
struct info_factory : morrow_info::factory {
  explicit info_factory(doubles& all) : d(all) {}
  std::shared_ptr<morrow_info_intf> create() override { return d.create_info(); }
  doubles& d;
};
struct launcher_factory : secure_process_launcher::factory {
  explicit launcher_factory(doubles& all) : d(all) {}
  std::unique_ptr<secure_process_launcher_intf> create() override {
    d.j.add("launcher create");
    return std::make_unique<launcher_double>(d);
  }
  doubles& d;
};
struct inno_factory : sfx_migrate_inno_params::factory {
  explicit inno_factory(doubles& all) : d(all) {}
  std::unique_ptr<sfx_migrate_inno_params_intf> create() override { return std::make_unique<inno_double>(d); }
  doubles& d;
};

std::unique_ptr<payload_intf> doubles::create(const std::wstring& path, sfx_data&) {
  j.add("payload by path " + narrow(path));  // the run never opens the file twice
  return std::make_unique<payload_double>();
}

executable_image doubles::open(const std::wstring& path) {
  j.add("open " + narrow(path));
  if (s.open_fails) throw kro::exceptions::error(32, "Failed to open sfx file.");
  return {nullptr, verify_double::opened_mapping()};
}

std::unique_ptr<payload_intf> doubles::create_from(executable_image image, sfx_data&) {
  j.add(image.mapping == verify_double::opened_mapping() ? "payload from the opened file"
                                                         : "payload from another file");
  return std::make_unique<payload_double>();
}

std::unique_ptr<prepare_setup_intf> doubles::create(sfx_data& data) {
  return std::make_unique<prepare_double>(*this, data);
}

// One run with the doubles; keeps everything for the checks.
struct harness {
  explicit harness(scenario s = {})
      : d(std::move(s)),
        verify(d),
        info(d),
        launcher(d),
        inno(d),
        reporter(std::make_shared<reporter_double>(d.j)) {
    auto f = d.all();
    f.verify = &verify, f.hand_off = &info, f.launcher = &launcher, f.inno = &inno;
    process = std::make_unique<sfx_process>(reporter, f);
  }
  int32_t run(const wchar_t* cmd) { return process->run(L"C:\\dl\\setup.exe", cmd); }
  std::string value(const wchar_t* key) { return narrow(process->data().values->get_string(key, L"<none>")); }

  doubles d;
  verify_factory verify;
  info_factory info;
  launcher_factory launcher;
  inno_factory inno;
  std::shared_ptr<reporter_double> reporter;
  std::unique_ptr<sfx_process> process;
};

TEST(sfx_process, runs_the_components_in_order) {
  harness h;
  EXPECT_EQ(h.run(L"/x"), 0);
  const std::vector<std::string> expected = {
      "report session",
      "open C:\\dl\\setup.exe",
      "verify C:\\dl\\setup.exe (the opened file)",
      "payload from the opened file",
      "temp create remove",
      "report tmp C:\\windows\\Temp\\kro-test",
      "stage sfx-start",
      "prepare",
      "save C:\\windows\\Temp\\kro-test\\morrow-info.xml",
      "launcher create",
      "stage sfx-running-morrow",
      "launch",
      "report exit 0",
      "stage sfx-finish",
      "temp released",
  };
  EXPECT_EQ(h.d.j.calls, expected);
  EXPECT_EQ(h.d.launched_program, L"C:\\windows\\Temp\\kro-test\\common\\morrow.exe");
  EXPECT_EQ(h.d.launched_timeout, 0xFFFFFFFFu);
  EXPECT_EQ(h.d.launched_directory, std::optional<std::wstring>(L"C:\\windows\\Temp\\kro-test\\common"));
  EXPECT_EQ(h.value(L"tmp-path"), "C:\\windows\\Temp\\kro-test");
}

TEST(sfx_process, hand_off_nodes_and_session_id) {
  harness h;
  h.run(L"--lang-id=1031 \"/cookie=a b\"");
  const std::string session = h.value(L"session-id");
  EXPECT_TRUE(std::regex_match(
      session, std::regex("[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}")))
      << session;
  EXPECT_EQ(narrow(h.reporter->session_id), session);
  const std::vector<std::pair<std::string, std::string>> expected = {
      {"sfx-cmd", "/lang-id:1031 \"/cookie:a b\""},
      {"session-id", session},
      {"temp-base-dir", "C:\\windows\\Temp\\kro-test"},
  };
  EXPECT_EQ(h.d.info->nodes, expected);
}

TEST(sfx_process, setup_master_arguments) {
  struct row {
    const wchar_t* cmd;
    const wchar_t* master;
    const wchar_t* temp;
    bool silent, clear, splash;
    const wchar_t* expected;  // "<pid>" stands for the process id
  };
  static const row rows[] = {
      // Its own switches, the hand-off path, install, then the converted line.
      {L"/lang-id=1031 /silent", L"C:\\t\\common\\morrow.exe /a:1", L"C:\\t", true, false, false,
       L"/a:1 /morrow-info-path:C:\\t\\morrow-info.xml /install /lang-id=1031 /silent"},
      // silent from sfx-info.xml is added once when the line lacks it.
      {L"", L"C:\\t\\common\\morrow.exe", L"C:\\t", true, false, false,
       L"/morrow-info-path:C:\\t\\morrow-info.xml /install /silent"},
      {L"/SILENT", L"C:\\t\\common\\morrow.exe", L"C:\\t", true, false, false,
       L"/morrow-info-path:C:\\t\\morrow-info.xml /install /SILENT"},
      // install or clear already there: no second copy.
      {L"", L"C:\\t\\common\\morrow.exe /install", L"C:\\t", false, false, false,
       L"/install /morrow-info-path:C:\\t\\morrow-info.xml"},
      {L"", L"C:\\t\\common\\morrow.exe /clear", L"C:\\t", false, true, false,
       L"/clear /morrow-info-path:C:\\t\\morrow-info.xml"},
      {L"", L"C:\\t\\common\\morrow.exe", L"C:\\t", false, true, false,
       L"/morrow-info-path:C:\\t\\morrow-info.xml /clear"},
      // A folder with a blank: the whole token quoted. The setup master's
      // line is tokenized, so a path with a blank reaches the run quoted.
      {L"", L"\"C:\\my temp\\common\\morrow.exe\"", L"C:\\my temp", false, false, false,
       L"\"/morrow-info-path:C:\\my temp\\morrow-info.xml\" /install"},
      // With a splash window the process id follows.
      {L"/x", L"C:\\t\\common\\morrow.exe", L"C:\\t", false, false, true,
       L"/morrow-info-path:C:\\t\\morrow-info.xml /install /x /sssid=<pid>"},
  };
  for (const row& r : rows) {
    scenario s;
    s.master = r.master, s.temp_path = r.temp, s.set_silent = r.silent, s.set_clear = r.clear;
    s.use_splash = r.splash;
    harness h(s);
    h.run(r.cmd);
    std::wstring expected = r.expected;
    const auto pid = expected.find(L"<pid>");
    if (pid != std::wstring::npos) expected.replace(pid, 5, std::to_wstring(systools::current_process_id()));
    EXPECT_EQ(narrow(h.d.launched_arguments), narrow(expected))
        << "cmd: " << narrow(r.cmd) << " master: " << narrow(r.master);
  }
}

TEST(sfx_process, relative_install_path_reaches_the_setup_master_as_a_full_path) {
  const std::wstring full = files::full_path(L"my dir");  // against this process's current directory
  ASSERT_TRUE(files::is_fully_qualified(full) || full.front() == L'/') << narrow(full);
  harness h;
  h.run(L"/silent  /install-path:\"my dir\" x");
  EXPECT_EQ(narrow(h.d.launched_arguments), narrow(L"/morrow-info-path:C:\\windows\\Temp\\kro-test\\morrow-"
                                                   L"info.xml /install /silent  \"/install-path:" +
                                                   full + L"\" x"));
  EXPECT_EQ(h.d.info->nodes[0].second, narrow(L"/silent \"/install-path:" + full + L"\" x"));

  // A full path, or none, leaves the line as it was given, byte for byte.
  for (const wchar_t* given :
       {L"/install-path:C:\\x  /a", L"\"/install-path:\\\\srv\\my share\"", L"/x:rel"}) {
    harness same;
    same.run(given);
    EXPECT_EQ(narrow(same.d.launched_arguments),
              narrow(L"/morrow-info-path:C:\\windows\\Temp\\kro-test\\morrow-info.xml /install " +
                     std::wstring(given)));
  }
}

TEST(sfx_process, language_choice) {
  struct row {
    const wchar_t* cmd;
    int32_t lcid;
  };
  const int32_t user = static_cast<int32_t>(systools::user_default_lang_id());
  const row rows[] = {
      {L"", user},
      {L"/lang-id=1031", 1031},
      {L"/lang-id:2057", 2057},
      {L"/lang-id=9999", 1033},
      {L"/lang-id=abc", 1033},
      {L"/lang-id=99999999999", 1033},
      {L"/lang-id=", 1033},
  };
  for (const row& r : rows) {
    harness h;
    h.run(r.cmd);
    EXPECT_EQ(h.process->data().values->get_int(L"lang-id", -7), r.lcid) << narrow(r.cmd);
  }
}

TEST(sfx_process, inno_switches_are_converted_and_a_failing_converter_is_ignored) {
  scenario converted;
  converted.inno_result = L"/silent /lang-id:1031";
  harness a(converted);
  a.run(L"/VERYSILENT /LANG=L1031");
  EXPECT_EQ(a.d.info->nodes[0].second, "/silent /lang-id:1031");
  EXPECT_EQ(a.process->data().values->get_int(L"lang-id", 0), 1031);

  scenario broken;
  broken.inno_throws = true;
  harness b(broken);
  EXPECT_EQ(b.run(L"/VERYSILENT"), 0);
  EXPECT_EQ(b.d.info->nodes[0].second, "/VERYSILENT");
  EXPECT_NE(narrow(b.d.launched_arguments).find(" /VERYSILENT"), std::string::npos);
}

TEST(sfx_process, xperf_keeps_the_folder) {
  harness h;
  h.run(L"/xperf");
  EXPECT_TRUE(h.d.j.has("temp create keep"));
}

TEST(sfx_process, bad_signature_stops_before_anything_is_extracted) {
  scenario s;
  s.signature_ok = false;
  harness h(s);
  EXPECT_THROW(h.run(L""), exceptions::sfx_invalid_signature);
  const std::vector<std::string> expected = {"report session", "open C:\\dl\\setup.exe",
                                             "verify C:\\dl\\setup.exe (the opened file)"};
  EXPECT_EQ(h.d.j.calls, expected);
}

TEST(sfx_process, an_executable_that_cannot_be_opened_fails_the_signature_check) {
  scenario s;
  s.open_fails = true;
  harness h(s);
  try {
    h.run(L"");
    FAIL() << "no exception";
  } catch (const sfx::exceptions::sfx_invalid_signature&) {
    FAIL() << "an open failure is not a bad signature";
  } catch (const kro::exceptions::error& e) {
    EXPECT_EQ(e.code(), 32);  // the system's code of the failed open
    EXPECT_STREQ(e.what(), "Open file for DSA check fail!");
  }
  const std::vector<std::string> expected = {"report session", "open C:\\dl\\setup.exe"};
  EXPECT_EQ(h.d.j.calls, expected);
}

TEST(sfx_process, failures_release_the_folder_and_skip_the_remaining_stages) {
  {
    scenario s;
    s.prepare_throws = true;
    s.use_splash = true;
    harness h(s);
    try {
      h.run(L"");
      FAIL() << "no exception";
    } catch (const exceptions::download_file_fail& e) {
      EXPECT_EQ(e.code(), 12029);  // thrown on unchanged
    }
    EXPECT_FALSE(h.d.j.has("stage sfx-running-morrow"));
    EXPECT_FALSE(h.d.j.has("stage sfx-finish"));
    // The splash window goes before the folder.
    EXPECT_LT(h.d.j.index("splash released"), h.d.j.index("temp released"));
    EXPECT_EQ(h.d.j.calls.back(), "temp released");
  }
  {
    scenario s;
    s.launcher_throws = true;
    harness h(s);
    EXPECT_THROW(h.run(L""), std::runtime_error);
    EXPECT_TRUE(h.d.j.has("stage sfx-running-morrow"));
    EXPECT_FALSE(h.d.j.has("stage sfx-finish"));
    EXPECT_EQ(h.d.j.calls.back(), "temp released");
  }
}

TEST(sfx_process, a_hand_off_file_that_cannot_be_written_ends_the_run_before_the_launch) {
  struct row {
    uint32_t last_error;  // what the failed save leaves
    int32_t code;
  };
  for (const row r : {row{5, 5}, row{112, 112}, row{0, 29}}) {
    scenario s;
    s.save_error = r.last_error;
    harness h(s);
    try {
      h.run(L"");
      FAIL() << "no exception for last error " << r.last_error;
    } catch (const kro::exceptions::error& e) {
      EXPECT_EQ(e.code(), r.code);
      EXPECT_STREQ(e.what(),
                   "Unable to write the hand-off file 'C:\\windows\\Temp\\kro-test\\morrow-info.xml'!");
    }
    EXPECT_TRUE(h.d.j.has("save C:\\windows\\Temp\\kro-test\\morrow-info.xml"));
    EXPECT_FALSE(h.d.j.has("launcher create"));
    EXPECT_FALSE(h.d.j.has("launch"));
    EXPECT_FALSE(h.d.j.has("stage sfx-running-morrow"));
    EXPECT_EQ(h.d.j.calls.back(), "temp released");
  }
}

TEST(sfx_process, restart_required_is_reported_and_returned) {
  scenario s;
  s.exit_code = 44080;
  harness h(s);
  EXPECT_EQ(h.run(L""), 44080);
  EXPECT_LT(h.d.j.index("report restart 1"), h.d.j.index("report exit 44080"));
  EXPECT_TRUE(h.d.j.has("stage sfx-finish"));

  scenario failing;
  failing.exit_code = 3;
  harness g(failing);
  EXPECT_EQ(g.run(L""), 3);  // a failing setup master is no failure of the run
  EXPECT_FALSE(g.d.j.has("report restart 1"));
}

TEST(sfx_process, splash_window_follows_the_preparation) {
  scenario s;
  s.use_splash = true;
  harness h(s);
  h.run(L"/lang-id=1031");
  const auto& c = h.d.j.calls;
  const std::vector<std::string> splash(c.begin() + h.d.j.index("translator 1031"), c.end());
  const std::vector<std::string> expected = {
      "translator 1031",
      "splash data 200 GIF 128 @Sfx_Title|Prod Prod",
      "splash create",
      "splash start visible",
      "splash text Prod... 40%",
      "splash progress 40",
      "save C:\\windows\\Temp\\kro-test\\morrow-info.xml",
      "splash text Prod... starting",
      "splash progress -1",
      "launcher create",
      "stage sfx-running-morrow",
      "launch",
      "splash stop",
      "report exit 0",
      "stage sfx-finish",
      "splash released",
      "temp released",
  };
  EXPECT_EQ(splash, expected);

  harness quiet;  // without a splash window progress goes nowhere
  quiet.run(L"");
  EXPECT_FALSE(quiet.d.j.has("splash text Prod... 40%"));
}

}  // namespace
}  // namespace kro::sfx
