#include "sfx/value_holder.h"

#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "text/text.h"

namespace {

using kro::sfx::value_holder;
using kro::text::to_utf8;

std::shared_ptr<kro::sfx::value_holder_intf> make_store() { return value_holder::factory().create(); }

TEST(value_holder, setters_insert_only_first_writer_wins) {
  auto store = make_store();
  store->set_bool(L"silent", false);
  store->set_bool(L"silent", true);
  EXPECT_EQ(store->get_string(L"silent", L"?"), L"0");
  EXPECT_FALSE(store->get_bool(L"silent", true));

  store->set_string(L"tmp-path", std::wstring(L"C:\\a"));
  store->set_string(L"tmp-path", L"C:\\b");
  store->set_int(L"tmp-path", 5);
  EXPECT_EQ(store->get_string(L"tmp-path", L""), L"C:\\a");

  // Keys are case-sensitive: a differently spelled key is another value.
  store->set_string(L"Tmp-Path", L"C:\\c");
  EXPECT_EQ(store->get_string(L"Tmp-Path", L""), L"C:\\c");
}

TEST(value_holder, values_are_stored_as_text) {
  auto store = make_store();
  store->set_bool(L"t", true);
  store->set_bool(L"f", false);
  store->set_int(L"neg", -5);
  store->set_int(L"zero", 0);
  store->set_int(L"min", INT32_MIN);
  store->set_int(L"max", INT32_MAX);
  EXPECT_EQ(store->get_string(L"t", L""), L"1");
  EXPECT_EQ(store->get_string(L"f", L""), L"0");
  EXPECT_EQ(store->get_string(L"neg", L""), L"-5");
  EXPECT_EQ(store->get_string(L"zero", L""), L"0");
  EXPECT_EQ(store->get_string(L"min", L""), L"-2147483648");
  EXPECT_EQ(store->get_int(L"min", 0), INT32_MIN);
  EXPECT_EQ(store->get_int(L"max", 0), INT32_MAX);
}

TEST(value_holder, absent_keys_give_the_default) {
  auto store = make_store();
  EXPECT_EQ(store->get_string(L"base-url", L"http://127.0.0.1/"), L"http://127.0.0.1/");
  EXPECT_EQ(store->get_string(L"base-url", nullptr), L"");
  EXPECT_TRUE(store->get_bool(L"clear", true));
  EXPECT_FALSE(store->get_bool(L"clear", false));
  EXPECT_EQ(store->get_int(L"lang-id", 77), 77);
  // Reading never creates a key.
  store->set_string(L"base-url", L"set");
  EXPECT_EQ(store->get_string(L"base-url", L""), L"set");
}

TEST(value_holder, get_bool_is_true_only_for_exactly_one) {
  static constexpr struct {
    const wchar_t* stored;
    bool expected;
  } cases[] = {
      {L"1", true}, {L"1 ", false},   {L" 1", false},  {L"0", false},  {L"01", false},
      {L"", false}, {L"true", false}, {L"yes", false}, {L"11", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("stored: [" + to_utf8(c.stored) + "]");
    auto store = make_store();
    store->set_string(L"k", c.stored);
    EXPECT_EQ(store->get_bool(L"k", !c.expected), c.expected);
  }
}

enum class outcome { value, invalid, out_of_range };

TEST(value_holder, get_int_reads_like_stoi) {
  static constexpr struct {
    const wchar_t* stored;
    outcome result;
    int32_t expected;
  } cases[] = {
      {L"1031", outcome::value, 1031},
      {L"  -42", outcome::value, -42},
      {L"\t\r\n\v\f 3", outcome::value, 3},
      {L"+7", outcome::value, 7},
      {L"-0", outcome::value, 0},
      {L"0012", outcome::value, 12},
      {L"12abc", outcome::value, 12},
      {L"1031 ", outcome::value, 1031},
      {L"0x10", outcome::value, 0},
      {L"2147483647", outcome::value, INT32_MAX},
      {L"-2147483648", outcome::value, INT32_MIN},
      {L"", outcome::invalid, 0},
      {L"   ", outcome::invalid, 0},
      {L"abc", outcome::invalid, 0},
      {L"+", outcome::invalid, 0},
      {L"- 5", outcome::invalid, 0},
      {L"+-5", outcome::invalid, 0},
      {L"\u0661", outcome::invalid, 0},  // only ASCII digits count
      {L"2147483648", outcome::out_of_range, 0},
      {L"-2147483649", outcome::out_of_range, 0},
      {L"99999999999999999999999999", outcome::out_of_range, 0},
      {L"-99999999999999999999999999x", outcome::out_of_range, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("stored: [" + to_utf8(c.stored) + "]");
    auto store = make_store();
    store->set_string(L"k", c.stored);
    switch (c.result) {
      case outcome::value:
        EXPECT_EQ(store->get_int(L"k", -1), c.expected);
        break;
      case outcome::invalid:
        try {
          store->get_int(L"k", -1);
          ADD_FAILURE() << "no exception";
        } catch (const std::invalid_argument& e) {
          EXPECT_STREQ(e.what(), "invalid stoi argument");
        }
        break;
      case outcome::out_of_range:
        try {
          store->get_int(L"k", -1);
          ADD_FAILURE() << "no exception";
        } catch (const std::out_of_range& e) {
          EXPECT_STREQ(e.what(), "stoi argument out of range");
        }
        break;
    }
  }
}

TEST(value_holder, null_keys_and_values_are_rejected) {
  auto store = make_store();
  const wchar_t* null_text = nullptr;
  EXPECT_THROW(store->set_string(null_text, L"v"), std::invalid_argument);
  EXPECT_THROW(store->set_string(L"k", null_text), std::invalid_argument);
  EXPECT_THROW(store->set_bool(null_text, true), std::invalid_argument);
  EXPECT_THROW(store->get_int(null_text, 0), std::invalid_argument);
  EXPECT_THROW(store->get_string(null_text, L""), std::invalid_argument);
  // The rejected null value did not claim the key.
  store->set_string(L"k", L"v");
  EXPECT_EQ(store->get_string(L"k", L""), L"v");
}

TEST(value_holder, factory_makes_independent_empty_stores) {
  value_holder::factory factory;
  auto a = factory.create();
  auto b = factory.create();
  a->set_int(L"lang-id", 1031);
  EXPECT_EQ(b->get_int(L"lang-id", 1033), 1033);
}

// Threads racing on one key all see the same winner; distinct keys all land.
TEST(value_holder, concurrent_writers_agree_on_the_first_value) {
  auto store = make_store();
  constexpr int thread_count = 4;
  constexpr int keys_per_thread = 300;
  std::atomic<int> ready{0};
  std::vector<std::wstring> seen(thread_count);
  std::vector<std::thread> threads;
  for (int t = 0; t < thread_count; ++t) {
    threads.emplace_back([&, t] {
      ready.fetch_add(1);
      while (ready.load() < thread_count) std::this_thread::yield();
      for (int i = 0; i < keys_per_thread; ++i) {
        const std::wstring key = L"k" + std::to_wstring(t) + L"-" + std::to_wstring(i);
        store->set_int(key.c_str(), i);
        store->set_string(L"shared", std::to_wstring(t));
        (void)store->get_bool(L"shared", false);
      }
      seen[t] = store->get_string(L"shared", L"");
    });
  }
  for (auto& thread : threads) thread.join();
  for (int t = 0; t < thread_count; ++t) {
    EXPECT_EQ(seen[t], seen[0]);
    for (int i = 0; i < keys_per_thread; i += 37) {
      const std::wstring key = L"k" + std::to_wstring(t) + L"-" + std::to_wstring(i);
      EXPECT_EQ(store->get_int(key.c_str(), -1), i);
    }
  }
  EXPECT_FALSE(seen[0].empty());
}

// A caller holding the store's lock may keep using the store, and other
// threads cannot get in until it lets go.
TEST(value_holder, lock_is_recursive_and_shared_with_operations) {
  value_holder store;
  {
    std::scoped_lock hold(store);
    store.set_string(L"a", L"1");
    EXPECT_EQ(store.get_int(L"a", 0), 1);
    bool other_got_in = true;
    std::thread([&] { other_got_in = store.try_lock(); }).join();
    EXPECT_FALSE(other_got_in);
  }
  bool other_got_in = false;
  std::thread([&] {
    other_got_in = store.try_lock();
    if (other_got_in) store.unlock();
  }).join();
  EXPECT_TRUE(other_got_in);
}

}  // namespace
