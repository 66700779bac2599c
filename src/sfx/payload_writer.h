#pragma once
// Writer of the payload records that the reader (sfx/payload_enumerator.h)
// walks; layout in sfx/payload_format.h. Used by the packaging tool.
//
// A package is: the stub image cut where its last section data ends, the
// file records, one end record, then the signature block. The writer appends
// records to a byte buffer; it knows the file offset at which the buffer's
// first byte will lie (the payload start), so that it can refuse a record
// whose data would lie beyond what the 32-bit data offsets address.
//
// Errors: kro::exceptions::error code 87 for an alias longer than 65535 UTF-8
// bytes, data of 4 GiB or more, a record behind the 32-bit offset range, or
// a record added after the end record; the errors of the LZMA packer.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "sfx/payload_format.h"

namespace kro::sfx {

class payload_writer {
 public:
  enum class storage { stored, lzma };

  // Appends to out, whose first byte lies at file offset payload_start.
  payload_writer(std::vector<uint8_t>& out, uint64_t payload_start);

  // A file record: the bytes as they are (flags 0) or packed into an LZMA
  // file (flags 1); the sha-256 field is the digest of the unpacked bytes.
  // Returns the file offset of the record's first data byte.
  uint32_t add_file(std::wstring_view alias, const uint8_t* data, size_t size, uint64_t timestamp,
                    storage how = storage::stored, uint32_t type = payload_format::type_file);

  // A record with every header field as given (sha-256 and flags are not
  // derived from the data): for records such as pre-packed files.
  uint32_t add_record(const payload_format::header& fields, std::string_view alias_utf8, const uint8_t* data,
                      size_t size);

  // The end record: a full 58-byte header, type ':', flags 0x10, zeros behind.
  void add_end();

  bool ended() const { return m_ended; }
  // File offset of the next byte to be appended.
  uint64_t offset() const { return m_start + (m_out.size() - m_base); }

 private:
  std::vector<uint8_t>& m_out;
  uint64_t m_start;
  size_t m_base;
  bool m_ended = false;
};

// Where the payload goes in a stub image: behind its last section data.
struct stub_layout {
  uint32_t payload_start = 0;   // end of the last section data
  uint64_t trailing_bytes = 0;  // bytes of the image behind it (COFF symbols, string table)
};

// Runs the reader's PE checks over a whole stub image and measures it.
// Throws as the reader does (unsupported_file_format for a file that is no
// 32-bit PE image or whose section data reaches behind its end). A packer
// cuts the image at payload_start and says so when trailing_bytes is not 0:
// the reader would otherwise take those bytes for the first record.
stub_layout measure_stub(const uint8_t* image, size_t size);

}  // namespace kro::sfx
