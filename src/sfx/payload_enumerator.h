#pragma once
// Reader of the payload records behind the executable's PE image (layout in
// sfx/payload_format.h).
//
// Construction checks that the mapped file is a 32-bit PE image and finds the
// payload start: the largest PointerToRawData + SizeOfRawData over all
// section headers. Everything behind it is payload. first() reads the record
// at the payload start, next() the one behind the current record's data;
// both answer whether a file record is now current. An end record (flags bit
// 0x10) or a file without payload ends the walk with no current entry.
//
// Every read goes through the byte view's checked read: nothing is read
// outside the view, and all length fields are treated as hostile.
//
// Errors (kro::exceptions::error and its sfx::exceptions subclasses):
//   no mapping                          87  "file handle is null"
//   view smaller than 64 bytes, NT headers or section table outside the view,
//   next record outside the view         5  "Unable to read outside of the mapped view!"
//   no "MZ"                            193  "Missing DOS signature."
//   no "PE\0\0"                        193  "Missing NT signature."
//   optional header magic not 0x10B    193  "Exe file is not 32-bit."
//   SizeOfOptionalHeader below 224 or
//   NumberOfRvaAndSizes below 5        193  "Malformed PE header."
//   section data behind the file end   193  "Payload starts behind file end."
//   record version not 1               487  "Header version is not supported"
//   record header malformed or cut     487  "Fail on read payload"
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "bytes/byte_view.h"
#include "files/file_mapping.h"

namespace kro::sfx {

// One payload record as read from the executable.
struct payload_entry {
  uint32_t flags = 0;
  uint32_t size = 0;  // bytes of data as stored
  uint64_t timestamp = 0;
  uint32_t data_offset = 0;  // absolute file offset of the first data byte
  std::wstring sha256;       // 64 lower-case hex digits
  std::wstring alias;        // from UTF-8; may be empty
  uint32_t type = 0;
};

class payload_enumerator_intf {
 public:
  virtual bool first() = 0;
  virtual bool next() = 0;
  virtual const payload_entry* current() const = 0;
  virtual ~payload_enumerator_intf() = default;
};

// The PE checks over the bytes of an image (view or file), in the order the
// reader runs them, and the end of the last section data (64-bit, so that a
// sum beyond 4 GiB is seen as lying behind the file end, never wrapped).
// Logs and throws as listed above.
uint64_t pe_section_data_end(const bytes::view& image);

class payload_enumerator : public payload_enumerator_intf {
 public:
  // Runs the PE checks; throws as listed above.
  // Over the mapping's view; the file size bounds the payload start.
  explicit payload_enumerator(std::shared_ptr<files::file_mapping> mapping);
  // Over the bytes of a whole file, which must outlive the reader.
  explicit payload_enumerator(const bytes::view& file);

  bool first() override;
  bool next() override;
  const payload_entry* current() const override;

  uint32_t payload_start() const { return m_payload_start; }

  class factory {
   public:
    virtual ~factory() = default;
    virtual std::unique_ptr<payload_enumerator_intf> create(std::shared_ptr<files::file_mapping> mapping);
  };

 private:
  void init(const bytes::view& file, uint64_t file_size);
  bool read_record(uint64_t offset);

  std::shared_ptr<files::file_mapping> m_mapping;  // keeps the view's bytes alive, when mapped
  bytes::view m_bytes;
  uint64_t m_file_size = 0;
  uint32_t m_payload_start = 0;
  uint64_t m_next_offset = 0;
  std::optional<payload_entry> m_current;
};

}  // namespace kro::sfx
