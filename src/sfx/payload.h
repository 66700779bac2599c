#pragma once
// The payload appended to the executable: files found by alias or by the
// text of their SHA-256, unpacked to a file or to memory with their checksum
// checked.
//
// The executable is opened once (executable_image) and mapped whole; the
// same handle and mapping can serve the signature check and the payload, so
// the file that was checked is the file that is read. Unpackers share the
// mapping and stay valid after the payload is gone.
//
// While the index is built the payload hands two elements to the hand-off
// document:
//   <file-list>
//     <file><alias/><sha-256/><offset/><size/><timestamp/><flags/></file>...
//   </file-list>
//   <file-mapping-sfx><handle>1a4</handle><size>12345</size></file-mapping-sfx>
// "handle" is the inheritable handle of the executable in lower-case hex.
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "files/file_handle.h"
#include "files/file_mapping.h"
#include "sfx/payload_enumerator.h"

namespace kro::types {

// A byte sink for downloads and extractions.
class stream_writter_intf {
 public:
  // Whether a response with this status is wanted at all.
  virtual bool accepts(uint32_t status) = 0;
  // Takes all count bytes; true on success, throws on failure.
  virtual bool write(const void* data, uint64_t count) = 0;
  virtual ~stream_writter_intf() = default;
};

}  // namespace kro::types

namespace kro::sfx {

struct sfx_data;

class unpacker_intf {
 public:
  virtual void unpack_to_file(const std::wstring& path) = 0;
  virtual std::vector<uint8_t> unpack_to_memory() = 0;
  virtual ~unpacker_intf() = default;
  // The SHA-256 text the file is checked against (lower case); empty when
  // unknown.
  virtual std::wstring sha256() const { return {}; }
};

class payload_intf {
 public:
  virtual std::shared_ptr<unpacker_intf> find_by_hash(const std::wstring& sha256_text) = 0;
  virtual std::shared_ptr<unpacker_intf> find_by_alias(const std::wstring& alias) = 0;
  virtual std::vector<std::wstring> aliases() = 0;
  virtual ~payload_intf() = default;
};

// The executable opened once. The mapping covers the whole file and keeps
// the file handle alive as long as it exists.
struct executable_image {
  std::shared_ptr<files::unique_file> file;
  std::shared_ptr<files::file_mapping> mapping;
};

// Opens the executable for reading data (sharing read and delete, never
// write; the handle is inheritable), with the WOW64 file-system redirection
// off, and maps it whole. Failure to open: logs "Payload: Failed to open sfx
// file '%s', %u" and throws kro::exceptions::error with the system's code and
// "Failed to open sfx file."; the errors of file_mapping pass on.
executable_image open_executable(const std::wstring& path);

// Maps a file that is already open (and takes it over) as open_executable does.
executable_image map_executable(files::unique_file file);

// FNV-1a over the UTF-16 code units of a wide string, low byte first (the
// same value on every platform, whatever the width of wchar_t).
struct utf16_fnv1a {
  size_t operator()(const std::wstring& key) const noexcept;
};

// Extracts one payload file. Unpacked bytes are checked against the entry's
// sha-256 (unless it is empty). Errors: code 5 when the data lie outside the
// executable, 13 "Unsupported data reader (%d)" for flags other than 0 and 1,
// 13 "Fail unpack data, wrong checksum (alias:%s, hash:%s)!", the LZMA
// decoder's errors; unpack_to_file: the system's code and "Unable to create
// file '%ls'!" or "set_file_content". unpack_to_file creates the file anew
// and deletes it again on any failure, so no partial or unverified file stays.
class unpacker : public unpacker_intf {
 public:
  unpacker(std::shared_ptr<files::file_mapping> mapping, payload_entry entry);

  void unpack_to_file(const std::wstring& path) override;
  std::vector<uint8_t> unpack_to_memory() override;
  std::wstring sha256() const override { return m_entry.sha256; }

