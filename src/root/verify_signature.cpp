// The signature check of memory blocks and open files, and the signer's
// framing. The format is described in verify_signature.h; the opening of a
// file by path is platform code (verify_signature_win32.cpp / _posix.cpp).
#include "root/verify_signature.h"

#include <cstring>
#include <stdexcept>

#include "exceptions/exceptions.h"
#include "files/file_mapping.h"
#include "log/logger.h"
#include "sfx/pe_headers.h"
#include "text/text.h"

namespace kro::sfx {
namespace detail {
// Opens path for the check (read access, read sharing). Throws
// kro::exceptions::error with the system error and "Open file for DSA check
// fail!" after logging the failure.
files::unique_file open_for_check(const std::wstring& path);
}  // namespace detail

namespace signature {
namespace {

uint32_t le32(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

bool ends_with(const uint8_t* data, size_t size, std::string_view tail) {
  // Every tail is a non-empty marker, so a match needs size > 0 bytes at data.
  // NOLINTNEXTLINE(clang-analyzer-core.NonNullParamChecker)
  return size >= tail.size() && std::memcmp(data + size - tail.size(), tail.data(), tail.size()) == 0;
}

// What the PE headers say about the signed range.
struct pe_layout {
  const char* refusal = nullptr;  // a malformed image: no signature is valid
  size_t checksum_offset = 0;
  uint32_t security_offset = 0;
  uint32_t security_size = 0;
  uint64_t headers_end = 0;  // behind the section table
};

// Steps 1.1 to 1.3: the PE headers, when data is an image of a known machine.
// An image whose optional header is too small for its fixed fields, that has
// no security directory or whose section table lies outside the data is
// refused: the payload reader would read other fields than the ones the
// signed range is derived from.
std::optional<pe_layout> parse_pe(const uint8_t* data, size_t n) {
  if (n < pe::dos_header_size || data[0] != 'M' || data[1] != 'Z') return std::nullopt;
  const uint32_t raw_lfanew = le32(data + pe::e_lfanew_offset);
  if (static_cast<int32_t>(raw_lfanew) < 0) return std::nullopt;
  const size_t lfanew = raw_lfanew;
  if (lfanew > n || n - lfanew < pe::signature_size) return std::nullopt;
  if (std::memcmp(data + lfanew, "PE\0\0", pe::signature_size) != 0) return std::nullopt;
  if (n - lfanew - pe::signature_size < 20) return std::nullopt;
  const pe::nt_headers headers = pe::read_nt_headers(data, n, raw_lfanew);
  const pe::optional_header_kind* kind = nullptr;
  if (headers.machine == pe::machine_i386) {
    kind = &pe::pe32;
  } else if (headers.machine == pe::machine_amd64 || headers.machine == pe::machine_arm64) {
    kind = &pe::pe32_plus;
  } else {
    return std::nullopt;
  }
  // Too short for the optional header, or a Magic that does not fit the
  // machine: the data is no image and is checked as a whole.
  if (headers.magic != kind->magic || headers.problem == pe::fault::headers_outside) return std::nullopt;
  pe_layout layout;
  if (headers.problem != pe::fault::none) layout.refusal = pe::describe(headers.problem);
  layout.checksum_offset = static_cast<size_t>(headers.checksum);
  layout.security_offset = headers.security_offset;
  layout.security_size = headers.security_size;
  layout.headers_end = headers.section_table_end;
  return layout;
}

bool check_located(const uint8_t* bytes, const located& where, uint32_t key_set, char* which) {
  if (where.value.empty() || where.refusal) {
    (void)root::dsa::key_set_names(key_set);  // an unknown key set still fails loudly
    return false;
  }
  const root::digest hash = covered_digest(bytes, where.covered_size, where.checksum_offset);
  return root::dsa::verify_key_set(hash, where.value, key_set, which);
}

class checker final : public verify_signature_intf {
 public:
  bool verify_handle(void* file_handle) override {
#if defined(_WIN32)
    const files::native_handle handle = file_handle;
#else
    const files::native_handle handle = static_cast<int>(reinterpret_cast<intptr_t>(file_handle));
#endif
    const bool result = check_handle(handle);
    log::write(log::debug, "DSA for file verified with result '%d'", result ? 1 : 0);
    return result;
  }

  bool verify_block(const void* data, size_t size) override {
    const bool result = verify_block_quiet(data, size);
    log::write(log::debug, "DSA for block with size '%d' verified with result '%d'", static_cast<int>(size),
               result ? 1 : 0);
    return result;
  }

  bool verify_mapping(const files::file_mapping* mapping, const std::wstring& path) override {
    bool result = false;
    try {
      result = mapping && mapping->mapped() && mapping->file_size() > 0 &&
               mapping->view_size() == mapping->file_size() &&
               verify_block_quiet(mapping->view(), mapping->view_size());
    } catch (const std::exception&) {
      result = false;
    }
    log::write(log::debug, "DSA for file '%s' verified with result '%d'", text::to_utf8(path).c_str(),
               result ? 1 : 0);
    return result;
  }

  bool verify_file(const std::wstring& path) override {
    const files::unique_file file = detail::open_for_check(path);
    const bool result = check_handle(file.get());
    log::write(log::debug, "DSA for file '%s' verified with result '%d'", text::to_utf8(path).c_str(),
               result ? 1 : 0);
    return result;
  }

 private:
  // The whole file through one read-only mapping; every failure is false.
  bool check_handle(files::native_handle handle) {
    try {
      files::file_mapping mapping;
      mapping.open(handle);
      const uint64_t size = mapping.file_size();
      if (size == 0 || size > 0xFFFFFFFFull) return false;
      mapping.map_view(0, 0);
      const uint8_t* view = mapping.view();
      const bool result = verify_block_quiet(view, mapping.view_size());
      mapping.reset();
      return result;
    } catch (const std::exception&) {
      return false;
    }
  }

  // The check of key set 3; a refused layout is logged, every failure is false.
  static bool verify_block_quiet(const void* data, size_t size) {
    try {
      const auto* bytes = static_cast<const uint8_t*>(data);
      if (bytes == nullptr) size = 0;
      const located where = locate(bytes, size);
      if (where.refusal) log::write(log::error, "DSA check refused the data: %s.", where.refusal);
      return check_located(bytes, where, root::dsa::sfx_key_set, nullptr);
    } catch (const std::exception&) {
      return false;
    }
  }
};

}  // namespace

std::optional<size_t> pe_checksum_offset(const uint8_t* data, size_t size) {
  const auto pe = parse_pe(data, size);
  if (!pe) return std::nullopt;
  return pe->checksum_offset;
}

located locate(const uint8_t* data, size_t n) {
  located out;
  size_t m = n;
  // 1. Effective length.
  const std::optional<pe_layout> pe = parse_pe(data, n);
  if (pe) {
    out.checksum_offset = pe->checksum_offset;
    out.refusal = pe->refusal;
    const uint64_t end = uint64_t{pe->security_offset} + pe->security_size;
    if (pe->security_offset == 0 && pe->security_size == 0) {
      // No certificate table: the signature block ends the file.
    } else if (pe->security_offset == 0) {
      if (!out.refusal) out.refusal = "the security directory has a size but no offset";
      m = 0;
    } else if (end > n) {
      // Not there (yet): nothing stands where the directory points.
      if (!out.refusal) out.refusal = "the certificate table does not end the file";
    } else {
      // Anything behind the table would be covered by no signature.
      if (end != n && !out.refusal) out.refusal = "the certificate table does not end the file";
      size_t e = pe->security_offset;
      for (size_t i = 0; i < max_padding && e > 0 && data[e - 1] == 0; ++i) --e;
      m = e;
    }
  }
  out.effective_size = m;
  // 2. Signature extraction.
  if (ends_with(data, m, " -->\r\n")) {
    m -= 6;
  } else if (ends_with(data, m, " -->\n")) {
    m -= 5;
  } else if (ends_with(data, m, " -->")) {
    m -= 4;
  }
  if (ends_with(data, m, binary_marker)) {
    if (m >= block_size) {
      out.value.assign(data + m - block_size, data + m - marker_size);
      out.covered_size = m - block_size;
    }
  } else if (ends_with(data, m, xml_marker) && m >= comment_size &&
             std::memcmp(data + m - comment_size, xml_marker, marker_size) == 0) {
    const std::string_view hex(reinterpret_cast<const char*>(data + m - comment_size + marker_size),
                               2 * value_size);
    out.value = root::digest::from_hex(hex).bytes();
    out.covered_size = m - comment_size;
  }
  // The headers the payload is found through must be signed bytes.
  if (pe && !out.refusal && !out.value.empty() && pe->headers_end > out.covered_size)
    out.refusal = "the section table lies outside the signed bytes";
  return out;
}

root::digest covered_digest(const uint8_t* data, size_t size, std::optional<size_t> checksum_offset) {
  if (!checksum_offset || *checksum_offset >= size) return root::hash_block(data, size);
  const size_t c = *checksum_offset;
  const size_t masked = size - c < 4 ? size - c : 4;
  static constexpr uint8_t zeros[4] = {};
  root::sha256 hash;
  hash.init();
  hash.update(data, c);
  hash.update(zeros, masked);
  hash.update(data + c + masked, size - c - masked);
  return hash.finish();
}

bool check_block(const void* data, size_t size, uint32_t key_set, char* which) {
  const auto* bytes = static_cast<const uint8_t*>(data);
  if (bytes == nullptr) size = 0;
  return check_located(bytes, locate(bytes, size), key_set, which);
}

std::vector<uint8_t> make_block(const void* data, size_t size, const root::dsa::key_pair& key) {
  const auto* bytes = static_cast<const uint8_t*>(data);
  const root::digest hash = covered_digest(bytes, size, pe_checksum_offset(bytes, size));
  std::vector<uint8_t> block = root::dsa::sign(hash, key.x, key.params());
  if (block.size() != value_size) throw std::invalid_argument("signing key is not DSA (2048, 256)");
  block.insert(block.end(), binary_marker, binary_marker + marker_size);
  return block;
}

std::string sign_xml(std::string_view document, const root::dsa::key_pair& key) {
  std::string out(document);
  out += "<!-- ";
  const auto* bytes = reinterpret_cast<const uint8_t*>(out.data());
  const root::digest hash = covered_digest(bytes, out.size(), pe_checksum_offset(bytes, out.size()));
  const std::vector<uint8_t> value = root::dsa::sign(hash, key.x, key.params());
  if (value.size() != value_size) throw std::invalid_argument("signing key is not DSA (2048, 256)");
  out += xml_marker;
  out += root::digest(value).to_hex_narrow();
  out += xml_marker;
  out += " -->";
  return out;
}

}  // namespace signature

std::shared_ptr<verify_signature_intf> verify_signature::factory::create() {
  return std::make_shared<signature::checker>();
}

}  // namespace kro::sfx
