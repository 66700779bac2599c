// file_mapping and hash_file on real files in a private temporary folder:
// views at unaligned offsets, the cut at the file end, the checked read, the
// errors of an unopened or unmapped object, and hashing in 32 MiB windows.
#include "files/file_mapping.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "exceptions/exceptions.h"
#include "root/random.h"
#include "root/sha256.h"
#include "text/text.h"

namespace kro::root {
// Digests print as hex in failure messages.
inline void PrintTo(const digest& d, std::ostream* os) { *os << d.to_hex_narrow(); }
}  // namespace kro::root

namespace {

namespace fs = std::filesystem;
using kro::files::file_mapping;

constexpr uint32_t mib32 = 0x2000000;

// Byte i of every test file; position dependent, so a view at the wrong
// offset shows.
uint8_t pattern(uint64_t i) { return static_cast<uint8_t>((i ^ (i >> 8) ^ (i >> 16) ^ (i >> 24)) * 31 + 7); }

std::vector<uint8_t> pattern_bytes(size_t size) {
  std::vector<uint8_t> bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = pattern(i);
  return bytes;
}

// Expects fn to throw kro::exceptions::error with code and text.
template <class Fn>
void expect_error(Fn fn, int32_t code, const char* text) {
  try {
    fn();
    ADD_FAILURE() << "no exception, expected: " << text;
  } catch (const kro::exceptions::error& e) {
    EXPECT_EQ(e.code(), code) << text;
    EXPECT_STREQ(e.what(), text);
  }
}

class file_mapping_test : public testing::Test {
 protected:
  void SetUp() override {
    m_dir = fs::temp_directory_path() / ("kro-mapping-" + kro::text::to_utf8(kro::root::new_guid_text()));
    fs::create_directories(m_dir);
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(m_dir, ignored);
  }

  fs::path write_file(const char* name, const std::vector<uint8_t>& bytes) {
    const fs::path path = m_dir / name;
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    EXPECT_TRUE(out.good());
    return path;
  }

  kro::files::unique_file open(const fs::path& path) { return kro::files::open_for_read(path.wstring()); }

  fs::path m_dir;
};

TEST_F(file_mapping_test, views_at_unaligned_offsets_are_cut_at_the_end) {
  const uint32_t size = 3 * 65536 + 4097;
  const auto file = open(write_file("data.bin", pattern_bytes(size)));
  file_mapping mapping;
  mapping.open(file.get());
  EXPECT_TRUE(mapping.opened());
  EXPECT_FALSE(mapping.mapped());
  EXPECT_EQ(mapping.file_size(), size);

  struct view_case {
    uint64_t offset;
    uint32_t size;
    uint32_t expected_size;
  };
  static constexpr view_case cases[] = {
      {0, 0, size},                // whole file
      {1, 100, 100},               // not page aligned
      {65536 + 4095, 4098, 4098},  // straddles a page
      {2 * 65536 + 1, 0, size - 2 * 65536 - 1},
      {size - 10, 100, 10},  // cut at the end
      {size - 1, 0, 1},
      {size, 0, 0},  // at the end: empty, still mapped
      {size, 7, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "offset " << c.offset << " size " << c.size);
    mapping.map_view(c.offset, c.size);
    ASSERT_TRUE(mapping.mapped());
    ASSERT_EQ(mapping.view_size(), c.expected_size);
    EXPECT_EQ(mapping.view_offset(), c.offset);
    ASSERT_NE(mapping.view(), nullptr);
    for (uint32_t i = 0; i < c.expected_size; i += 997)
      EXPECT_EQ(mapping.view()[i], pattern(c.offset + i)) << i;
    if (c.expected_size) {
      EXPECT_EQ(mapping.view()[c.expected_size - 1], pattern(c.offset + c.expected_size - 1));
    }
  }

  // Behind the end: refused, and the previous view is gone.
  expect_error([&] { mapping.map_view(uint64_t{size} + 1, 0); }, 5,
               "Unable to map a view outside of the file mapping!");
  EXPECT_FALSE(mapping.mapped());
  expect_error([&] { mapping.map_view(uint64_t{1} << 40, 1); }, 5,
               "Unable to map a view outside of the file mapping!");

  // The handle stays the caller's: after reset it still maps.
  mapping.reset();
  EXPECT_FALSE(mapping.opened());
  mapping.open(file.get(), false, true);
  EXPECT_EQ(mapping.view_size(), size);
}

TEST_F(file_mapping_test, checked_read_stays_inside_the_view) {
  const uint32_t size = 5000;
  const auto file = open(write_file("data.bin", pattern_bytes(size)));
  file_mapping mapping;
  mapping.open(file.get());
  mapping.map_view(123, 1000);  // view of 1000 bytes
  struct read_case {
    uint32_t offset;
    uint32_t width;
    bool inside;
  };
  static constexpr read_case cases[] =
      {
          {0, 1000, true},        {999, 1, true},   {1000, 0, true},
          {0, 0, true},           {1000, 1, false}, {999, 2, false},
          {1, 1000, false},       {1001, 0, false}, {0xFFFFFFFF, 2, false},  // offset + width wraps around
          {2, 0xFFFFFFFF, false}, {0, 1001, false},
      };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "read(" << c.offset << ", " << c.width << ")");
    if (c.inside) {
      const uint8_t* p = mapping.read(c.offset, c.width);
      EXPECT_EQ(p, mapping.view() + c.offset);
      if (c.width) {
        EXPECT_EQ(*p, pattern(123 + c.offset));
      }
    } else {
      expect_error([&] { (void)mapping.read(c.offset, c.width); }, 5,
                   "Unable to read outside of the mapped view!");
    }
  }
}

