// Fuzz target: arbitrary bytes as an .lzma file, decoded into memory.
//
// The decoder must either throw kro::exceptions::error or return at most the
// announced number of bytes (fewer only when an end marker came first), and
// what it returns must survive a round trip through the encoder. One packer
// serves every input, so state kept between streams is exercised as well.
// The dictionary field is capped so that the codec's buffer stays within the
// fuzzer's memory limit, and the output is capped for the same reason.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "exceptions/exceptions.h"
#include "packers/lzma_packer.h"

namespace {

constexpr uint64_t output_cap = 16u << 20;
constexpr uint32_t dictionary_cap = 16u << 20;
constexpr size_t round_trip_cap = 16u << 10;

kro::packers::lzma_packer& packer() {
  static kro::packers::lzma_packer instance;
  static const bool limited = (instance.set_output_limit(output_cap), true);
  (void)limited;
  return instance;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<uint8_t> input(data, data + size);
  uint64_t announced = UINT64_MAX;
  if (input.size() >= kro::packers::lzma_header_size) {
    const uint32_t dictionary =
        uint32_t{input[1]} | uint32_t{input[2]} << 8 | uint32_t{input[3]} << 16 | uint32_t{input[4]} << 24;
    if (dictionary > dictionary_cap) {
      for (int i = 0; i < 4; ++i) input[1 + i] = static_cast<uint8_t>(dictionary_cap >> (8 * i));
    }
    announced = 0;
    for (int i = 7; i >= 0; --i) announced = announced << 8 | input[5 + i];
  }
  std::vector<uint8_t> out;
  try {
    out = packer().unpack(kro::bytes::view(input));
  } catch (const kro::exceptions::error&) {
    return 0;
  }
  if ((announced >> 63) == 0 && out.size() > announced) std::abort();
  if (out.size() > output_cap) std::abort();

  if (out.size() <= round_trip_cap) {
    const std::vector<uint8_t> packed = packer().pack(out.data(), out.size());
    if (packer().unpack(packed.data(), packed.size()) != out) std::abort();
  }
  return 0;
}
