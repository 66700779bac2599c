// The hand-off document as written to disk: declaration, root, copies in the
// order handed in, tab indentation, UTF-8 without byte-order mark.
#include "sfx/morrow_info.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <pugixml.hpp>
#include <string>
#include <thread>
#include <vector>

#include "pe_fixture.h"
#include "systools/process_facts.h"

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