TEST_F(file_mapping_test, accessors_refuse_an_unopened_or_unmapped_object) {
  file_mapping mapping;
  auto check_unmapped = [&] {
    expect_error([&] { (void)mapping.view(); }, -1, "Unable to retrieve pointer of the unmapped view!");
    expect_error([&] { (void)mapping.view_size(); }, -1, "Unable to retrieve size of unmapped view!");
    expect_error([&] { (void)mapping.read(0, 0); }, -1, "Unable to retrieve pointer of the unmapped view!");
  };
  expect_error([&] { (void)mapping.file_size(); }, -1, "Unable to retrieve size of uninitialized mapping!");
  expect_error([&] { mapping.map_view(0, 0); }, -1, "Unable to map a view of uninitialized mapping!");
  check_unmapped();

  const auto file = open(write_file("data.bin", pattern_bytes(10)));
  mapping.open(file.get());
  check_unmapped();  // opened, no view yet
  mapping.map_view(0, 0);
  mapping.unmap_view();
  check_unmapped();
  mapping.reset();
  expect_error([&] { (void)mapping.file_size(); }, -1, "Unable to retrieve size of uninitialized mapping!");
  expect_error([&] { mapping.map_view(0, 0); }, -1, "Unable to map a view of uninitialized mapping!");

  // A handle that is no open file.
  kro::files::unique_file closed = open(m_dir / "data.bin");
  const auto stale = closed.get();
  closed.reset();
  try {
    mapping.open(stale);
    ADD_FAILURE() << "opened a closed handle";
  } catch (const kro::exceptions::error& e) {
    EXPECT_STREQ(e.what(), "Unable to get file size!");
    EXPECT_NE(e.code(), -1);
    EXPECT_NE(e.code(), 0);
  }
  EXPECT_FALSE(mapping.opened());
}

