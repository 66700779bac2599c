#include <gtest/gtest.h>

#include "sfx/sfx_translator.h"

namespace {

// win_tests links the program's resources, so its image carries the string
// table (type "XML", id 300) that the factory loads.
TEST(translator_resource, factory_loads_the_string_table_of_the_image) {
  kro::sfx::sfx_translator::factory factory;
  const auto german = factory.create(1031);
  ASSERT_NE(german, nullptr);
  EXPECT_EQ(german->get_text(L"@Sfx_MsgBoxTitle"), L"Setup fehlgeschlagen.");
  EXPECT_EQ(german->get_text(L"@Sfx_ErrCode"), L"Error code");
  EXPECT_EQ(factory.create(2057)->get_text(L"@Sfx_MsgBoxTitle"), L"Setup failed.");
  EXPECT_EQ(factory.create(1033)->format(L"@Sfx_Title", {L"Morrow"}), L"Morrow Self-Extractor");
}

}  // namespace
