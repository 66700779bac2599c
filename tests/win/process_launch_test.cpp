// Starting the setup master and other processes under Wine: full 32-bit exit
// codes, time-outs (0 does not wait; a child outliving its time-out gives 259
// and keeps running), a program path with spaces, the launcher's log lines,
// and standard handles through pipes. The child is tests/tools/child.cpp,
// built beside win_tests.exe.
#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <optional>
#include <string>

#include "../unit/pe_fixture.h"
#include "exceptions/exceptions.h"
#include "root/random.h"
#include "sfx/command_line.h"
#include "sfx/secure_process_launcher.h"
#include "systools/process_wrapper.h"
#include "text/text.h"

namespace {

using kro::test::log_capture;
using kro::text::to_utf8;
using clock_type = std::chrono::steady_clock;

constexpr uint32_t still_active = 259;

std::wstring own_folder() {
  wchar_t path[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring p = path;
  return p.substr(0, p.find_last_of(L"\\/"));
}

// child.exe beside this program; the test fails (not skips) without it.
std::wstring child_path() {
  const std::wstring path = own_folder() + L"\\child.exe";
  EXPECT_NE(GetFileAttributesW(path.c_str()), INVALID_FILE_ATTRIBUTES)
      << "build the target 'child' (tests/tools/child.cpp) beside win_tests.exe";
  return path;
}

kro::sfx::command_line program(const std::wstring& path) {
  kro::sfx::command_line line;
  line.set_program(path);
  return line;
}

uint32_t launch(const std::wstring& path, const std::wstring& arguments, uint32_t timeout_ms,
                const std::optional<std::wstring>& current_directory = std::nullopt) {
  kro::sfx::secure_process_launcher::factory factory;
  return factory.create()->run(program(path), arguments, timeout_ms, current_directory);
}

std::string read_file(const std::wstring& path) {
  std::string bytes;
  const HANDLE file =
      CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return bytes;
  char buffer[4096];
  DWORD got = 0;
  while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0) bytes.append(buffer, got);
  CloseHandle(file);
  return bytes;
}

std::wstring current_directory() {
  wchar_t folder[32768] = {};
  GetCurrentDirectoryW(32768, folder);
  return folder;
}

long long elapsed_ms(clock_type::time_point since) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(clock_type::now() - since).count();
}

TEST(process_launch, exit_codes_come_back_in_full) {
  static constexpr struct {
    const wchar_t* argument;
    uint32_t code;
  } cases[] = {
      {L"exit:0", 0}, {L"exit:3", 3}, {L"exit:44080", 44080}, {L"exit:0xC000001D", 0xC000001Du},
      {L"", 0},  // a child that just returns
  };
  const std::wstring child = child_path();
  for (const auto& c : cases) {
    SCOPED_TRACE(to_utf8(c.argument));
    log_capture log;
    EXPECT_EQ(launch(child, c.argument, 0xFFFFFFFFu), c.code);
    const std::string rendered = to_utf8(child) + (*c.argument ? " " + to_utf8(c.argument) : "");
    const std::string text = log.text();
    EXPECT_NE(text.find("Start of run_process '" + to_utf8(child) + "', cmdline '" + to_utf8(c.argument) +
                        "', timeout '4294967295'"),
              std::string::npos)
        << text;
    EXPECT_NE(
        text.find("Process '" + rendered + "' finished with exit code '" + std::to_string(c.code) + "'"),
        std::string::npos)
        << text;
  }
}

// Time-out 0 returns at once; a child outliving a short time-out gives 259
// with the warning line, and keeps running afterwards.
TEST(process_launch, time_outs_give_still_active) {
  const std::wstring child = child_path();
  {
    log_capture log;
    const auto started = clock_type::now();
    EXPECT_EQ(launch(child, L"sleep:4000", 0), still_active);
    EXPECT_LT(elapsed_ms(started), 2000);
    EXPECT_NE(log.text().find("Process '" + to_utf8(child) + " sleep:4000', timeout '0' is still running"),
              std::string::npos)
        << log.text();
  }
  {
    log_capture log;
    const auto started = clock_type::now();
    EXPECT_EQ(launch(child, L"sleep:4000", 300), still_active);
    const auto took = elapsed_ms(started);
    EXPECT_GE(took, 300);
    EXPECT_LT(took, 3000);
    EXPECT_NE(log.text().find("', timeout '300' is still running"), std::string::npos) << log.text();
  }
  {
    // A time-out longer than the child's life waits for its end.
    const auto started = clock_type::now();
    EXPECT_EQ(launch(child, L"sleep:500 exit:9", 60000), 9u);
    EXPECT_GE(elapsed_ms(started), 500);
  }
}

