// The signature check of memory blocks and open files, and the signer's
// framing. The format is described in verify_signature.h; the opening of a
// file by path is platform code (verify_signature_win32.cpp / _posix.cpp).
#include "root/verify_signature.h"

#include <cstring>
#include <stdexcept>

#include "exceptions/exceptions.h"
#include "files/file_mapping.h"
#include "log/logger.h"
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

uint16_t le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t le32(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

bool ends_with(const uint8_t* data, size_t size, std::string_view tail) {
  return size >= tail.size() && std::memcmp(data + size - tail.size(), tail.data(), tail.size()) == 0;
}

struct pe_layout {
  size_t checksum_offset;
  uint32_t security_offset;
  uint32_t security_size;
};

// Steps 1.1 to 1.3: the PE headers, when data is an image of a known machine.
std::optional<pe_layout> parse_pe(const uint8_t* data, size_t n) {
  if (n < 64 || data[0] != 'M' || data[1] != 'Z') return std::nullopt;
  const uint32_t raw_lfanew = le32(data + 0x3C);
  if (static_cast<int32_t>(raw_lfanew) < 0) return std::nullopt;
  const size_t lfanew = raw_lfanew;
  if (lfanew > n || n - lfanew < 4) return std::nullopt;
  if (std::memcmp(data + lfanew, "PE\0\0", 4) != 0) return std::nullopt;
  if (n - lfanew - 4 < 20) return std::nullopt;
  const size_t optional_header = lfanew + 24;
  const uint16_t machine = le16(data + lfanew + 4);
  size_t directory;
  if (machine == 0x14C) {
    if (n - optional_header < 224 || le16(data + optional_header) != 0x10B) return std::nullopt;
    directory = lfanew + 152;
  } else if (machine == 0x8664 || machine == 0xAA64) {
    if (n - optional_header < 240 || le16(data + optional_header) != 0x20B) return std::nullopt;
    directory = lfanew + 168;
  } else {
    return std::nullopt;
  }
  return pe_layout{lfanew + 88, le32(data + directory), le32(data + directory + 4)};
}

bool check_located(const uint8_t* bytes, const located& where, uint32_t key_set, char* which) {
  if (where.value.empty()) {
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
    bool result = false;
    try {
      result = check_block(data, size, root::dsa::sfx_key_set);
    } catch (const std::exception&) {
      result = false;
    }
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

  static bool verify_block_quiet(const void* data, size_t size) {
    try {
      return check_block(data, size, root::dsa::sfx_key_set);
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
  if (const auto pe = parse_pe(data, n)) {
    out.checksum_offset = pe->checksum_offset;
    const uint64_t end = uint64_t{pe->security_offset} + pe->security_size;
    if (end <= n && end <= 0xFFFFFFFFull) {
      size_t e = pe->security_offset;
      if (pe->security_offset == 0) e = pe->security_size == 0 ? n : 0;
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
