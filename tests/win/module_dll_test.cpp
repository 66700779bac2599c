// The self-extractor's call of the product's module DLL, on the sample DLL
// of the build (its answers are steered through environment variables):
// the answer, the retry with a longer buffer, failures of loading, of the
// export and of the call, each logged.
#include "sfx/module_dll.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "../unit/pe_fixture.h"

namespace {

using kro::test::log_capture;

std::wstring sample_dll() {
  std::wstring out = L"Z:";
  for (const char c : std::string(KRO_MORROW_MOD_DLL)) out += c == '/' ? L'\\' : static_cast<wchar_t>(c);
  return out;
}

// Sets the variables for one case and clears them afterwards.
struct environment {
  environment(const wchar_t* channel, const wchar_t* result) {
    SetEnvironmentVariableW(L"MORROW_MOD_CHANNEL", channel);
    SetEnvironmentVariableW(L"MORROW_MOD_RESULT", result);
  }
  ~environment() {
    SetEnvironmentVariableW(L"MORROW_MOD_CHANNEL", nullptr);
    SetEnvironmentVariableW(L"MORROW_MOD_RESULT", nullptr);
  }
};

TEST(module_dll, answers_come_back_cut_to_their_length) {
  const std::wstring long_channel(150, L'c');
  struct row {
    const wchar_t* channel;
    std::wstring expected;
  };
  const row rows[] = {
      {nullptr, L"release"}, {L"beta", L"beta"}, {long_channel.c_str(), long_channel}, {L"", L""}};
  for (const row& r : rows) {
    environment env(r.channel, nullptr);
    const auto answer = kro::sfx::module_dll::ask_channel(sample_dll(), L"morrow", L"release");
    ASSERT_TRUE(answer.has_value()) << (r.channel ? r.channel : L"(none)");
    EXPECT_EQ(*answer, r.expected);
  }
}

TEST(module_dll, failures_are_logged_and_give_no_answer) {
  {
    environment env(nullptr, L"5");
    log_capture log;
    EXPECT_FALSE(kro::sfx::module_dll::ask_channel(sample_dll(), L"morrow", L"release"));
    EXPECT_NE(log.text().find("Calling MOD.dll function fail 5"), std::string::npos) << log.text();
  }
  {
    log_capture log;
    EXPECT_FALSE(kro::sfx::module_dll::ask_channel(L"C:\\no\\such\\morrow_mod.dll", L"morrow", L"release"));
    EXPECT_NE(log.text().find("Loading MOD:'C:\\no\\such\\morrow_mod.dll' fail "), std::string::npos)
        << log.text();
  }
  {
    log_capture log;
    EXPECT_FALSE(kro::sfx::module_dll::ask_channel(L"version.dll", L"morrow", L"release"));
    EXPECT_NE(log.text().find("MOD.dll function not found"), std::string::npos) << log.text();
  }
}

}  // namespace
