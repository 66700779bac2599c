// The payload index over real executable-shaped files: lookups by alias and
// by digest text, extraction to files and memory with checksum checks, the
// hand-off elements, and the file stream writer.
#include "sfx/payload.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <pugixml.hpp>
#include <string>
#include <vector>

#include "exceptions/exceptions.h"
#include "packers/lzma_packer.h"
#include "pe_fixture.h"
#include "root/sha256.h"
#include "sfx/morrow_info.h"
#include "sfx/payload_format.h"
#include "sfx/payload_writer.h"
#include "sfx/sfx_data.h"
#include "text/text.h"

namespace {

using kro::sfx::payload;
using kro::sfx::payload_writer;
using kro::test::bytes_of;
using kro::test::log_capture;
using kro::test::pe_fixture;
using kro::test::temp_file;
namespace fmt = kro::sfx::payload_format;

std::wstring hex_of(const std::vector<uint8_t>& bytes) {
  return kro::root::hash_block(bytes.data(), bytes.size()).to_hex();
}

// An executable file on disk, the run data with a hand-off document, and
// the saved hand-off document read back.
class payload_file {
 public:
  template <class Build>
  explicit payload_file(Build build) : m_file("exe") {
    m_file.write(kro::test::image_with_payload(pe_fixture(), build));
    m_data.info = kro::sfx::morrow_info::factory().create();
  }

  std::unique_ptr<kro::sfx::payload_intf> open() { return payload::factory().create(m_file.path(), m_data); }
  kro::sfx::sfx_data& data() { return m_data; }
  const temp_file& file() const { return m_file; }

  // The root of the hand-off document as it would be written.
  pugi::xml_node hand_off() {
    temp_file saved("hand-off");
    EXPECT_TRUE(m_data.info->save(saved.path()));
    const std::vector<uint8_t> bytes = saved.read();
    EXPECT_TRUE(m_doc.load_buffer(bytes.data(), bytes.size()));
    return m_doc.child("morrow-info");
  }

