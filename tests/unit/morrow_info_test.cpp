// The hand-off document as written to disk: declaration, root, copies in the
// order handed in, tab indentation, UTF-8 without byte-order mark.
#include "sfx/morrow_info.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <pugixml.hpp>
#include <string>
#include <thread>
#include <vector>

#if !defined(_WIN32)
#include <sys/wait.h>
#endif

#include "pe_fixture.h"
#include "systools/process_facts.h"
#include "text/text.h"

namespace {

using kro::test::temp_file;

std::shared_ptr<kro::sfx::morrow_info_intf> make_info() { return kro::sfx::morrow_info::factory().create(); }

std::string saved_text(kro::sfx::morrow_info_intf& info) {
  temp_file file("info");
  EXPECT_TRUE(info.save(file.path()));
  const std::vector<uint8_t> bytes = file.read();
  return std::string(bytes.begin(), bytes.end());
}

TEST(morrow_info, empty_document_has_declaration_and_root_attribute) {
  auto info = make_info();
  EXPECT_EQ(saved_text(*info),
            "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
            "<morrow-info xmlns:xs=\"http://www.w3.org/2001/XMLSchema-instance\" />\n");
}

TEST(morrow_info, copies_elements_in_order_with_tab_indentation) {
  auto info = make_info();
  pugi::xml_document source;
  ASSERT_TRUE(source.load_string(
      "<sfx-info><eula>e</eula><title>T\xC3\xA9</title><repository url=\"u\"/></sfx-info>"));
  for (pugi::xml_node child : source.child("sfx-info").children()) info->add_copy(child);
  pugi::xml_document session;
  session.append_child("session-id").text().set("s1");
  info->add_copy(session.document_element());
  info->add_copy(session.document_element());  // the same name twice appears twice
  // Later changes to the source do not reach the copy.
  source.child("sfx-info").child("eula").text().set("changed");

  EXPECT_EQ(saved_text(*info),
            "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
            "<morrow-info xmlns:xs=\"http://www.w3.org/2001/XMLSchema-instance\">\n"
            "\t<eula>e</eula>\n"
            "\t<title>T\xC3\xA9</title>\n"
            "\t<repository url=\"u\" />\n"
            "\t<session-id>s1</session-id>\n"
            "\t<session-id>s1</session-id>\n"
            "</morrow-info>\n");
}

TEST(morrow_info, nested_elements_indent_one_tab_per_level) {
  auto info = make_info();
  pugi::xml_document source;
  ASSERT_TRUE(source.load_string("<file-list><file><alias>a</alias></file></file-list>"));
  info->add_copy(source.document_element());
  EXPECT_NE(saved_text(*info).find(
                "\t<file-list>\n\t\t<file>\n\t\t\t<alias>a</alias>\n\t\t</file>\n\t</file-list>\n"),
            std::string::npos);
}

TEST(morrow_info, moves_only_nodes_of_its_own_document) {
  auto info = make_info();
  pugi::xml_document foreign;
  pugi::xml_node node = foreign.append_child("cookie");
  node.text().set("c");
  info->add_move(node);
  info->add_move(pugi::xml_node());
  EXPECT_EQ(saved_text(*info).find("cookie"), std::string::npos);
  EXPECT_TRUE(foreign.child("cookie"));  // left where it was
}

TEST(morrow_info, saving_twice_replaces_and_failure_answers_false) {
  auto info = make_info();
  temp_file file("twice");
  file.write(std::vector<uint8_t>(4096, 'z'));  // longer than the document
  pugi::xml_document a;
  a.append_child("first");
  info->add_copy(a.document_element());
  ASSERT_TRUE(info->save(file.path()));
  ASSERT_TRUE(info->save(file.path()));
  const std::vector<uint8_t> bytes = file.read();
  const std::string text(bytes.begin(), bytes.end());
  EXPECT_EQ(text.rfind("<?xml", 0), 0u) << "no byte-order mark, starts with the declaration";
  EXPECT_EQ(text.find('z'), std::string::npos) << text;
  EXPECT_EQ(text.find("<first />"), text.rfind("<first />"));

  // A failure leaves the system's code for the run to raise with.
  temp_file folder("no-such-folder");
  kro::systools::set_last_error(0);
  EXPECT_FALSE(info->save(folder.path() + L"/sub/morrow-info.xml"));
#if defined(_WIN32)
  EXPECT_EQ(kro::systools::last_error(), 3u);  // ERROR_PATH_NOT_FOUND
#else
  EXPECT_EQ(kro::systools::last_error(), static_cast<uint32_t>(ENOENT));
#endif
}

// Every character XML 1.0 refuses, as a command line or an alias may hold
// them, with the characters it allows around them.
std::wstring refused_characters() {
  std::wstring text = L"/a:";
  for (wchar_t c = 1; c < 0x20; ++c) text += c;
  text += L"|\x7f\u0085|";
  text += static_cast<wchar_t>(0xFFFE);
  text += static_cast<wchar_t>(0xFFFF);
  text += static_cast<wchar_t>(0xD800);  // a lone surrogate
  text += L"|\U0001F600\uFFFD\uE000\uD7FF";
  return text;
}

// What the hand-off file holds in its place: U+FFFD for each refused one.
std::wstring allowed_characters() {
  std::wstring text = L"/a:";
  for (wchar_t c = 1; c < 0x20; ++c) text += (c == 0x9 || c == 0xA || c == 0xD) ? c : L'\uFFFD';
  text += L"|\x7f\u0085|\uFFFD\uFFFD\uFFFD|\U0001F600\uFFFD\uE000\uD7FF";
  return text;
}

TEST(morrow_info, texts_hold_only_characters_xml_allows) {
  auto info = make_info();
  kro::sfx::add_text(*info, "sfx-cmd", refused_characters());
  pugi::xml_document copied;  // an element of another document, as sfx-info.xml's children and the file list
  pugi::xml_node list = copied.append_child("file-list");
  list.append_attribute("note").set_value(
      "a\x01"
      "b\xef\xbf\xbe"
      "c\xff");  // control, U+FFFE, broken byte
  list.append_child("file").append_child("alias").text().set("x\x1b[1m");
  info->add_copy(list);

  temp_file file("xml-chars");
  ASSERT_TRUE(info->save(file.path()));
  const std::vector<uint8_t> bytes = file.read();
  const std::string text(bytes.begin(), bytes.end());
  for (const char c : text) {
    const auto u = static_cast<unsigned char>(c);
    EXPECT_TRUE(u >= 0x20 || u == '\t' || u == '\n' || u == '\r') << "control byte " << int(u) << " in:\n"
                                                                  << text;
  }
  EXPECT_EQ(text.find("&#"), std::string::npos) << "a character reference XML 1.0 may refuse:\n" << text;

  // Read back, every refused character is U+FFFD and the others are kept
  // (read without line-end normalization, which turns the raw carriage
  // return into a line feed as any XML reader does).
  pugi::xml_document read;
  ASSERT_TRUE(read.load_buffer(bytes.data(), bytes.size(), pugi::parse_default & ~pugi::parse_eol));
  const pugi::xml_node root = read.child("morrow-info");
  EXPECT_EQ(kro::text::from_utf8(root.child("sfx-cmd").text().get()), allowed_characters());
  EXPECT_STREQ(root.child("file-list").attribute("note").value(),
               "a\xef\xbf\xbd"
               "b\xef\xbf\xbd"
               "c\xef\xbf\xbd");
  EXPECT_STREQ(root.child("file-list").child("file").child_value("alias"), "x\xef\xbf\xbd[1m");
}

#if !defined(_WIN32)
// xmllint's verdict on a file: its exit code (0 when well-formed and, with a
// schema, valid) and what it printed.
int xmllint(const std::string& arguments, const std::filesystem::path& file, std::string& output) {
  const std::string command = "xmllint --noout " + arguments + " '" + file.string() + "' 2>&1";
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return -1;
  char buffer[4096];
  for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) output.append(buffer, n);
  const int status = pclose(pipe);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A strict reader and the schema accept a whole hand-off file whose command
// line, cookie, paths and aliases carry every character XML 1.0 refuses.
TEST(morrow_info, xmllint_accepts_a_hand_off_file_from_any_command_line) {
  auto info = make_info();
  pugi::xml_document payload;
  pugi::xml_node file = payload.append_child("file-list").append_child("file");
  file.append_child("alias").text().set(kro::text::to_utf8(L"setup\x01" + refused_characters()).c_str());
  file.append_child("sha-256").text().set("9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08");
  for (const char* name : {"offset", "size", "timestamp", "flags"}) file.append_child(name).text().set("1");
  info->add_copy(payload.document_element());
  pugi::xml_document mapping;
  pugi::xml_node m = mapping.append_child("file-mapping-sfx");
  m.append_child("handle").text().set("1a4");
  m.append_child("size").text().set("4096");
  info->add_copy(m);
  kro::sfx::add_text(*info, "sfx-cmd", refused_characters());
  kro::sfx::add_text(*info, "session-id", L"0f8fad5b-d9cb-469f-a165-70867728950e");
  kro::sfx::add_text(*info, "temp-base-dir", L"C:\\Temp\\kro\x07\x1f");
  kro::sfx::add_text(*info, "cookie", refused_characters());

  temp_file saved("xmllint");
  ASSERT_TRUE(info->save(saved.path()));
  const std::string schema = std::string(KRO_SOURCE_DIR) + "/schemas/morrow-info.xsd";
  std::string output;
  EXPECT_EQ(xmllint("", saved.fs_path(), output), 0) << output;
  EXPECT_EQ(xmllint("--schema '" + schema + "'", saved.fs_path(), output), 0) << output;

  // The same reader refuses the character references a plain writer makes.
  temp_file refused("xmllint-refused");
  const std::string with_reference = "<?xml version=\"1.0\"?><morrow-info>/a:&#1;</morrow-info>";
  refused.write(std::vector<uint8_t>(with_reference.begin(), with_reference.end()));
  EXPECT_NE(xmllint("", refused.fs_path(), output), 0);
}
#endif

TEST(morrow_info, contributors_may_hand_in_from_several_threads) {
  auto info = make_info();
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&info, t] {
      pugi::xml_document doc;
      doc.append_child("item").text().set(t);
      for (int i = 0; i < 200; ++i) info->add_copy(doc.document_element());
    });
  }
  for (std::thread& t : threads) t.join();
  const std::string text = saved_text(*info);
  size_t items = 0;
  for (size_t at = text.find("<item>"); at != std::string::npos; at = text.find("<item>", at + 1)) ++items;
  EXPECT_EQ(items, 800u);
}

}  // namespace
