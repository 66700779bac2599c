// Fuzz target: the signature check of memory blocks.
//
// The first input byte picks what is checked:
//   even  the rest of the input as it is;
//   odd   a signed sample (byte 1 picks a PE image with a certificate table
//         or an XML document, both signed with key G at start-up) patched by
//         the rest of the input: groups of three bytes (16-bit offset, value)
//         overwrite sample bytes, a trailing single byte cuts or extends the
//         end by up to 127 bytes.
// The check must never crash or read outside the block (ASan), and it may
// accept only bytes whose covered digest is that of a sample: anything else
// it accepts is a forgery, and the target aborts.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "root/dsa.h"
#include "root/verify_signature.h"

namespace {

namespace signature = kro::sfx::signature;
using bytes = std::vector<uint8_t>;

void put32(bytes& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

struct samples {
  bytes pe;
  bytes xml;
  kro::root::digest pe_digest;
  kro::root::digest xml_digest;
};

const samples& sample_set() {
  static const samples s = [] {
    std::ifstream in(KRO_SOURCE_DIR "/keys/dev-private/G.txt", std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    const kro::root::dsa::key_pair key = kro::root::dsa::parse_key_text(text.str());
    samples out;
    // PE32 headers at e_lfanew 0x80 (one section header behind a 224-byte
    // optional header with 16 directories), a body, the block, 3 zero bytes
    // of padding and a 40-byte certificate table.
    bytes image(600);
    for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 13 + 5);
    image[0] = 'M';
    image[1] = 'Z';
    put32(image, 0x3C, 0x80);
    std::memcpy(image.data() + 0x80, "PE\0\0\x4c\x01\x01\x00", 8);
    image[0x80 + 20] = 224;
    image[0x80 + 21] = 0;
    image[0x80 + 24] = 0x0B;
    image[0x80 + 25] = 0x01;
    put32(image, 0x80 + 24 + 92, 16);
    const size_t cert_at = image.size() + signature::block_size + 3;
    put32(image, 0x80 + 152, static_cast<uint32_t>(cert_at));
    put32(image, 0x80 + 156, 40);
    const bytes block = signature::make_block(image, key);
    out.pe = image;
    out.pe.insert(out.pe.end(), block.begin(), block.end());
    out.pe.insert(out.pe.end(), 3, 0);
    out.pe.insert(out.pe.end(), 40, 0x5A);
    out.pe_digest = signature::covered_digest(image, size_t{0x80 + 88});
    const std::string doc = "<?xml version=\"1.0\"?>\r\n<sfx-info><x>1</x></sfx-info>\r\n\n";
    const std::string signed_doc = signature::sign_xml(doc, key);
    out.xml.assign(signed_doc.begin(), signed_doc.end());
    const std::string covered = doc + "<!-- ";
    out.xml_digest = kro::root::hash_block(covered.data(), covered.size());
    return out;
  }();
  return s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const samples& s = sample_set();
  bytes block;
  if ((data[0] & 1) == 0) {
    block.assign(data + 1, data + size);
  } else {
    block = size > 1 && (data[1] & 1) ? s.xml : s.pe;
    size_t at = 2;
    for (; at + 3 <= size; at += 3) {
      const size_t offset = (size_t{data[at]} | size_t{data[at + 1]} << 8) % block.size();
      block[offset] = data[at + 2];
    }
    if (at < size) {
      const int delta = static_cast<int8_t>(data[at]);
      if (delta < 0) {
        block.resize(block.size() - std::min(block.size(), static_cast<size_t>(-delta)));
      } else {
        block.resize(block.size() + static_cast<size_t>(delta), static_cast<uint8_t>(delta));
      }
    }
  }
  // An exact-size heap copy, so that ASan sees every read past the end.
  std::unique_ptr<uint8_t[]> exact(new uint8_t[block.size() + (block.empty() ? 1 : 0)]);
  if (!block.empty()) std::memcpy(exact.get(), block.data(), block.size());
  const bool valid = kro::sfx::verify_signature::factory().create()->verify_block(exact.get(), block.size());
  if (valid) {
    const signature::located where = signature::locate({exact.get(), block.size()});
    const kro::root::digest covered =
        signature::covered_digest({exact.get(), where.covered_size}, where.checksum_offset);
    if (covered != s.pe_digest && covered != s.xml_digest) std::abort();
  }
  return 0;
}
