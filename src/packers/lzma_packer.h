#pragma once
// ".lzma" files: one raw LZMA1 stream behind a 13-byte header.
//
//   offset size field
//   0      1    properties: lc + 9 * lp + 45 * pb (values above 224 are refused)
//   1      4    dictionary size, unsigned little-endian (below 4096 read as 4096)
//   5      8    unpacked size, unsigned little-endian; top bit set = unknown,
//               the stream then ends with an end marker
//   13     ...  LZMA1 data
//
// Decoding ends when the announced size is out, or at an end marker, whichever
// comes first; with an unknown size only the end marker ends it. Bytes behind
// the end of the stream are never read, so a packed file may carry a trailer
// (the signature block of downloaded files). An end marker before the
// announced size ends the file there: a preallocated output file is cut to the
// bytes decoded. The decoder reads its input from memory (a file is mapped)
// and writes its output in pieces of at most transfer_buffer_size bytes, so
// memory use is the codec's dictionary plus one piece whatever the file size.
//
// The encoder writes the input size into the header and no end marker. Its
// settings are the codec's level 9 with an 8 MiB dictionary, reduced for small
// inputs to the smallest 2^n or 3 * 2^n (at least 4096) that holds the input;
// the header records the dictionary actually used.
//
// Every failure throws kro::exceptions::error. Codes: the system's error code
// for file operations (errno on POSIX), 13 for a short header, 87 for a missing
// path, handle or pointer (an empty input to pack needs no pointer), 120 for the operation that does not
// exist, and for codec failures codec_data_error (corrupt data or premature end), codec_memory_error,
// codec_unsupported (properties the codec cannot decode). Messages:
//   "Unable to read LZMA header!"                  13
//   "Unable to allocate LZMA context!"             codec code (4: properties byte above 224)
//   "Unable to retrieve the file pointer!"         system
//   "Unable to set the file pointer!"              system
//   "Unable to set size of file to %lld bytes!"    system
//   "Unable to decompress LZMA stream!"            codec code
//   "Unable to write uncompressed data to the disk!" system
//   "The LZMA stream has ended prematurely!"       1
//   "The unpacked data exceed the limit of %llu bytes!"  2 (only with set_output_limit)
//   "Not enough memory for %llu bytes of output!"  2 (decoding into memory)
//   "Unable to retrieve the size of the input file!"     system
//   "Unable to read the input file!"               system, 13 when the file is shorter
//   "Unable to create the LZMA encoder!"           codec code
//   "Unable to store LZMA props into the encoder!" codec code
//   "Unable to write LZMA properties!"             codec code
//   "Unable to write to the output file!"          system
//   "Unable to compress LZMA stream!"              codec code
//   "Unable to open file '%ls'!" / "Unable to create file '%ls'!"  system
//
// The operations that take an output path create the file anew and delete it
// again when they fail, so no partial file is left behind. A failure while
// writing into a handle leaves that file as it stands; the caller owns it.
//
// A packer may be used for many streams one after the other (by one thread at
// a time); the codec's state and buffers are kept and reused between calls.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "bytes/byte_view.h"
#include "files/file_handle.h"

namespace kro::packers {

// Result codes of the codec as the exceptions carry them.
inline constexpr int32_t codec_data_error = 1;    // corrupt data, premature end
inline constexpr int32_t codec_memory_error = 2;  // allocation failed
inline constexpr int32_t codec_unsupported = 4;   // properties the codec cannot handle
inline constexpr int32_t codec_internal_error = 11;

inline constexpr size_t lzma_header_size = 13;
inline constexpr uint32_t lzma_min_dictionary = 4096;

class basic_packer {
 public:
  virtual ~basic_packer() = default;

  // Decoding.
  virtual void unpack(const std::wstring& input_path, const std::wstring& output_path) = 0;
  virtual void unpack(files::native_handle input, files::native_handle output) = 0;
  virtual void unpack(const uint8_t* data, size_t size, const std::wstring& output_path) = 0;
  virtual void unpack(const uint8_t* data, size_t size, files::native_handle output) = 0;
  virtual std::vector<uint8_t> unpack(const uint8_t* data, size_t size) = 0;
  // Reserved operation, not implemented by any packer: throws code 120.
  virtual void unpack_stream() = 0;

