// inspect: the PE layout, every payload record and the signature of a file.
#include <cstdio>
#include <cstring>

#include "files/file_mapping.h"
#include "root/verify_signature.h"
#include "sfx/payload_enumerator.h"
#include "text/text.h"
#include "tool/commands.h"
#include "tool/io.h"
#include "tool/options.h"
#include "tool/pe.h"

namespace kro::tool {
namespace {

namespace sig = sfx::signature;

const char* storage(uint32_t flags) { return flags == 0 ? "stored" : flags == 1 ? "lzma" : "unknown"; }

}  // namespace

int inspect(const args& a) {
  const options o(a, {}, {});
  if (o.help() || o.positional().size() != 1) {
    if (!o.help()) throw usage_error("one file expected");
    std::puts(
        "usage: sfxtool inspect FILE\n\n"
        "Prints the PE layout of FILE, every payload record (type, storage, sizes, time\n"
        "stamp, SHA-256, alias, data offset), where the end record and the signature\n"
        "block stand, and whether the signature verifies under key set 3 and which key.");
    return 0;
  }
  const std::string path = o.positional()[0];
  const std::vector<uint8_t> data = read_file(path);
  const pe::layout l = pe::read(data);
  std::printf("file            %s, %zu bytes\n", path.c_str(), data.size());
  std::printf("image           PE32, machine 0x%04x, subsystem %u, %u sections\n", l.machine, l.subsystem,
              l.sections);
  for (uint16_t i = 0; i < l.sections; ++i) {
    const size_t h = l.section_table + size_t{40} * i;  // the table lies inside the file
    const std::string name(reinterpret_cast<const char*>(&data[h]),
                           ::strnlen(reinterpret_cast<const char*>(&data[h]), 8));
    const uint32_t raw_size = pe::load32(data, h + 16), raw = pe::load32(data, h + 20);
    std::printf("  section %-8s raw 0x%08x..0x%08x\n", name.c_str(), raw, raw + raw_size);
  }
  std::printf("checksum        0x%08x\n", pe::load32(data, l.checksum_offset));
  std::printf(
      "security dir    offset 0x%08x, size %u%s\n", l.security_offset, l.security_size,
      l.security_offset
          ? (l.security_offset + 0ull + l.security_size <= data.size() ? "" : " (table not present yet)")
          : " (no certificate table)");

  auto mapping = std::make_shared<files::file_mapping>();
  mapping->open(files::open_for_read(text::from_utf8(path)), false, true);
  sfx::payload_enumerator records(mapping);
  std::printf("payload start   0x%08x\n", records.payload_start());
  unsigned count = 0;
  uint64_t end = records.payload_start();
  for (bool more = records.first(); more; more = records.next()) {
    const sfx::payload_entry& e = *records.current();
    ++count;
    std::printf(
        "record %-3u      type %c, %s, %u bytes at 0x%08x, %s\n                sha-256 %s, alias '%s'\n",
        count, static_cast<char>(e.type), storage(e.flags), e.size, e.data_offset,
        utc_text(e.timestamp).c_str(), text::to_utf8(e.sha256).c_str(), text::to_utf8(e.alias).c_str());
    end = uint64_t{e.data_offset} + e.size;
  }
  if (count && end + 58 <= data.size())
    std::printf("end record      0x%08llx\n", static_cast<unsigned long long>(end));

  try {
    const sig::located found = sig::locate(data.data(), data.size());
    if (found.refusal) {
      std::printf("signature       refused: %s\n", found.refusal);
      return 1;
    }
    if (found.value.empty()) {
      std::printf("signature       none\n");
      return 1;
    }
    std::printf("signature       at 0x%08zx, covers %zu bytes\n", found.covered_size, found.covered_size);
  } catch (const std::invalid_argument&) {
    std::printf("signature       comment with a broken signature text\n");
    return 1;
  }
  char which = 0;
  if (sig::check_block(data.data(), data.size(), root::dsa::sfx_key_set, &which)) {
    std::printf("verified        yes, key %c of key set 3\n", which);
    return 0;
  }
  std::printf("verified        NO (key set 3)\n");
  return 1;
}

}  // namespace kro::tool