// The launcher renders the executable and the parsed arguments back into one
// command line: a path with spaces and an argument with spaces each stay one
// token.
TEST(process_launch, path_with_spaces_is_quoted) {
  const std::wstring folder = own_folder() + L"\\kro launch " + kro::root::new_guid_text();
  const std::wstring copy = folder + L"\\child copy.exe";
  ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
  ASSERT_TRUE(CopyFileW(child_path().c_str(), copy.c_str(), FALSE));
  log_capture log;
  EXPECT_EQ(launch(copy, L"exit:17 \"note:two words\"", 0xFFFFFFFFu), 17u);
  EXPECT_NE(log.text().find("Process '\"" + to_utf8(copy) +
                            "\" exit:17 \"note:two words\"' finished with "
                            "exit code '17'"),
            std::string::npos)
      << log.text();
  DeleteFileW(copy.c_str());
  RemoveDirectoryW(folder.c_str());
}

// The setup master runs in the folder it is given (a name outside Latin-1
// here), without it in ours; the log names the folder.
TEST(process_launch, current_directory_of_the_process) {
  const std::wstring base = own_folder() + L"\\kro cwd " + kro::root::new_guid_text();
  const std::wstring folder = base + L"\\\u0416\u65e5\U0001F600";
  ASSERT_TRUE(CreateDirectoryW(base.c_str(), nullptr));
  ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
  const std::wstring report = base + L"\\cwd.txt";
  {
    log_capture log;
    EXPECT_EQ(launch(child_path(), L"\"cwd-to:" + report + L"\"", 0xFFFFFFFFu, folder), 0u);
    EXPECT_EQ(read_file(report), to_utf8(folder));
    EXPECT_NE(log.text().find("Process current directory '" + to_utf8(folder) + "'"), std::string::npos)
        << log.text();
  }
  EXPECT_EQ(launch(child_path(), L"\"cwd-to:" + report + L"\"", 0xFFFFFFFFu), 0u);
  EXPECT_EQ(read_file(report), to_utf8(current_directory()));
  // A folder that does not exist fails the start with the system's code.
  try {
    launch(child_path(), L"exit:3", 0xFFFFFFFFu, base + L"\\missing");
    FAIL() << "started in a missing folder";
  } catch (const kro::exceptions::error& e) {
    EXPECT_EQ(e.code(), static_cast<int32_t>(ERROR_DIRECTORY)) << e.what();
  }
  DeleteFileW(report.c_str());
  RemoveDirectoryW(folder.c_str());
  RemoveDirectoryW(base.c_str());
}

TEST(process_launch, missing_program_raises_with_system_code) {
  const std::wstring missing = own_folder() + L"\\no-such-child.exe";
  kro::systools::process_wrapper::factory factory;
  try {
    factory.create()->run(missing, false, false, 0xFFFFFFFFu, nullptr, nullptr);
    FAIL() << "no exception";
  } catch (const kro::exceptions::error& e) {
    EXPECT_EQ(e.code(), static_cast<int32_t>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(std::string(e.what()), "Unable to create process '" + to_utf8(missing) + "'!");
  }
  // A launcher given no program starts nothing.
  kro::sfx::secure_process_launcher::factory launcher;
  EXPECT_THROW(launcher.create()->run(kro::sfx::command_line(), L"exit:3", 0xFFFFFFFFu, std::nullopt),
               kro::exceptions::error);
}

// Standard handles through pipes: input fed and closed, output and error
// collected, both large enough to fill a pipe (the two are read together, so
// neither blocks the child), and a time-out that holds while the child keeps
// its output open.
TEST(process_launch, standard_handles_through_pipes) {
  const std::wstring child = L"\"" + child_path() + L"\"";
  kro::systools::process_wrapper::factory factory;
  const auto wrapper = factory.create();
  {
    std::string out, err;
    EXPECT_EQ(wrapper->run(child + L" out:hello err:oops exit:4", false, false, 0xFFFFFFFFu, &out, &err), 4u);
    EXPECT_EQ(out, "hello");
    EXPECT_EQ(err, "oops");
  }
  {
    std::string out, err;
    EXPECT_EQ(wrapper->run(child + L" fill:300000", true, true, 60000, &out, &err), 0u);
    EXPECT_EQ(out, std::string(300000, 'o'));
    EXPECT_EQ(err, std::string(300000, 'e'));
  }
  {
    kro::systools::process_request request;
    const std::string input(200000, 'i');
    std::string out;
    request.command_line = child + L" echo";
    request.std_in = &input;
    request.std_out = &out;
    EXPECT_EQ(wrapper->run(request), 0u);
    EXPECT_EQ(out, input);
  }
  {
    std::string out;
    const auto started = clock_type::now();
    // The time-out leaves the child time to start under emulation (a
    // loaded machine took more than 400 ms) and ends well before its sleep.
    EXPECT_EQ(wrapper->run(child + L" out:early sleep:20000", false, false, 3000, &out, nullptr),
              still_active);
    EXPECT_LT(elapsed_ms(started), 12000);
    EXPECT_EQ(out, "early");
  }
}

}  // namespace