 private:
  temp_file m_file;
  kro::sfx::sfx_data m_data;
  pugi::xml_document m_doc;
};

void add(payload_writer& w, const wchar_t* alias, const std::string& text,
         payload_writer::storage how = payload_writer::storage::stored) {
  const auto bytes = bytes_of(text);
  w.add_file(alias, bytes.data(), bytes.size(), 1700000000, how);
}

// A record whose sha-256 field does not match its data.
void add_wrong_digest(payload_writer& w, const char* alias, const std::vector<uint8_t>& stored,
                      uint32_t flags) {
  fmt::header h;
  h.flags = flags;
  h.sha256.fill(0x5A);
  w.add_record(h, alias, stored.data(), stored.size());
}

std::vector<std::string> file_field(pugi::xml_node list, const char* field) {
  std::vector<std::string> out;
  for (pugi::xml_node f : list.children("file")) out.push_back(f.child(field).text().get());
  return out;
}

int32_t code_of(const std::function<void()>& step, std::string* what = nullptr) {
  try {
    step();
  } catch (const kro::exceptions::error& e) {
    if (what) *what = e.what();
    return e.code();
  }
  return 0;
}

TEST(payload, indexes_files_with_an_alias_by_alias_and_the_others_by_digest) {
  const std::string hidden = "by digest only";
  payload_file exe([&](payload_writer& w) {
    add(w, L"sfx-info.xml", "<sfx-info/>");
    add(w, L"", hidden);
    add(w, L"dup", "first");
    add(w, L"dup", "second");
    w.add_end();
  });
  log_capture capture;
  auto files = exe.open();
  EXPECT_EQ(capture.count("file alias = 'dup' packed in payload twice, overriding"), 1u);

  std::vector<std::wstring> aliases = files->aliases();
  std::sort(aliases.begin(), aliases.end());
  EXPECT_EQ(aliases, (std::vector<std::wstring>{L"dup", L"sfx-info.xml"}));

  ASSERT_TRUE(files->find_by_alias(L"sfx-info.xml"));
  EXPECT_EQ(files->find_by_alias(L"sfx-info.xml")->unpack_to_memory(), bytes_of("<sfx-info/>"));
  EXPECT_EQ(files->find_by_alias(L"dup")->unpack_to_memory(), bytes_of("second"));  // the later record wins
  EXPECT_FALSE(files->find_by_alias(L"SFX-INFO.XML"));
  EXPECT_FALSE(files->find_by_alias(L""));

  const std::wstring hidden_hex = hex_of(bytes_of(hidden));
  ASSERT_TRUE(files->find_by_hash(hidden_hex));
  EXPECT_EQ(files->find_by_hash(hidden_hex)->unpack_to_memory(), bytes_of(hidden));
  EXPECT_FALSE(
      files->find_by_hash(kro::root::hash_block(hidden.data(), hidden.size()).to_hex(/*upper=*/true)));
  // A file with an alias is not in the digest index, even under its right text.
  EXPECT_FALSE(files->find_by_hash(hex_of(bytes_of("<sfx-info/>"))));

  // Every record, duplicates included, is listed in the hand-off document.
  const pugi::xml_node list = exe.hand_off().child("file-list");
  EXPECT_EQ(file_field(list, "alias"), (std::vector<std::string>{"sfx-info.xml", "", "dup", "dup"}));
  EXPECT_EQ(file_field(list, "sha-256")[1], kro::text::to_utf8(hidden_hex));
  EXPECT_EQ(file_field(list, "size"), (std::vector<std::string>{"11", "14", "5", "6"}));
  EXPECT_EQ(file_field(list, "timestamp")[0], "1700000000");
  EXPECT_EQ(file_field(list, "flags")[0], "0");
  const uint32_t first_data = pe_fixture().section_end() + 58 + 12;
  EXPECT_EQ(file_field(list, "offset")[0], std::to_string(first_data));
  EXPECT_EQ(file_field(list, "offset")[1], std::to_string(first_data + 11 + 58));
  // Child order of one file element.
  std::vector<std::string> names;
  for (pugi::xml_node child : list.child("file").children()) names.push_back(child.name());
  EXPECT_EQ(names, (std::vector<std::string>{"alias", "sha-256", "offset", "size", "timestamp", "flags"}));
}

TEST(payload, empty_payload_gives_empty_lookups_and_an_empty_file_list) {
  temp_file exe("bare");
  const std::vector<uint8_t> image = pe_fixture().image();
  exe.write(image);
  kro::sfx::sfx_data data;
  data.info = kro::sfx::morrow_info::factory().create();
  auto files = payload::factory().create(exe.path(), data);
  EXPECT_TRUE(files->aliases().empty());
  EXPECT_FALSE(files->find_by_alias(L"sfx-info.xml"));
  EXPECT_FALSE(files->find_by_hash(hex_of({})));

  temp_file saved("hand-off");
  ASSERT_TRUE(data.info->save(saved.path()));
  pugi::xml_document doc;
  const auto bytes = saved.read();
  ASSERT_TRUE(doc.load_buffer(bytes.data(), bytes.size()));
  const pugi::xml_node root = doc.child("morrow-info");
  ASSERT_TRUE(root.child("file-list"));
  EXPECT_FALSE(root.child("file-list").first_child());
  // file-mapping-sfx follows file-list directly.
  EXPECT_STREQ(root.child("file-list").next_sibling().name(), "file-mapping-sfx");
  EXPECT_EQ(root.child("file-mapping-sfx").child("size").text().get(), std::to_string(image.size()));
}

TEST(payload, hands_over_the_handle_it_reads_through) {
  temp_file exe("once");
  std::vector<uint8_t> bytes = kro::test::image_with_payload(pe_fixture(), [](payload_writer& w) {
    add(w, L"x", "x");
    w.add_end();
  });
  exe.write(bytes);
  kro::sfx::executable_image image = kro::sfx::open_executable(exe.path());
  const kro::files::native_handle handle = image.file->get();
  const auto mapping = image.mapping;

  kro::sfx::sfx_data data;
  data.info = kro::sfx::morrow_info::factory().create();
  auto files = payload::factory().create_from(std::move(image), data);
  temp_file saved("hand-off");
  ASSERT_TRUE(data.info->save(saved.path()));
  pugi::xml_document doc;
  const auto text = saved.read();
  ASSERT_TRUE(doc.load_buffer(text.data(), text.size()));
  const pugi::xml_node node = doc.child("morrow-info").child("file-mapping-sfx");
  // Lower-case hex, no prefix, no leading zeros.
  const std::string handle_text = node.child("handle").text().get();
  ASSERT_FALSE(handle_text.empty());
  EXPECT_EQ(handle_text.find_first_not_of("0123456789abcdef"), std::string::npos) << handle_text;
  EXPECT_NE(handle_text[0], '0') << handle_text;
  EXPECT_EQ(std::stoull(handle_text, nullptr, 16), kro::sfx::detail::handle_value(handle));
  EXPECT_EQ(node.child("size").text().get(), std::to_string(bytes.size()));
  // The payload reads through the mapping it was given.
  EXPECT_GT(mapping.use_count(), 1);
  EXPECT_EQ(files->find_by_alias(L"x")->unpack_to_memory(), bytes_of("x"));
}

TEST(payload, open_failure_is_logged_and_raised) {
  kro::sfx::sfx_data data;
  data.info = kro::sfx::morrow_info::factory().create();
  temp_file missing("missing");
  log_capture capture;
  std::string what;
  EXPECT_EQ(code_of([&] { payload::factory().create(missing.path(), data); }, &what), 2);
  EXPECT_EQ(what, "Failed to open sfx file.");
  EXPECT_EQ(capture.count("Payload: Failed to open sfx file '" + missing.fs_path().string() + "', 2"), 1u);
}

TEST(payload, malformed_payload_fails_the_construction) {
  payload_file exe([](payload_writer& w) { add(w, L"x", "x"); });  // no end record
  EXPECT_EQ(code_of([&] { exe.open(); }), 5);
}

TEST(unpacker, unpacks_stored_and_lzma_files_to_files_and_memory) {
  std::string big;
  for (int i = 0; i < 20000; ++i) big += "line " + std::to_string(i) + "\n";
  payload_file exe([&](payload_writer& w) {
    add(w, L"stored.txt", big);
    add(w, L"packed.txt", big, payload_writer::storage::lzma);
    add(w, L"empty", "");
    w.add_end();
  });
  std::shared_ptr<kro::sfx::unpacker_intf> stored, packed, empty;
  {
    auto files = exe.open();
    stored = files->find_by_alias(L"stored.txt");
    packed = files->find_by_alias(L"packed.txt");
    empty = files->find_by_alias(L"empty");
  }  // unpackers outlive the payload
  ASSERT_TRUE(stored && packed && empty);
  EXPECT_EQ(packed->unpack_to_memory(), bytes_of(big));
  EXPECT_EQ(stored->unpack_to_memory(), bytes_of(big));
  EXPECT_TRUE(empty->unpack_to_memory().empty());

  temp_file a("a"), b("b"), c("c");
  b.write(std::vector<uint8_t>(300000, 'z'));  // longer than the file: replaced, not overwritten in place
  packed->unpack_to_file(a.path());
  packed->unpack_to_file(b.path());
  stored->unpack_to_file(c.path());
  EXPECT_EQ(a.read(), bytes_of(big));
  EXPECT_EQ(b.read(), bytes_of(big));
  EXPECT_EQ(c.read(), bytes_of(big));
  c.write(std::vector<uint8_t>(300000, 'z'));
  empty->unpack_to_file(c.path());
  EXPECT_TRUE(c.exists());
  EXPECT_TRUE(c.read().empty());
}

TEST(unpacker, wrong_checksum_fails_with_code_13_and_leaves_no_file) {
  kro::packers::lzma_packer packer;
  const auto plain = bytes_of("the real content");
  const std::vector<uint8_t> lzma = packer.pack(plain.data(), plain.size());
  payload_file exe([&](payload_writer& w) {
    add_wrong_digest(w, "bad.txt", plain, fmt::flags_stored);
    add_wrong_digest(w, "bad.lzma", lzma, fmt::flags_lzma);
    w.add_end();
  });
  auto files = exe.open();
  for (const wchar_t* alias : {L"bad.txt", L"bad.lzma"}) {
    SCOPED_TRACE(kro::text::to_utf8(alias));
    const auto file = files->find_by_alias(alias);
    ASSERT_TRUE(file);
    const std::string hash = kro::root::digest(std::vector<uint8_t>(32, 0x5A)).to_hex_narrow();
    const std::string message =
        "Fail unpack data, wrong checksum (alias:" + kro::text::to_utf8(alias) + ", hash:" + hash + ")!";

    std::string what;
    log_capture capture;
    EXPECT_EQ(code_of([&] { file->unpack_to_memory(); }, &what), 13);
    EXPECT_EQ(what, message);

    temp_file target("target");
    target.write(bytes_of("was here before"));
    EXPECT_EQ(code_of([&] { file->unpack_to_file(target.path()); }, &what), 13);
    EXPECT_EQ(what, message);
    EXPECT_FALSE(target.exists()) << "an unverified file was left behind";
    EXPECT_EQ(capture.count(message), 2u);
    EXPECT_NE(capture.text().find("[error  ]"), std::string::npos);
  }
}

TEST(unpacker, undecodable_records_fail_without_leaving_a_file) {
  kro::packers::lzma_packer packer;
  const auto plain = bytes_of(std::string(5000, 'q'));
  std::vector<uint8_t> corrupt = packer.pack(plain.data(), plain.size());
  corrupt.resize(corrupt.size() - 4);  // the stream ends before its announced size
  payload_file exe([&](payload_writer& w) {
    fmt::header flags2;
    flags2.flags = 2;
    w.add_record(flags2, "flags2", plain.data(), plain.size());
    fmt::header cut;
    cut.flags = fmt::flags_lzma;
    const auto digest = kro::root::hash_block(plain.data(), plain.size());
    std::copy(digest.bytes().begin(), digest.bytes().end(), cut.sha256.begin());
    w.add_record(cut, "cut.lzma", corrupt.data(), corrupt.size());
    w.add_end();
  });
  auto files = exe.open();

  std::string what;
  const auto flags2 = files->find_by_alias(L"flags2");
  EXPECT_EQ(code_of([&] { flags2->unpack_to_memory(); }, &what), 13);
  EXPECT_EQ(what, "Unsupported data reader (2)");
  temp_file target("target");
  EXPECT_EQ(code_of([&] { flags2->unpack_to_file(target.path()); }, &what), 13);
  EXPECT_EQ(what, "Unsupported data reader (2)");
  EXPECT_FALSE(target.exists());

  const auto cut = files->find_by_alias(L"cut.lzma");
  EXPECT_NE(code_of([&] { cut->unpack_to_memory(); }), 0);
  EXPECT_NE(code_of([&] { cut->unpack_to_file(target.path()); }), 0);
  EXPECT_FALSE(target.exists()) << "a partial file was left behind";
}

// With a limit (packages not yet verified), stored and LZMA files above it
// fail with code 2, and a header announcing 2^40 bytes fails before anything
// is written; files within it unpack to memory and into a caller's handle.
TEST(unpacker, a_limit_holds_every_file_and_output_grows_as_decoded) {
  kro::packers::lzma_packer packer;
  const std::string text(1000, 'k');
  std::vector<uint8_t> huge = packer.pack(reinterpret_cast<const uint8_t*>(text.data()), text.size());
  for (int i = 0; i < 8; ++i) huge[5 + i] = static_cast<uint8_t>((uint64_t{1} << 40) >> (8 * i));
  std::vector<uint8_t> cut = packer.pack(reinterpret_cast<const uint8_t*>(text.data()), text.size());
  for (int i = 0; i < 8; ++i) cut[5 + i] = static_cast<uint8_t>((uint64_t{3} << 30) >> (8 * i));
  payload_file exe([&](payload_writer& w) {
    add(w, L"stored", text);
    add(w, L"packed", text, payload_writer::storage::lzma);
    add_wrong_digest(w, "huge", huge, fmt::flags_lzma);
    add_wrong_digest(w, "cut", cut, fmt::flags_lzma);
    w.add_end();
  });
  auto files = exe.open();
  auto limited = [&](const wchar_t* alias, uint64_t limit) {
    auto file = std::dynamic_pointer_cast<kro::sfx::unpacker>(files->find_by_alias(alias));
    EXPECT_TRUE(file);
    file->set_output_limit(limit);
    return file;
  };
  std::string what;
  for (const wchar_t* alias : {L"stored", L"packed"}) {
    SCOPED_TRACE(kro::text::to_utf8(alias));
    EXPECT_EQ(code_of([&] { limited(alias, 999)->unpack_to_memory(); }, &what), 2);
    EXPECT_EQ(what, "The unpacked data exceed the limit of 999 bytes!");
    EXPECT_EQ(limited(alias, 1000)->unpack_to_memory(), bytes_of(text));
    temp_file target("target");
    {
      kro::files::unique_file handle = kro::sfx::detail::create_target(target.path());
      limited(alias, 1000)->unpack_to_handle(handle.get());
    }
    EXPECT_EQ(target.read(), bytes_of(text));
  }
  temp_file target("target");
  {
    kro::files::unique_file handle = kro::sfx::detail::create_target(target.path());
    EXPECT_EQ(code_of([&] { limited(L"huge", fmt::max_file_bytes)->unpack_to_handle(handle.get()); }, &what),
              2);
    EXPECT_EQ(what, "The unpacked data exceed the limit of 4294967295 bytes!");
    // 3 GiB announced, within the limit, 1000 bytes there: the stream ends
    // early and the file holds what was decoded, never the announced size.
    EXPECT_EQ(code_of([&] { limited(L"cut", fmt::max_file_bytes)->unpack_to_handle(handle.get()); }, &what),
              1);
  }
  EXPECT_LE(std::filesystem::file_size(target.fs_path()), text.size());
}

TEST(unpacker, data_outside_the_executable_is_a_read_outside_the_view) {
  temp_file exe("short");
  exe.write(pe_fixture().image());
  kro::sfx::executable_image image = kro::sfx::open_executable(exe.path());
  kro::sfx::payload_entry entry;
  entry.alias = L"beyond";
  entry.data_offset = 0x200;
  entry.size = 0x101;  // one byte past the file end
  const auto file = kro::sfx::unpacker::factory().create(image.mapping, entry);
  temp_file target("target");
  std::string what;
  EXPECT_EQ(code_of([&] { file->unpack_to_memory(); }, &what), 5);
  EXPECT_EQ(what, "Unable to read outside of the mapped view!");
  EXPECT_EQ(code_of([&] { file->unpack_to_file(target.path()); }), 5);
  EXPECT_FALSE(target.exists());
}

TEST(payload, index_hash_is_fnv1a_over_utf16_code_units) {
  const kro::sfx::utf16_fnv1a hash;
  EXPECT_EQ(hash(L""), 0x811C9DC5u);
  EXPECT_EQ(hash(L"a"), 0x2B24D044u);
  EXPECT_EQ(hash(L"sfx-info.xml"), 0x5E3B572Cu);
  EXPECT_EQ(hash(kro::text::from_utf8("\xF0\x9F\x98\x80")), 0xB34A1DAAu);  // U+1F600 as a surrogate pair
}

TEST(file_stream_writter, writes_whole_chunks_and_accepts_only_status_200) {
  temp_file out("stream");
  {
    kro::files::unique_file file = kro::sfx::detail::create_target(out.path());
    kro::sfx::file_stream_writter writer(file.get());
    EXPECT_TRUE(writer.accepts(200));
    EXPECT_FALSE(writer.accepts(206));
    EXPECT_FALSE(writer.accepts(404));
    EXPECT_TRUE(writer.write("abc", 3));
    EXPECT_TRUE(writer.write("", 0));
    EXPECT_TRUE(writer.write("de", 2));
    for (const uint64_t too_big : {0xFFFFFFFFull, 0x100000000ull, 0x100000003ull}) {
      try {
        writer.write("x", too_big);
        ADD_FAILURE() << too_big;
      } catch (const kro::sfx::exceptions::download_file_fail& e) {
        EXPECT_EQ(e.code(), 111);
        EXPECT_STREQ(e.what(), "Too big number of bytes to write.");
      }
    }
  }
  EXPECT_EQ(out.read(), bytes_of("abcde"));

  kro::files::unique_file read_only = kro::files::open_for_read(out.path());
  kro::sfx::file_stream_writter refused(read_only.get());
  try {
    refused.write("x", 1);
    ADD_FAILURE() << "write to a read-only handle succeeded";
  } catch (const kro::sfx::exceptions::download_file_fail& e) {
    EXPECT_NE(e.code(), 0);
    EXPECT_STREQ(e.what(), "Unable to write to the file");
  }
}

}  // namespace
