// The .lzma packer against real files. Streams with an end marker and an
// unknown size come from the codec's own .lzma encoder (an independent path:
// the packer never writes such streams); natively, xz's command line is a peer
// in both directions.
#include "packers/lzma_packer.h"

#include <gtest/gtest.h>
#include <lzma.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "exceptions/exceptions.h"
#include "root/random.h"

namespace {

namespace fs = std::filesystem;
using bytes = std::vector<uint8_t>;
using kro::packers::lzma_packer;
namespace io = kro::packers::detail;

bytes read_file(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void write_file(const fs::path& p, const bytes& data) {
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

// Deterministic data that compresses like real files: words, runs and noise.
bytes mixed_data(size_t size, uint32_t seed = 1) {
  static const char* const words[] = {"setup ", "payload ", "<file alias=\"",
                                      "\"/>\n", "morrow ",  "0123456789"};
  bytes out;
  out.reserve(size);
  uint32_t x = seed * 2654435761u + 1;
  auto next = [&x] {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    return x;
  };
  while (out.size() < size) {
    const uint32_t r = next();
    switch (r % 4) {
      case 0:
      case 1: {
        const char* w = words[(r >> 8) % 6];
        out.insert(out.end(), w, w + std::char_traits<char>::length(w));
        break;
      }
      case 2:
        out.insert(out.end(), (r >> 8) % 64, static_cast<uint8_t>(r >> 16));
        break;
      default:
        for (int i = (r >> 8) % 32; i >= 0; --i) out.push_back(static_cast<uint8_t>(next()));
    }
  }
  out.resize(size);
  return out;
}

// A stream with an end marker and the unknown size (eight 0xFF bytes).
bytes alone_stream(const bytes& data) {
  lzma_options_lzma options{};
  lzma_lzma_preset(&options, 6);
  options.dict_size = 1u << 20;
  lzma_stream strm = LZMA_STREAM_INIT;
  EXPECT_EQ(lzma_alone_encoder(&strm, &options), LZMA_OK);
  bytes out(data.size() + data.size() / 2 + 1024);
  strm.next_in = data.data();
  strm.avail_in = data.size();
  strm.next_out = out.data();
  strm.avail_out = out.size();
  EXPECT_EQ(lzma_code(&strm, LZMA_FINISH), LZMA_STREAM_END);
  out.resize(out.size() - strm.avail_out);
  lzma_end(&strm);
  return out;
}

void set_size_field(bytes& stream, uint64_t size) {
  for (int i = 0; i < 8; ++i) stream[5 + i] = static_cast<uint8_t>(size >> (8 * i));
}

// The code and message of the kro::exceptions::error that f throws.
template <class F>
std::pair<int32_t, std::string> failure(F&& f) {
  try {
    f();
  } catch (const kro::exceptions::error& e) {
    return {e.code(), e.what()};
  }
  return {0, "no exception"};
}

const std::pair<int32_t, std::string> premature{1, "The LZMA stream has ended prematurely!"};

class lzma_packer_test : public testing::Test {
 protected:
  void SetUp() override {
    m_dir = fs::temp_directory_path() / (L"kro-lzma-" + kro::root::new_guid_text());
    fs::create_directory(m_dir);
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(m_dir, ignored);
  }
  fs::path path(const char* name) const { return m_dir / name; }

  // Decodes stream through all three outputs (memory, path, open handle) and
  // checks they agree; returns the bytes.
  bytes unpack_all_ways(const bytes& stream) {
    const bytes memory = m_packer.unpack(stream.data(), stream.size());
    const fs::path by_path = path("by-path.out");
    m_packer.unpack(stream.data(), stream.size(), by_path.wstring());
    EXPECT_EQ(read_file(by_path), memory);
    const fs::path in = path("in.lzma");
    const fs::path by_handle = path("by-handle.out");
    write_file(in, stream);
    {
      kro::files::unique_file input = io::open_input(in.wstring());
      kro::files::unique_file output = io::create_output(by_handle.wstring());
      m_packer.unpack(input.get(), output.get());
    }
    EXPECT_EQ(read_file(by_handle), memory);
    return memory;
  }

  fs::path m_dir;
  lzma_packer m_packer;  // one packer for every stream of a test: buffers are reused
};

TEST_F(lzma_packer_test, round_trips_and_header) {
  struct row {
    size_t size;
    uint32_t dictionary;  // what the header records
  };
  static constexpr row rows[] = {
      {0, 4096},
      {1, 4096},
      {64 * 1024, 64 * 1024},
      {3 * 1024 * 1024 + 17, 4u << 20},
      {100 * 1024, 128 * 1024},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(testing::Message() << "size " << r.size);
    const bytes data = mixed_data(r.size, static_cast<uint32_t>(r.size));
    const bytes packed = m_packer.pack(data.data(), data.size());
    ASSERT_GE(packed.size(), 13u);
    EXPECT_EQ(packed[0], 0x5D);  // lc 3, lp 0, pb 2
    EXPECT_EQ(uint32_t{packed[1]} | uint32_t{packed[2]} << 8 | uint32_t{packed[3]} << 16 |
                  uint32_t{packed[4]} << 24,
              r.dictionary);
    uint64_t size_field = 0;
    for (int i = 7; i >= 0; --i) size_field = size_field << 8 | packed[5 + i];
    EXPECT_EQ(size_field, r.size);
    EXPECT_EQ(unpack_all_ways(packed), data);

    // The other pack operations give the same bytes.
    const fs::path raw = path("raw.bin");
    const fs::path by_path = path("packed-by-path.lzma");
    write_file(raw, data);
    m_packer.pack(raw.wstring(), by_path.wstring());
    EXPECT_EQ(read_file(by_path), packed);
    m_packer.pack(data.data(), data.size(), by_path.wstring());
    EXPECT_EQ(read_file(by_path), packed);
  }
}

TEST_F(lzma_packer_test, dictionary_sizes) {
  static constexpr std::pair<uint32_t, uint32_t> buffer_rows[] = {
      {0, 4096},
      {1, 4096},
      {4096, 4096},
      {4097, 8192},
      {(4u << 20) - 1, 4u << 20},
      {(4u << 20) + 1, 5u << 20},
      {(1u << 30) + 1, (1u << 30) + (4u << 20)},
      {0xFFFFFFFFu, 0xFFFFFFFFu},  // rounding would overflow: kept
  };
  for (const auto& [header, buffer] : buffer_rows) {
    EXPECT_EQ(lzma_packer::dictionary_buffer_size(header), buffer) << "header " << header;
  }
  static constexpr std::pair<uint64_t, uint32_t> encoder_rows[] = {
      {0, 4096},
      {4097, 6144},
      {6145, 8192},
      {3u << 20, 3u << 20},
      {(3u << 20) + 1, 4u << 20},
      {(8u << 20) - 1, 8u << 20},
      {uint64_t{1} << 40, 8u << 20},
  };
  for (const auto& [size, dictionary] : encoder_rows) {
    EXPECT_EQ(lzma_packer::encoder_dictionary_size(size, lzma_packer::default_dictionary_size), dictionary)
        << "size " << size;
  }
}

TEST_F(lzma_packer_test, end_conditions) {
  const bytes data = mixed_data(200 * 1024, 7);
  const bytes known = m_packer.pack(data.data(), data.size());
  const bytes marker = alone_stream(data);  // unknown size, end marker
  ASSERT_EQ(bytes(marker.begin() + 5, marker.begin() + 13), bytes(8, 0xFF));

  // Unknown size: the end marker ends it, and bytes behind it are not read.
  bytes trailer = marker;
  trailer.insert(trailer.end(), 300, 0xA5);
  EXPECT_EQ(unpack_all_ways(trailer), data);

  // Known size followed by extra bytes: exactly the announced size.
  trailer = known;
  trailer.insert(trailer.end(), {0x00, 0xFF, 0x12, 0x34});
  EXPECT_EQ(unpack_all_ways(trailer), data);

  // An end marker before the announced size ends the file there.
  bytes shorter = marker;
  set_size_field(shorter, data.size() + 5000);
  EXPECT_EQ(unpack_all_ways(shorter), data);
  EXPECT_EQ(fs::file_size(path("by-handle.out")), data.size());

  // A smaller announced size than the stream holds: only that many bytes.
  bytes prefix = marker;
  set_size_field(prefix, 1000);
  EXPECT_EQ(unpack_all_ways(prefix), bytes(data.begin(), data.begin() + 1000));

  // Size 0 decodes to nothing, whatever follows.
  bytes empty(known.begin(), known.begin() + 13);
  set_size_field(empty, 0);
  empty.insert(empty.end(), 50, 0x77);
  EXPECT_TRUE(unpack_all_ways(empty).empty());

  // A dictionary of 1 byte reads as 4096.
  const bytes small = mixed_data(3000, 3);
  bytes tiny_dict = m_packer.pack(small.data(), small.size());
  tiny_dict[1] = 1;
  tiny_dict[2] = tiny_dict[3] = tiny_dict[4] = 0;
  EXPECT_EQ(unpack_all_ways(tiny_dict), small);
}

TEST_F(lzma_packer_test, malformed_streams) {
  const bytes data = mixed_data(300 * 1024, 9);
  const bytes known = m_packer.pack(data.data(), data.size());
  const bytes marker = alone_stream(data);
  bytes corrupt = known;
  corrupt[13] = 0x80;  // the range coder's first byte is always 0
  bytes lclp = known;
  lclp[0] = 4 + 9 * 1;  // lc 4 + lp 1: more context bits than the codec supports
  bytes props225 = known;
  props225[0] = 225;

  struct row {
    const char* name;
    bytes stream;
    std::pair<int32_t, std::string> expected;
  };
  const row rows[] = {
      {"empty", {}, {13, "Unable to read LZMA header!"}},
      {"12 bytes", bytes(known.begin(), known.begin() + 12), {13, "Unable to read LZMA header!"}},
      {"properties 225", props225, {4, "Unable to allocate LZMA context!"}},
      {"lc + lp above 4", lclp, {4, "Unable to allocate LZMA context!"}},
      {"header only", bytes(known.begin(), known.begin() + 13), premature},
      {"known size cut", bytes(known.begin(), known.begin() + known.size() / 2), premature},
      {"unknown size cut", bytes(marker.begin(), marker.begin() + marker.size() / 2), premature},
      {"unknown size, no end marker", bytes(marker.begin(), marker.end() - 6), premature},
      {"corrupt data", corrupt, {1, "Unable to decompress LZMA stream!"}},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.name);
    // An empty vector has no pointer: pass one anyway.
    const uint8_t* p = r.stream.empty() ? known.data() : r.stream.data();
    auto result = failure([&] { m_packer.unpack(p, r.stream.size()); });
    EXPECT_EQ(result, r.expected);

    // The path operations leave no file behind.
    const fs::path out = path("failed.out");
    write_file(out, {1, 2, 3});
    result = failure([&] { m_packer.unpack(p, r.stream.size(), out.wstring()); });
    EXPECT_EQ(result.first, r.expected.first);
    EXPECT_FALSE(fs::exists(out));
    const fs::path in = path("failed.lzma");
    write_file(in, r.stream);
    result = failure([&] { m_packer.unpack(in.wstring(), out.wstring()); });
    EXPECT_EQ(result.first, r.expected.first);
    EXPECT_FALSE(fs::exists(out));
  }
  // The packer still works after all these failures.
  EXPECT_EQ(m_packer.unpack(known.data(), known.size()), data);
}

TEST_F(lzma_packer_test, cut_stream_into_handle_keeps_preallocated_size) {
  const bytes data = mixed_data(500 * 1024, 11);
  const bytes known = m_packer.pack(data.data(), data.size());
  const fs::path out = path("cut.out");
  {
    kro::files::unique_file output = io::create_output(out.wstring());
    EXPECT_EQ(failure([&] { m_packer.unpack(known.data(), known.size() / 3, output.get()); }), premature);
  }
  EXPECT_EQ(fs::file_size(out), data.size());
}

TEST_F(lzma_packer_test, arguments_and_limits) {
  const bytes data = mixed_data(100 * 1024, 5);
  const bytes known = m_packer.pack(data.data(), data.size());
  const kro::files::native_handle none = kro::files::unique_file::invalid();
  const fs::path out = path("out");
  const std::wstring missing = (m_dir / "missing.lzma").wstring();

  EXPECT_EQ(failure([&] { m_packer.unpack(nullptr, 20); }).first, 87);
  EXPECT_EQ(failure([&] { m_packer.unpack(known.data(), known.size(), std::wstring()); }).first, 87);
  EXPECT_EQ(failure([&] { m_packer.unpack(known.data(), known.size(), none); }).first, 87);
  EXPECT_EQ(failure([&] { m_packer.unpack(none, none); }).first, 87);
  EXPECT_EQ(failure([&] { m_packer.pack(std::wstring(), out.wstring()); }).first, 87);
  EXPECT_EQ(failure([&] { m_packer.pack(nullptr, 5); }).first, 87);
  EXPECT_EQ(failure([&] { m_packer.unpack_stream(); }).first, 120);

  const auto open_failure = failure([&] { m_packer.unpack(missing, out.wstring()); });
  EXPECT_NE(open_failure.first, 0);
  EXPECT_EQ(open_failure.second, "Unable to open file '" + (m_dir / "missing.lzma").string() + "'!");
  EXPECT_FALSE(fs::exists(out));
  const auto create_failure = failure([&] { m_packer.unpack(known.data(), known.size(), missing + L"/x"); });
  EXPECT_EQ(create_failure.second, "Unable to create file '" + (m_dir / "missing.lzma").string() + "/x'!");

  // Limit: a header announcing more is refused at once; so is an unknown size
  // that grows past it.
  lzma_packer limited;
  limited.set_output_limit(data.size() - 1);
  const std::pair<int32_t, std::string> over{
      2, "The unpacked data exceed the limit of " + std::to_string(data.size() - 1) + " bytes!"};
  EXPECT_EQ(failure([&] { limited.unpack(known.data(), known.size()); }), over);
  const bytes marker = alone_stream(data);
  EXPECT_EQ(failure([&] { limited.unpack(marker.data(), marker.size()); }), over);
  limited.set_output_limit(data.size());
  EXPECT_EQ(limited.unpack(marker.data(), marker.size()), data);
  // With a limit the announced size is not trusted for preallocation: a cut
  // stream leaves a file of the bytes decoded (unlike the test above).
  const fs::path grown = path("grown.out");
  {
    kro::files::unique_file output = io::create_output(grown.wstring());
    EXPECT_EQ(failure([&] { limited.unpack(known.data(), known.size() / 3, output.get()); }), premature);
  }
  EXPECT_LT(fs::file_size(grown), data.size());
}

#ifndef _WIN32
// xz's command line as the peer.
int run(const std::string& command) { return std::system(command.c_str()); }

TEST_F(lzma_packer_test, xz_interoperates) {
  const bytes data = mixed_data(3 * 1024 * 1024 + 123, 21);
  const fs::path raw = path("data.bin");
  write_file(raw, data);

  // xz -9 writes an unknown size with an end marker and a 64 MiB dictionary.
  ASSERT_EQ(run("xz --format=lzma -9 -k -c '" + raw.string() + "' > '" + path("xz.lzma").string() + "'"), 0);
  const fs::path decoded = path("ours.out");
  m_packer.unpack(path("xz.lzma").wstring(), decoded.wstring());
  EXPECT_EQ(read_file(decoded), data);
  const bytes from_xz = read_file(path("xz.lzma"));
  EXPECT_EQ(m_packer.unpack(from_xz.data(), from_xz.size()), data);

  // xz decodes ours (it checks the known size and the end of the stream).
  for (const size_t size : {size_t{0}, size_t{1}, size_t{64 * 1024}, data.size()}) {
    SCOPED_TRACE(testing::Message() << "size " << size);
    const bytes part(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(size));
    write_file(path("part.bin"), part);
    m_packer.pack(path("part.bin").wstring(), path("ours.lzma").wstring());
    ASSERT_EQ(run("xz -d --format=lzma -c '" + path("ours.lzma").string() + "' > '" +
                  path("xz.out").string() + "'"),
              0);
    EXPECT_EQ(read_file(path("xz.out")), part);
  }
}
#endif

}  // namespace