TEST_F(file_mapping_test, empty_file_opens_with_size_zero_and_hashes_as_no_bytes) {
  const auto path = write_file("empty.bin", {});
  auto file = open(path);
  file_mapping mapping;
  mapping.open(file.get(), false, true);
  EXPECT_TRUE(mapping.opened());
  EXPECT_EQ(mapping.file_size(), 0u);
  EXPECT_TRUE(mapping.mapped());
  EXPECT_EQ(mapping.view_size(), 0u);
  EXPECT_NE(mapping.view(), nullptr);
  EXPECT_NE(mapping.read(0, 0), nullptr);
  expect_error([&] { mapping.map_view(1, 0); }, 5, "Unable to map a view outside of the file mapping!");

  uint32_t windows = 99;
  const auto d = kro::root::detail::hash_file(file.get(), mib32, &windows);
  EXPECT_EQ(windows, 0u);
  EXPECT_EQ(d, kro::root::hash_block(nullptr, 0));
  EXPECT_EQ(kro::root::hash_file(file.get()), d);
  EXPECT_EQ(d.to_hex_narrow(), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
}

TEST_F(file_mapping_test, mapping_over_an_owned_handle_closes_it_on_reset) {
  const auto path = write_file("owned.bin", pattern_bytes(70000));
  file_mapping mapping;
  mapping.open(open(path), false, true);
  EXPECT_EQ(mapping.view_size(), 70000u);
  EXPECT_EQ(mapping.view()[69999], pattern(69999));
  mapping.map_view(65537, 0);
  EXPECT_EQ(mapping.view()[0], pattern(65537));
  mapping.reset();
  EXPECT_FALSE(mapping.opened());
}

TEST_F(file_mapping_test, files_hash_in_32_mib_windows) {
  struct window_case {
    uint32_t size;
    uint32_t windows;
  };
  // Largest first: the one file is cut shorter from case to case.
  static constexpr window_case cases[] = {
      {mib32 + 1, 2},  // the second window of one byte
      {mib32, 1},      // exactly one window
      {mib32 - 1, 1},
      {1, 1},
  };
  const std::vector<uint8_t> bytes = pattern_bytes(mib32 + 1);
  const auto path = write_file("big.bin", bytes);
  // Smaller windows that do not divide the size give the same digest.
  {
    const auto file = open(path);
    uint32_t windows = 0;
    EXPECT_EQ(kro::root::detail::hash_file(file.get(), 1000003, &windows),
              kro::root::hash_block(bytes.data(), mib32 + 1));
    EXPECT_EQ(windows, (mib32 + 1 + 1000002) / 1000003);
  }
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "size " << c.size);
    fs::resize_file(path, c.size);
    const auto file = open(path);
    uint32_t windows = 0;
    const auto d = kro::root::detail::hash_file(file.get(), kro::root::detail::hash_file_window, &windows);
    EXPECT_EQ(windows, c.windows);
    EXPECT_EQ(d, kro::root::hash_block(bytes.data(), c.size));
  }
}

TEST_F(file_mapping_test, views_beyond_4_gib_use_the_high_offset) {
  // A sparse file of 4 GiB + 8 KiB with a marker behind the 4 GiB line.
  const fs::path path = m_dir / "huge.bin";
  const uint64_t size = (uint64_t{1} << 32) + 8192;
  { std::ofstream out(path, std::ios::binary); }
  std::error_code error;
  fs::resize_file(path, size, error);
  if (error) GTEST_SKIP() << "no sparse 4 GiB file here: " << error.message();
  {
    std::fstream out(path, std::ios::binary | std::ios::in | std::ios::out);
    out.seekp(static_cast<std::streamoff>(size - 4000));
    out.write("marker", 6);
    if (!out.good()) GTEST_SKIP() << "cannot write behind 4 GiB here";
  }
  const auto file = open(path);
  file_mapping mapping;
  mapping.open(file.get());
  EXPECT_EQ(mapping.file_size(), size);
  // "To the end" must fit 32 bits.
  expect_error([&] { mapping.map_view(0, 0); }, 87, "Unable to create mapping view!");
  mapping.map_view(size - 4001, 0);
  ASSERT_EQ(mapping.view_size(), 4001u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(mapping.read(1, 6)), 6), "marker");
  EXPECT_EQ(*mapping.read(0, 1), 0);
  // Exactly 4 GiB - 1 remain: allowed, as far as the address space holds it.
  if (sizeof(void*) == 8) {
    mapping.map_view(size - 0xFFFFFFFFull, 0);
    EXPECT_EQ(mapping.view_size(), 0xFFFFFFFFu);
  } else {
    try {
      mapping.map_view(size - 0xFFFFFFFFull, 0);
      ADD_FAILURE() << "a 4 GiB view in a 32-bit process";
    } catch (const kro::exceptions::error& e) {
      EXPECT_STREQ(e.what(), "Unable to create mapping view!");
    }
  }
}

}  // namespace
