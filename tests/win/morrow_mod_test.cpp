// The sample module DLL morrow_mod.dll as the self-extractor calls it: the
// channel answer with its length protocol (234 and the retry), the forced
// result, null pointers and the call log, loaded from the build and from a
// signed copy.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdint>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "root/dsa.h"
#include "root/verify_signature.h"

namespace {

using check_fn = uint32_t(__cdecl*)(const wchar_t*, const wchar_t*, wchar_t*, uint32_t*, uint32_t);

// A build path as Wine names it: Linux paths lie on drive Z:.
std::wstring windows_path(const std::string& path) {
  std::wstring out = path[0] == '/' ? L"Z:" : L"";
  for (const char c : path) out += c == '/' ? L'\\' : static_cast<wchar_t>(static_cast<unsigned char>(c));
  return out;
}

class library {
 public:
  explicit library(const std::wstring& path) : m_module(LoadLibraryW(path.c_str())) {}
  ~library() {
    if (m_module) FreeLibrary(m_module);
  }
  library(const library&) = delete;
  library& operator=(const library&) = delete;
  check_fn check() const {
    return m_module ? reinterpret_cast<check_fn>(
                          reinterpret_cast<void*>(GetProcAddress(m_module, "CheckChannelCompatibility")))
                    : nullptr;
  }

 private:
  HMODULE m_module;
};

// Sets the module's environment variables for one scope and clears them after.
class environment {
 public:
  environment() { clear(); }
  ~environment() { clear(); }
  environment(const environment&) = delete;
  environment& operator=(const environment&) = delete;
  void set(const wchar_t* name, const std::wstring& value) { SetEnvironmentVariableW(name, value.c_str()); }

 private:
  static void clear() {
    for (const wchar_t* name : {L"MORROW_MOD_RESULT", L"MORROW_MOD_CHANNEL", L"MORROW_MOD_LOG"})
      SetEnvironmentVariableW(name, nullptr);
  }
};

// A file name in the temporary folder, removed at the end of the scope.
class temp_file {
 public:
  explicit temp_file(const wchar_t* stem) {
    wchar_t folder[MAX_PATH];
    GetTempPathW(MAX_PATH, folder);
    m_path = std::wstring(folder) + stem + std::to_wstring(GetCurrentProcessId()) + L".tmp";
    DeleteFileW(m_path.c_str());
  }
  ~temp_file() { DeleteFileW(m_path.c_str()); }
  temp_file(const temp_file&) = delete;
  temp_file& operator=(const temp_file&) = delete;
  const std::wstring& path() const { return m_path; }

