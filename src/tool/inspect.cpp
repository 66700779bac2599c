// inspect: the PE layout, every payload record and the signature of a file.
#include <cstdio>
#include <cstring>

#include "bytes/pe_format.h"
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
  const bytes::view image(data);
  const pe::layout l = pe::read(image);
  std::printf("file            %s, %zu bytes\n", path.c_str(), data.size());
  std::printf("image           PE32, machine 0x%04x, subsystem %u, %u sections\n", l.machine, l.subsystem,
              l.sections);
  for (uint16_t i = 0; i < l.sections; ++i) {
    const size_t h = l.section_table + size_t{kro::pe::section_header_size} * i;  // inside the file
    const std::span<const uint8_t> name_field =
        image.read(h + kro::pe::section_name.offset, kro::pe::section_name.size);
    const std::string name(reinterpret_cast<const char*>(name_field.data()),
                           ::strnlen(reinterpret_cast<const char*>(name_field.data()), name_field.size()));
    const uint32_t raw_size = image.u32(h + kro::pe::size_of_raw_data.offset);
    const uint32_t raw = image.u32(h + kro::pe::pointer_to_raw_data.offset);
    std::printf("  section %-8s raw 0x%08x..0x%08x\n", name.c_str(), raw, raw + raw_size);
  }
  std::printf("checksum        0x%08x\n", image.u32(l.checksum_offset));
  std::printf(
      "security dir    offset 0x%08x, size %u%s\n", l.security_offset, l.security_size,
      l.security_offset
          ? (l.security_offset + 0ull + l.security_size <= data.size() ? "" : " (table not present yet)")
          : " (no certificate table)");

  sfx::payload_enumerator records(image);
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
    const sig::located found = sig::locate(image);
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
  if (sig::check_block(image, root::dsa::sfx_key_set, &which)) {
    std::printf("verified        yes, key %c of key set 3\n", which);
    return 0;
  }
  std::printf("verified        NO (key set 3)\n");
  return 1;
}

}  // namespace kro::tool