  // For tools that read packages not yet verified: refuse files that unpack
  // to more than limit bytes (code 2, "The unpacked data exceed the limit of
  // %llu bytes!"); LZMA output is then never preallocated beyond what was
  // decoded (lzma_packer::set_output_limit). Default: no limit.
  void set_output_limit(uint64_t limit) noexcept {
    m_output_limit = limit;
    m_limited = true;
  }
  // Unpacks into a file the caller created and owns, with the same checks as
  // unpack_to_file; after a failure the caller removes the file.
  void unpack_to_handle(files::native_handle file);

  const payload_entry& entry() const { return m_entry; }

  class factory {
   public:
    virtual ~factory() = default;
    virtual std::shared_ptr<unpacker_intf> create(std::shared_ptr<files::file_mapping> mapping,
                                                  const payload_entry& entry);
  };

 private:
  const uint8_t* stored_bytes() const;
  void check(const std::vector<uint8_t>& bytes) const;
  [[noreturn]] void wrong_checksum() const;
  void write_file(files::native_handle file, const uint8_t* stored);

  std::shared_ptr<files::file_mapping> m_mapping;
  payload_entry m_entry;
  uint64_t m_output_limit = UINT64_MAX;
  bool m_limited = false;
};

class payload : public payload_intf, private payload_enumerator::factory, private unpacker::factory {
 public:
  // Opens the executable (open_executable) and reads its payload.
  payload(const std::wstring& executable_path, sfx_data& data);
  // Reads the payload of an executable that is already open and mapped.
  payload(executable_image image, sfx_data& data);

  std::shared_ptr<unpacker_intf> find_by_hash(const std::wstring& sha256_text) override;
  std::shared_ptr<unpacker_intf> find_by_alias(const std::wstring& alias) override;
  std::vector<std::wstring> aliases() override;

  class factory {
   public:
    virtual ~factory() = default;
    virtual std::unique_ptr<payload_intf> create(const std::wstring& executable_path, sfx_data& data);
    // The payload of an executable opened once for the whole run.
    virtual std::unique_ptr<payload_intf> create_from(executable_image image, sfx_data& data);
    // Opens and maps the executable once (open_executable), for the
    // signature check and then create_from.
    virtual executable_image open(const std::wstring& executable_path);
  };

 private:
  using index = std::unordered_map<std::wstring, payload_entry, utf16_fnv1a>;

  void read_payload(sfx_data& data);
  std::shared_ptr<unpacker_intf> make_unpacker(const index& from, const std::wstring& key);

  executable_image m_image;
  index m_by_hash;
  index m_by_alias;
};

// Writes a download or an extraction into an open file that stays the
// caller's. write: a count above 0xFFFFFFFE throws download_file_fail code
// 111 "Too big number of bytes to write."; a failed write throws
// download_file_fail with the system's code and "Unable to write to the file".
class file_stream_writter : public types::stream_writter_intf {
 public:
  explicit file_stream_writter(files::native_handle file) : m_file(file) {}

  bool accepts(uint32_t status) override { return status == 200; }
  bool write(const void* data, uint64_t count) override;

 private:
  files::native_handle m_file;
};

namespace detail {

// Platform parts of the payload (payload_win32.cpp, payload_posix.cpp).
// The numeric value of a handle as the hand-off document shows it.
uint64_t handle_value(files::native_handle file) noexcept;
// The file's size; false with the system's error code in *error.
bool query_file_size(files::native_handle file, uint64_t& size, int32_t& error) noexcept;
// Creates path anew for reading, writing and deletion, shared for reading.
// Throws the system's code with "Unable to create file '%ls'!".
files::unique_file create_target(const std::wstring& path);
// From offset 0: writes all bytes and ends the file there. Throws the
// system's code with "set_file_content".
void set_file_content(files::native_handle file, const uint8_t* data, uint32_t size);
// Marks an open file for deletion when its last handle closes (POSIX:
// removes path at once). Never throws; a failure is logged.
void delete_on_close(files::native_handle file, const std::wstring& path) noexcept;
// One write of count bytes; false with the system's code in *error.
bool write_bytes(files::native_handle file, const void* data, uint32_t count, int32_t& error) noexcept;

}  // namespace detail

}  // namespace kro::sfx
