// Texts and language of the entry point's error box, over the real string
// table.
#include "sfx/error_box.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "sfx/sfx_translator.h"
#include "text/text.h"

namespace kro::sfx {
namespace {

std::string table_bytes() {
  std::ifstream in(KRO_SOURCE_DIR "/src/resources/strings.xml", std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

sfx_translator translator(uint32_t lcid) {
  static const std::string bytes = table_bytes();
  return sfx_translator(lcid, bytes.data(), bytes.size());
}

command_line parsed(const wchar_t* text) {
  command_line cmd;
  cmd.parse(text, true);
  return cmd;
}

TEST(error_box, body_and_title) {
  auto en = translator(1033);
  const auto unsupported = make_error_box_text(en, 45056, L"C:\\logs\\sfx.log", L"@Sfx_UnsupportedOS");
  EXPECT_EQ(unsupported.title, L"Setup failed.");
  EXPECT_EQ(unsupported.body,
            L"This operating system is not supported.\n\nError code:'45056'.\n\nMore information in log:\n"
            L"'C:\\logs\\sfx.log'.");

  const auto download = make_error_box_text(en, 12029, L"x.log", L"@Sfx_Download_Fail", 12029);
  EXPECT_EQ(
      download.body.substr(0, download.body.find(L"\n")),
      L"Cannot download setup files. Please check your internet connection, or try it again later (12029).");
  EXPECT_NE(download.body.find(L"Error code:'12029'."), std::wstring::npos);

  // A ready text is shown as it is, in every language.
  auto de = translator(1031);
  const auto signature = make_error_box_text(de, 44024, L"x.log", L"SFX is not DSA signed!");
  EXPECT_EQ(signature.body.substr(0, 22), L"SFX is not DSA signed!");
  EXPECT_NE(signature.title, L"Setup failed.");
  EXPECT_NE(signature.body.find(L"Error code:'44024'."), std::wstring::npos);  // label only in en-us
}

TEST(error_box, language_and_silence) {
  struct row {
    const wchar_t* cmd;
    uint32_t lcid;
    bool silent;
  };
  static const row rows[] = {
      {L"sfx.exe", 1034, false},  // the user's default, even when unlisted
      {L"sfx.exe /lang-id=1031", 1031, false},
      {L"sfx.exe /LANG-ID:2057", 2057, false},
      {L"sfx.exe /lang-id=9999", 1033, false},
      {L"sfx.exe /lang-id=abc", 1033, false},
      {L"sfx.exe /lang-id=-1031", 1033, false},
      {L"sfx.exe /lang-id=4294968327", 1033, false},
      {L"sfx.exe /Silent", 1034, true},
      {L"sfx.exe --verysilent", 1034, true},
      {L"sfx.exe silent", 1034, false},  // an argument, not the switch
  };
  for (const row& r : rows) {
    const command_line cmd = parsed(r.cmd);
    EXPECT_EQ(error_box_language(cmd, 1034), r.lcid) << text::to_utf8(r.cmd);
    EXPECT_EQ(error_box_silenced(cmd), r.silent) << text::to_utf8(r.cmd);
  }
}

}  // namespace
}  // namespace kro::sfx
