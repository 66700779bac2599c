// SHA-256 against the published test vectors, the incremental interface,
// every block transform this machine runs against the portable one, and the
// digest value with its hex forms.
#include "root/sha256.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "exceptions/exceptions.h"
#include "text/text.h"

namespace kro::root {
// Digests print as hex in failure messages.
inline void PrintTo(const digest& d, std::ostream* os) { *os << d.to_hex_narrow(); }
}  // namespace kro::root

namespace {

using kro::root::digest;
using kro::root::sha256;
using kro::root::sha256_transform;
namespace detail = kro::root::detail;

std::vector<uint8_t> random_message(size_t size, uint32_t seed) {
  std::mt19937 gen(seed);
  std::vector<uint8_t> bytes(size);
  for (auto& b : bytes) b = static_cast<uint8_t>(gen());
  return bytes;
}

std::string hex_of(const void* data, size_t size) {
  return kro::root::hash_block(data, size).to_hex_narrow();
}

// Restores the automatic transform choice when a test ends.
class forced_transform {
 public:
  explicit forced_transform(sha256_transform kind) { detail::force_transform(kind); }
  ~forced_transform() { detail::reset_forced_transform(); }
  forced_transform(const forced_transform&) = delete;
  forced_transform& operator=(const forced_transform&) = delete;
};

struct vector_case {
  const char* message;
  size_t repeat;
  const char* hex;
};

// FIPS 180-4 examples and the NIST long message.
const vector_case fips_vectors[] = {
    {"", 1, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
    {"abc", 1, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
    {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", 1,
     "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
    {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrs"
     "tnopqrstu",
     1, "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
    {"a", 1000000, "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
};

TEST(sha256, published_vectors_with_every_supported_transform) {
  for (const auto kind : detail::supported_transforms()) {
    forced_transform force(kind);
    for (const auto& c : fips_vectors) {
      SCOPED_TRACE(testing::Message()
                   << kro::root::transform_name(kind) << " \"" << c.message << "\" x" << c.repeat);
      std::string message;
      for (size_t i = 0; i < c.repeat; ++i) message += c.message;
      EXPECT_EQ(hex_of(message.data(), message.size()), c.hex);
    }
  }
}

TEST(sha256, split_updates_give_the_one_shot_digest) {
  const std::vector<uint8_t> message = random_message(130, 7);
  const digest whole = kro::root::hash_block(message.data(), message.size());
  for (size_t split = 0; split <= message.size(); ++split) {
    SCOPED_TRACE(testing::Message() << "split at " << split);
    sha256 hash;
    hash.init();
    hash.update(message.data(), split);
    hash.update(nullptr, 0);
    hash.update(message.data() + split, message.size() - split);
    EXPECT_EQ(hash.finish(), whole);
  }
  // Byte by byte, and in uneven pieces that cross block boundaries.
  sha256 hash;
  hash.init();
  for (const uint8_t b : message) hash.update(&b, 1);
  EXPECT_EQ(hash.finish(), whole);
}

TEST(sha256, every_transform_matches_the_portable_one) {
  const auto kinds = detail::supported_transforms();
  ASSERT_EQ(kinds.front(), sha256_transform::portable);
  // Every length up to five blocks, then random lengths up to 5000 at odd
  // addresses, then a few large ones (multi-block runs, odd block counts).
  std::vector<size_t> lengths;
  for (size_t n = 0; n <= 320; ++n) lengths.push_back(n);
  std::mt19937 gen(11);
  for (int i = 0; i < 200; ++i) lengths.push_back(gen() % 5001);
  lengths.insert(lengths.end(), {65536, 65536 + 64, 1048576 + 13, 3 * 1048576 + 64 * 7});
  const std::vector<uint8_t> data = random_message(lengths.back() + 16, 5);

  std::vector<std::string> expected;
  {
    forced_transform force(sha256_transform::portable);
    for (size_t i = 0; i < lengths.size(); ++i) expected.push_back(hex_of(data.data() + i % 16, lengths[i]));
  }
  for (const auto kind : kinds) {
    forced_transform force(kind);
    sha256 probe;
    probe.init();
    EXPECT_EQ(probe.transform(), kind);
    for (size_t i = 0; i < lengths.size(); ++i) {
      ASSERT_EQ(hex_of(data.data() + i % 16, lengths[i]), expected[i])
          << kro::root::transform_name(kind) << " length " << lengths[i] << " offset " << i % 16;
    }
  }
}

TEST(sha256, automatic_choice_follows_the_processor_features) {
  const auto& facts = detail::crypto_init();
  sha256_transform expected = sha256_transform::ssse3;
  if (!facts.ssse3)
    expected = sha256_transform::portable;
  else if (facts.shani)
    expected = sha256_transform::shani;
  else if (facts.avx2)
    expected = sha256_transform::avx2;
  else if (facts.avx)
    expected = sha256_transform::avx;
  EXPECT_EQ(detail::default_transform(), expected);
  sha256 hash;
  hash.init();
  EXPECT_EQ(hash.transform(), expected);
  EXPECT_GE(facts.page_size, 4096u);
  EXPECT_GE(facts.processors, 1u);
  std::string all;
  for (const auto kind : detail::supported_transforms())
    all += std::string(" ") + kro::root::transform_name(kind);
  std::printf("[ info ] sha256 transform on this machine: %s (supported:%s)\n",
              kro::root::transform_name(expected), all.c_str());
}

TEST(sha256, interface_contract) {
  sha256 hash;
  kro::root::detail::basic_hash& base = hash;
  EXPECT_EQ(base.size(), 32u);
  // Nothing to feed before init(), and a finished context is spent.
  EXPECT_THROW(base.update("x", 1), kro::exceptions::error);
  base.init();
  base.update("ab", 2);
  base.init();  // drops "ab"
  base.update("abc", 3);
  uint8_t out[32];
  base.final(out);
  EXPECT_EQ(digest(std::vector<uint8_t>(out, out + 32)).to_hex_narrow(), fips_vectors[1].hex);
  EXPECT_THROW(base.final(out), kro::exceptions::error);
  // A transform the machine cannot run is refused by the test hook.
  const auto kinds = detail::supported_transforms();
  for (const auto kind :
       {sha256_transform::ssse3, sha256_transform::avx, sha256_transform::avx2, sha256_transform::shani}) {
    if (std::find(kinds.begin(), kinds.end(), kind) == kinds.end()) {
      EXPECT_THROW(detail::force_transform(kind), std::invalid_argument) << kro::root::transform_name(kind);
    }
  }
}

TEST(digest, hex_forms) {
  struct hex_case {
    const wchar_t* text;
    std::vector<uint8_t> bytes;
  };
  const hex_case cases[] = {
      {L"ab", {0xab}}, {L"AB", {0xab}}, {L"0f9A", {0x0f, 0x9a}}, {L"00ff", {0x00, 0xff}},
      {L"", {}},     // too short: no digest
      {L"a", {}},    // too short
      {L"abc", {}},  // odd length: no digest
      {L"zzz", {}},  // odd length wins over bad digits
      {nullptr, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "\"" << (c.text ? kro::text::to_utf8(c.text) : "(null)") << "\"");
    const digest d(c.text);
    EXPECT_EQ(d.bytes(), c.bytes);
    EXPECT_EQ(d.empty(), c.bytes.empty());
  }
  for (const wchar_t* bad : {L"0g", L"g0", L"0x", L" 1", L"12-4", L"\u00e9\u00e9"}) {
    SCOPED_TRACE(testing::Message() << kro::text::to_utf8(bad));
    try {
      digest d(bad);
      ADD_FAILURE() << "no exception";
    } catch (const std::invalid_argument& e) {
      EXPECT_STREQ(e.what(), "invalid hex_char_value<wchar_t>");
    }
  }
  try {
    (void)digest::from_hex(std::string_view("0g"));
    ADD_FAILURE() << "no exception";
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(), "invalid hex_char_value<char>");
  }
  EXPECT_EQ(digest::from_hex(std::string_view("aB01")), digest(L"Ab01"));
  EXPECT_TRUE(digest::from_hex(std::string_view("abc")).empty());

  // Out: high nibble first, both alphabets, round trip.
  const digest abc = kro::root::hash_block("abc", 3);
  EXPECT_EQ(abc.to_hex(), kro::text::from_utf8(fips_vectors[1].hex));
  EXPECT_EQ(abc.to_hex(true), L"BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD");
  EXPECT_EQ(digest(abc.to_hex(true).c_str()), abc);
  EXPECT_EQ(digest(std::vector<uint8_t>{0x01, 0xa0}).to_hex_narrow(), "01a0");
  EXPECT_EQ(digest(size_t{3}).to_hex_narrow(), "000000");
}

TEST(digest, comparison_is_by_length_and_bytes) {
  const digest abc = kro::root::hash_block("abc", 3);
  const std::wstring text = abc.to_hex();
  EXPECT_EQ(digest(text.c_str()), abc);
  // Upper-case expected digests match as well.
  EXPECT_TRUE(digest(abc.to_hex(true).c_str()) == abc);
  // A prefix is a different digest, and so is no digest at all.
  EXPECT_NE(digest(text.substr(0, 62).c_str()), abc);
  EXPECT_NE(digest(text.substr(0, 63).c_str()), abc);  // odd: empty
  EXPECT_NE(digest(), abc);
  EXPECT_EQ(digest(), digest(L"abc"));
  // One changed byte.
  digest changed = abc;
  changed.bytes()[31] ^= 1;
  EXPECT_NE(changed, abc);
  // Zero bytes of different lengths differ.
  EXPECT_NE(digest(size_t{32}), digest(size_t{31}));
}

}  // namespace