 private:
  std::wstring m_path;
};

std::string read_bytes(const std::wstring& path) {
  std::ifstream in(path.c_str(), std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

const wchar_t sentinel = L'#';

struct call_result {
  uint32_t result;
  uint32_t count;
  std::wstring buffer;  // the whole buffer, sentinels included
};

// One call with a buffer of capacity characters plus one sentinel behind it.
call_result call(check_fn check, const wchar_t* channel, uint32_t capacity) {
  std::wstring buffer(capacity + 1, sentinel);
  uint32_t count = capacity;
  const uint32_t result = check(L"morrow", channel, buffer.data(), &count, 0);
  return {result, count, buffer};
}

class morrow_mod : public ::testing::Test {
 protected:
  library dll{windows_path(KRO_MORROW_MOD_DLL)};
  environment env;
};

TEST_F(morrow_mod, exports_the_check_under_its_plain_name) { ASSERT_NE(dll.check(), nullptr); }

struct answer_case {
  const char* label;
  const wchar_t* env_channel;  // MORROW_MOD_CHANNEL; null: unset
  const wchar_t* channel;
  uint32_t capacity;
  uint32_t result;
  uint32_t count;
  std::wstring written;  // the buffer's first count characters on success
  bool terminated;       // a zero follows them
};

TEST_F(morrow_mod, answers_the_channel_in_the_callers_buffer) {
  const std::wstring long_channel(150, L'x');
  const answer_case cases[] = {
      {"same channel", nullptr, L"release", 100, 0, 7, L"release", true},
      {"same channel, exact fit", nullptr, L"release", 7, 0, 7, L"release", false},
      {"other channel", L"beta", L"release", 100, 0, 4, L"beta", true},
      {"other channel, exact fit", L"beta", L"release", 4, 0, 4, L"beta", false},
      {"empty answer", L"", L"release", 100, 0, 0, L"", true},
      {"too small", L"beta", L"release", 3, 234, 4, L"", false},
      {"longer than 100", long_channel.c_str(), L"release", 100, 234, 150, L"", false},
      {"longer than 100, retry", long_channel.c_str(), L"release", 150, 0, 150, long_channel, false},
      {"non-ASCII", L"b\u00eata-\u0444", L"release", 100, 0, 6, L"b\u00eata-\u0444", true},
  };
  for (const answer_case& c : cases) {
    SCOPED_TRACE(c.label);
    if (c.env_channel) env.set(L"MORROW_MOD_CHANNEL", c.env_channel);
    const call_result r = call(dll.check(), c.channel, c.capacity);
    SetEnvironmentVariableW(L"MORROW_MOD_CHANNEL", nullptr);
    EXPECT_EQ(r.result, c.result);
    EXPECT_EQ(r.count, c.count);
    if (c.result == 0) {
      EXPECT_EQ(r.buffer.substr(0, c.count), c.written);
      EXPECT_EQ(r.buffer[c.count], c.terminated ? L'\0' : sentinel);
      EXPECT_EQ(r.buffer.substr(c.count + 1), std::wstring(c.capacity - c.count, sentinel));
    } else {
      EXPECT_EQ(r.buffer, std::wstring(c.capacity + 1, sentinel)) << "nothing is written on 234";
    }
  }
}

TEST_F(morrow_mod, the_caller_retries_with_the_length_it_was_told) {
  const std::wstring answer = std::wstring(100, L'a') + L"-" + std::wstring(100, L'z');
  env.set(L"MORROW_MOD_CHANNEL", answer);
  uint32_t count = 100;
  std::vector<wchar_t> first(count, sentinel);
  ASSERT_EQ(dll.check()(L"morrow", L"release", first.data(), &count, 0), 234u);
  ASSERT_EQ(count, answer.size());
  // Exactly the length: no room, and no need, for a terminator.
  std::vector<wchar_t> second(count);
  ASSERT_EQ(dll.check()(L"morrow", L"release", second.data(), &count, 0), 0u);
  EXPECT_EQ(count, answer.size());
  EXPECT_EQ(std::wstring(second.begin(), second.end()), answer);
}

TEST_F(morrow_mod, a_forced_result_writes_nothing) {
  for (const uint32_t forced : {0u, 5u, 87u, 234u, 4294967295u}) {
    SCOPED_TRACE(forced);
    env.set(L"MORROW_MOD_RESULT", std::to_wstring(forced));
    env.set(L"MORROW_MOD_CHANNEL", L"beta");
    const call_result r = call(dll.check(), L"release", 100);
    EXPECT_EQ(r.result, forced);
    EXPECT_EQ(r.count, 100u);
    EXPECT_EQ(r.buffer, std::wstring(101, sentinel));
  }
}

TEST_F(morrow_mod, null_pointers_are_refused_untouched) {
  check_fn check = dll.check();
  wchar_t buffer[4] = {sentinel, sentinel, sentinel, sentinel};
  uint32_t count = 4;
  EXPECT_EQ(check(L"morrow", L"release", buffer, nullptr, 0), 87u);
  EXPECT_EQ(buffer[0], sentinel);
  EXPECT_EQ(check(L"morrow", L"release", nullptr, &count, 0), 87u);
  EXPECT_EQ(count, 4u);
  EXPECT_EQ(check(L"morrow", nullptr, buffer, &count, 0), 87u);
  EXPECT_EQ(check(nullptr, L"release", buffer, &count, 0), 87u);
  EXPECT_EQ(count, 4u);
  EXPECT_EQ(buffer[0], sentinel);
}

TEST_F(morrow_mod, logs_every_call_with_its_capacity_and_result) {
  temp_file log(L"morrow_mod_log");
  env.set(L"MORROW_MOD_LOG", log.path());
  env.set(L"MORROW_MOD_CHANNEL", std::wstring(120, L'c'));
  uint32_t count = 100;
  std::vector<wchar_t> buffer(count);
  EXPECT_EQ(dll.check()(L"m\u00f6rrow", L"release", buffer.data(), &count, 0), 234u);
  buffer.resize(count);
  EXPECT_EQ(dll.check()(L"m\u00f6rrow", L"release", buffer.data(), &count, 0), 0u);
  env.set(L"MORROW_MOD_RESULT", L"31");
  EXPECT_EQ(dll.check()(L"m\u00f6rrow", L"beta", buffer.data(), &count, 0), 31u);
  EXPECT_EQ(read_bytes(log.path()),
            "product=m\xc3\xb6rrow channel=release capacity=100 result=234\r\n"
            "product=m\xc3\xb6rrow channel=release capacity=120 result=0\r\n"
            "product=m\xc3\xb6rrow channel=beta capacity=120 result=31\r\n");
}

TEST(morrow_mod_signed, a_signed_copy_verifies_loads_and_answers) {
  std::string image = read_bytes(windows_path(KRO_MORROW_MOD_DLL));
  ASSERT_GT(image.size(), 1024u);
  const std::string key_text = read_bytes(windows_path(KRO_SOURCE_DIR "/keys/dev-private/G.txt"));
  const auto key = kro::root::dsa::parse_key_text(key_text);
  const std::vector<uint8_t> block = kro::sfx::signature::make_block(kro::bytes::view(image), key);
  image.append(block.begin(), block.end());

  temp_file copy(L"morrow_mod_signed");
  {
    std::ofstream out(copy.path().c_str(), std::ios::binary);
    out.write(image.data(), static_cast<std::streamsize>(image.size()));
  }
  EXPECT_TRUE(kro::sfx::verify_signature::factory().create()->verify_file(copy.path()));
  {
    library dll(copy.path());
    ASSERT_NE(dll.check(), nullptr) << "the signed copy does not load: " << GetLastError();
    environment env;
    env.set(L"MORROW_MOD_CHANNEL", L"beta");
    const call_result r = call(dll.check(), L"release", 100);
    EXPECT_EQ(r.result, 0u);
    EXPECT_EQ(r.buffer.substr(0, 5), std::wstring(L"beta\0", 5));
  }
}

}  // namespace
