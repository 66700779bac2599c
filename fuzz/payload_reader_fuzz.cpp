// Fuzz target: arbitrary bytes as the executable image, read through a byte
// view over the input; the PE checks run and every payload record is walked.
//
// The reader must either throw one of the program's own exceptions or walk
// to the end, and every entry it hands out must describe bytes inside the
// file: its header lies behind the payload start, its data begin inside the
// view. The walk must end (each record moves the offset forward), and the
// packer's measure of the same bytes must agree with the reader's start.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "bytes/byte_view.h"
#include "exceptions/exceptions.h"
#include "log/logger.h"
#include "sfx/payload_enumerator.h"
#include "sfx/payload_format.h"
#include "sfx/payload_writer.h"

namespace {

[[noreturn]] void broken() { std::abort(); }

bool quiet_logger() {
  kro::log::logger().set_debugger_level(kro::log::nothing);
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool quiet = quiet_logger();
  (void)quiet;

  uint32_t start = 0;
  bool constructed = false;
  try {
    kro::sfx::payload_enumerator reader(kro::bytes::view(data, size));
    constructed = true;
    start = reader.payload_start();
    if (start > size) broken();
    uint64_t previous = 0;
    for (bool more = reader.first(); more; more = reader.next()) {
      const kro::sfx::payload_entry* entry = reader.current();
      if (!entry) broken();
      // Header and alias lie inside the file, behind the previous record.
      if (entry->data_offset < uint64_t{start} + kro::sfx::payload_format::header_size) broken();
      if (entry->data_offset > size) broken();
      if (entry->data_offset <= previous) broken();
      if (entry->sha256.size() != 64) broken();
      previous = entry->data_offset;
    }
    if (reader.current()) broken();
    if (reader.next()) broken();
  } catch (const kro::exceptions::error&) {
    // Malformed image or payload: refused, as it must be.
  }

  // The packer's measure agrees with the reader on every image both accept.
  try {
    const kro::sfx::stub_layout layout = kro::sfx::measure_stub(data, size);
    if (constructed && layout.payload_start != start) broken();
    if (layout.payload_start + layout.trailing_bytes != size) broken();
  } catch (const kro::exceptions::error&) {
    if (constructed) broken();
  }
  return 0;
}
