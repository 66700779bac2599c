#pragma once
// DSA check of the executable, of XML documents and of downloaded files, and
// the framing a signer writes.
//
// Every check answers true only for a valid signature and logs its result
// (level debug). Malformed, short, unmapped or non-hex input is false; only
// verify_file's failure to open the file throws.
//
// Signature value: 64 bytes, r || s (32 bytes each, big-endian), over the
// SHA-256 digest of the covered bytes, valid under key set 3 (keys G, H).
//
// Binary signature block (executables, any binary data): the last 72 bytes of
// the signed range, the signature value followed by the ASCII bytes
// "KROSig2B". It covers every byte before the block.
//
// XML signature comment (XML documents): the document ends with
//   "<!-- " "KROSig2A" <128 hex digits, either case> "KROSig2A" " -->"
// optionally followed by "\n" or "\r\n". It covers every byte before the
// first marker, "<!-- " and any line break before it included.
//
// Executables (data starting with "MZ" and a PE32 / PE32+ header for machine
// 0x14C, 0x8664 or 0xAA64; headers in bytes/pe_format.h):
//   - the signed range ends where the security directory (certificate table)
//     begins, less at most 8 zero bytes of padding before it;
//   - a certificate table must end exactly at the end of the data, and
//     without one (directory offset and size 0) the signature ends it: no
//     unsigned bytes follow the table or the signature. A directory that
//     points behind the data, or has a size but no offset, is refused;
//   - an image whose SizeOfOptionalHeader is below 224 (PE32) or 240 (PE32+),
//     whose NumberOfRvaAndSizes is below 5, or whose section table does not
//     lie inside the signed bytes is refused;
//   - the 4-byte CheckSum field of the optional header is hashed as zeros;
//   - the security directory entry itself is covered, so it must hold its
//     final values before signing.
// A refused layout gives false and, in the checks of verify_signature_intf,
// an error record naming what is wrong.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "bytes/byte_view.h"
#include "files/file_handle.h"
#include "files/file_mapping.h"
#include "root/dsa.h"
#include "root/sha256.h"

namespace kro::sfx {

class verify_signature_intf {
 public:
  // An open file handle (Win32 HANDLE; a file descriptor cast through
  // intptr_t on POSIX). The handle stays the caller's.
  virtual bool verify_handle(void* file_handle) = 0;
  virtual bool verify_block(const void* data, size_t size) = 0;
  virtual bool verify_file(const std::wstring& path) = 0;
  // The file behind a whole-file mapping that the caller opened and keeps
  // using (the run's own executable: checked and then read through the same
  // handle). Logs the line of verify_file with the path; a missing or
  // unmapped mapping is false.
  virtual bool verify_mapping(const files::file_mapping* mapping, const std::wstring& path) = 0;
  virtual ~verify_signature_intf() = default;
};

class verify_signature {
 public:
  class factory {
   public:
    virtual ~factory() = default;
    virtual std::shared_ptr<verify_signature_intf> create();
  };
};

namespace signature {

inline constexpr char binary_marker[] = "KROSig2B";
inline constexpr char xml_marker[] = "KROSig2A";
inline constexpr size_t marker_size = 8;
inline constexpr size_t value_size = 64;
inline constexpr size_t block_size = value_size + marker_size;            // 72
inline constexpr size_t comment_size = 2 * marker_size + 2 * value_size;  // 144
inline constexpr size_t max_padding = 8;

// Where the signed bytes of data end and what they carry.
struct located {
  size_t effective_size = 0;              // after the certificate table rule
  std::optional<size_t> checksum_offset;  // PE CheckSum field
  size_t covered_size = 0;                // bytes the signature covers
  std::vector<uint8_t> value;             // the signature value; empty when none
  // Set when the layout rules out any valid signature (a malformed PE image,
  // bytes behind the certificate table): what is wrong, for logs and the tool.
  const char* refusal = nullptr;
};

// Steps 1 and 2 of the check (effective length, signature extraction).
// Throws std::invalid_argument for a non-hex comment.
located locate(const bytes::view& data);

// The CheckSum field position of a PE image, when data is one.
std::optional<size_t> pe_checksum_offset(const bytes::view& data);

// SHA-256 over data with the 4 bytes at checksum_offset (as far as they lie
// inside) hashed as zeros.
root::digest covered_digest(const bytes::view& data, std::optional<size_t> checksum_offset);

// verify_block against any key set (0..4); kro::exceptions::error 87
// "Unknown DSA key!" above 4. Nothing is logged. *which receives the name of
// the accepting key.
bool check_block(const bytes::view& data, uint32_t key_set, char* which = nullptr);

// --- Signing (the packer side) ------------------------------------------------

// The 72-byte block to append to data: the signature over those bytes (CheckSum field zeroed when they are a
// PE image) and "KROSig2B".
std::vector<uint8_t> make_block(const bytes::view& data, const root::dsa::key_pair& key);

// The signed document: document, then "<!-- KROSig2A<hex>KROSig2A -->" (lower
// case hex, no line break after it). The caller puts whatever line break it
// wants before the comment at the end of document.
std::string sign_xml(std::string_view document, const root::dsa::key_pair& key);

}  // namespace signature

}  // namespace kro::sfx