  // Encoding.
  virtual void pack(const std::wstring& input_path, const std::wstring& output_path) = 0;
  virtual void pack(files::native_handle input, files::native_handle output) = 0;
  virtual void pack(const uint8_t* data, size_t size, const std::wstring& output_path) = 0;
  virtual void pack(const uint8_t* data, size_t size, files::native_handle output) = 0;
  virtual std::vector<uint8_t> pack(const uint8_t* data, size_t size) = 0;
};

class lzma_packer : public basic_packer {
 public:
  static constexpr uint32_t default_level = 9;
  static constexpr uint32_t default_dictionary_size = 0x800000;
  // Largest piece of output handed to the file or vector at once.
  static constexpr size_t transfer_buffer_size = 1u << 20;

  lzma_packer();
  ~lzma_packer() override;
  lzma_packer(const lzma_packer&) = delete;
  lzma_packer& operator=(const lzma_packer&) = delete;

  void unpack(const std::wstring& input_path, const std::wstring& output_path) override;
  void unpack(files::native_handle input, files::native_handle output) override;
  void unpack(const uint8_t* data, size_t size, const std::wstring& output_path) override;
  void unpack(const uint8_t* data, size_t size, files::native_handle output) override;
  std::vector<uint8_t> unpack(const uint8_t* data, size_t size) override;
  // The stream in input, which may lie in pieces (windows of a mapping).
  std::vector<uint8_t> unpack(const bytes::view& input);
  void unpack_stream() override;

  void pack(const std::wstring& input_path, const std::wstring& output_path) override;
  void pack(files::native_handle input, files::native_handle output) override;
  void pack(const uint8_t* data, size_t size, const std::wstring& output_path) override;
  void pack(const uint8_t* data, size_t size, files::native_handle output) override;
  std::vector<uint8_t> pack(const uint8_t* data, size_t size) override;

  // For untrusted input: refuses streams that unpack to more than limit bytes
  // (code 2, "The unpacked data exceed the limit of %llu bytes!"); a header
  // announcing more is refused before anything is allocated or written, a
  // stream of unknown size when its output passes the limit. Once a limit is
  // set, the announced size is no longer trusted for preallocation either: a
  // file grows as bytes are decoded (never set to the announced size first)
  // and a vector reserves at most one piece ahead. The default is no limit,
  // with the preallocation described above, for verified input.
  void set_output_limit(uint64_t limit) noexcept {
    m_output_limit = limit;
    m_limited = true;
  }

  // The dictionary buffer the decoder uses for a header's dictionary size:
  // at least 4096, rounded up to 4 KiB below 4 MiB, to 1 MiB below 1 GiB and
  // to 4 MiB above, unless rounding would overflow.
  static uint32_t dictionary_buffer_size(uint32_t header_dictionary) noexcept;
  // The dictionary the encoder records for an input of size bytes.
  static uint32_t encoder_dictionary_size(uint64_t size, uint32_t dictionary) noexcept;

 private:
  struct codec;
  struct source;
  struct sink;

  void decode(const bytes::view& input, sink& out);
  void encode(source& in, sink& out);

  codec* m_codec;
  uint32_t m_level = default_level;
  uint32_t m_dictionary_size = default_dictionary_size;
  uint64_t m_output_limit = UINT64_MAX;
  bool m_limited = false;
};

namespace detail {

// File operations of the packer, one implementation per platform. All throw
// kro::exceptions::error with the system's error code and the message given
// (or the one named).
files::unique_file open_input(const std::wstring& path);     // "Unable to open file '%ls'!"
files::unique_file create_output(const std::wstring& path);  // "Unable to create file '%ls'!"
void delete_file(const std::wstring& path) noexcept;
bool valid(files::native_handle handle) noexcept;
uint64_t file_size(files::native_handle file);  // "Unable to retrieve the size of the input file!"
// Reads up to size bytes; 0 at the end of the file. "Unable to read the input file!"
size_t read_some(files::native_handle file, void* buffer, size_t size);
void write_all(files::native_handle file, const void* data, size_t size, const char* message);
// Sets the file's size, keeping the file position; messages of the decoder.
void set_file_size(files::native_handle file, uint64_t size);

}  // namespace detail

}  // namespace kro::packers
