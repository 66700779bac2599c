#include "sfx/payload.h"

#include <limits>
#include <pugixml.hpp>

#include "exceptions/exceptions.h"
#include "log/logger.h"
#include "packers/lzma_packer.h"
#include "root/sha256.h"
#include "sfx/error_codes.h"
#include "sfx/morrow_info.h"
#include "sfx/payload_format.h"
#include "sfx/sfx_data.h"
#include "text/text.h"

namespace kro::sfx {
namespace {

namespace fmt = payload_format;

// The file handle and its mapping in one block: both shared pointers of an
// executable_image point into it, so the handle is closed only after the
// mapping, when the last holder of either lets go.
struct image_block {
  files::unique_file file;
  files::file_mapping mapping;  // declared last: destroyed first
};

void append_text(pugi::xml_node parent, const char* name, const std::string& value) {
  parent.append_child(name).text().set(value.c_str());
}

std::string decimal(uint64_t value) { return std::to_string(value); }

}  // namespace

executable_image map_executable(files::unique_file file) {
  auto block = std::make_shared<image_block>();
  block->file = std::move(file);
  block->mapping.open(block->file.get(), /*inheritable=*/true, /*whole_view=*/true);
  return executable_image{std::shared_ptr<files::unique_file>(block, &block->file),
                          std::shared_ptr<files::file_mapping>(block, &block->mapping)};
}

size_t utf16_fnv1a::operator()(const std::wstring& key) const noexcept {
  uint32_t hash = 0x811C9DC5u;
  auto feed = [&hash](uint32_t unit) {
    hash = (hash ^ (unit & 0xFF)) * 0x01000193u;
    hash = (hash ^ ((unit >> 8) & 0xFF)) * 0x01000193u;
  };
  for (const wchar_t c : key) {
    const uint32_t cp = static_cast<uint32_t>(c);
    if (cp > 0xFFFF && cp <= 0x10FFFF) {
      feed(0xD800 + ((cp - 0x10000) >> 10));
      feed(0xDC00 + ((cp - 0x10000) & 0x3FF));
    } else {
      feed(cp);
    }
  }
  return hash;
}

// --- unpacker ----------------------------------------------------------------

unpacker::unpacker(std::shared_ptr<files::file_mapping> mapping, payload_entry entry)
    : m_mapping(std::move(mapping)), m_entry(std::move(entry)) {
  if (!m_mapping) throw kro::exceptions::error(codes::invalid_argument, "%s", "file mapping is null");
}

const uint8_t* unpacker::stored_bytes() const {
  const uint8_t* stored = m_mapping->read(m_entry.data_offset, m_entry.size);
  if (m_entry.flags != fmt::flags_stored && m_entry.flags != fmt::flags_lzma) {
    throw kro::exceptions::error(codes::invalid_data, "Unsupported data reader (%d)",
                                 static_cast<int>(m_entry.flags));
  }
  if (m_entry.flags == fmt::flags_stored && m_entry.size > m_output_limit) {
    throw kro::exceptions::error(packers::codec_memory_error,
                                 "The unpacked data exceed the limit of %llu bytes!",
                                 static_cast<unsigned long long>(m_output_limit));
  }
  return stored;
}

void unpacker::wrong_checksum() const {
  const std::string alias = text::to_utf8(m_entry.alias);
  const std::string hash = text::to_utf8(m_entry.sha256);
  log::write(log::error, "Fail unpack data, wrong checksum (alias:%s, hash:%s)!", alias.c_str(),
             hash.c_str());
  throw kro::exceptions::error(codes::invalid_data, "Fail unpack data, wrong checksum (alias:%s, hash:%s)!",
                               alias.c_str(), hash.c_str());
}

std::vector<uint8_t> unpacker::unpack_to_memory() {
  const uint8_t* stored = stored_bytes();
  std::vector<uint8_t> bytes;
  if (m_entry.flags == fmt::flags_stored) {
    bytes.assign(stored, stored + m_entry.size);
  } else {
    packers::lzma_packer packer;
    if (m_limited) packer.set_output_limit(m_output_limit);
    bytes = packer.unpack(stored, m_entry.size);
  }
  if (!m_entry.sha256.empty()) {
    const root::digest expected = root::digest::from_hex(std::wstring_view(m_entry.sha256));
    if (root::hash_block(bytes.data(), bytes.size()) != expected) wrong_checksum();
  }
  return bytes;
}

void unpacker::write_file(files::native_handle file, const uint8_t* stored) {
  if (m_entry.flags == fmt::flags_stored) {
    detail::set_file_content(file, stored, m_entry.size);
  } else {
    packers::lzma_packer packer;
    if (m_limited) packer.set_output_limit(m_output_limit);
    packer.unpack(stored, m_entry.size, file);
  }
  if (!m_entry.sha256.empty()) {
    const root::digest expected = root::digest::from_hex(std::wstring_view(m_entry.sha256));
    if (root::hash_file(file) != expected) wrong_checksum();
  }
}

void unpacker::unpack_to_file(const std::wstring& path) {
  // The record is checked before the target is touched: a record that cannot
  // be read leaves whatever is at the path alone.
  const uint8_t* stored = stored_bytes();
  files::unique_file file = detail::create_target(path);
  try {
    write_file(file.get(), stored);
  } catch (...) {
    detail::delete_on_close(file.get(), path);
    throw;
  }
}

void unpacker::unpack_to_handle(files::native_handle file) { write_file(file, stored_bytes()); }

std::shared_ptr<unpacker_intf> unpacker::factory::create(std::shared_ptr<files::file_mapping> mapping,
                                                         const payload_entry& entry) {
  return std::make_shared<unpacker>(std::move(mapping), entry);
}

// --- payload -----------------------------------------------------------------

payload::payload(const std::wstring& executable_path, sfx_data& data)
    : m_image(open_executable(executable_path)) {
  read_payload(data);
}

payload::payload(executable_image image, sfx_data& data) : m_image(std::move(image)) {
  if (!m_image.file || !m_image.mapping) {
    log::write(log::error, "%s", "payload_enumerator: input handle is nullptr");
    throw kro::exceptions::error(codes::invalid_argument, "file handle is null");
  }
  read_payload(data);
}

void payload::read_payload(sfx_data& data) {
  std::unique_ptr<payload_enumerator_intf> records = payload_enumerator::factory::create(m_image.mapping);

  pugi::xml_document scratch;
  pugi::xml_node list = scratch.append_child("file-list");
  for (bool more = records->first(); more; more = records->next()) {
    const payload_entry& entry = *records->current();
    pugi::xml_node file = list.append_child("file");
    append_text(file, "alias", text::to_utf8(entry.alias));
    append_text(file, "sha-256", text::to_utf8(entry.sha256));
    append_text(file, "offset", decimal(entry.data_offset));
    append_text(file, "size", decimal(entry.size));
    append_text(file, "timestamp", decimal(entry.timestamp));
    append_text(file, "flags", decimal(entry.flags));

    const bool by_hash = entry.alias.empty();
    index& target = by_hash ? m_by_hash : m_by_alias;
    const std::wstring& key = by_hash ? entry.sha256 : entry.alias;
    if (target.count(key)) {
      log::write(log::info,
                 by_hash ? "file sha-256 = '%s' packed in payload twice, overriding"
                         : "file alias = '%s' packed in payload twice, overriding",
                 text::to_utf8(key).c_str());
    }
    target.insert_or_assign(key, entry);
  }

  pugi::xml_node mapping = scratch.append_child("file-mapping-sfx");
  append_text(
      mapping, "handle",
      text::format("%llx", static_cast<unsigned long long>(detail::handle_value(m_image.file->get()))));
  uint64_t size = 0;
  int32_t error = 0;
  if (!detail::query_file_size(m_image.file->get(), size, error)) {
    log::write(log::warning, "Get file size of SFX fail %d", static_cast<int>(error));
    size = 0;
  }
  append_text(mapping, "size", decimal(size));

  if (data.info) {
    data.info->add_copy(list);
    data.info->add_copy(mapping);
  } else {
    log::write(log::warning, "%s", "Payload: no hand-off document, file list not handed over.");
  }
}

std::shared_ptr<unpacker_intf> payload::make_unpacker(const index& from, const std::wstring& key) {
  const auto found = from.find(key);
  if (found == from.end()) return nullptr;
  return unpacker::factory::create(m_image.mapping, found->second);
}

std::shared_ptr<unpacker_intf> payload::find_by_hash(const std::wstring& sha256_text) {
  return make_unpacker(m_by_hash, sha256_text);
}

std::shared_ptr<unpacker_intf> payload::find_by_alias(const std::wstring& alias) {
  return make_unpacker(m_by_alias, alias);
}

std::vector<std::wstring> payload::aliases() {
  std::vector<std::wstring> out;
  out.reserve(m_by_alias.size());
  for (const auto& item : m_by_alias) out.push_back(item.first);
  return out;
}

std::unique_ptr<payload_intf> payload::factory::create(const std::wstring& executable_path, sfx_data& data) {
  return std::make_unique<payload>(executable_path, data);
}

executable_image payload::factory::open(const std::wstring& executable_path) {
  return open_executable(executable_path);
}

std::unique_ptr<payload_intf> payload::factory::create_from(executable_image image, sfx_data& data) {
  return std::make_unique<payload>(std::move(image), data);
}

// --- file_stream_writter -------------------------------------------------------

bool file_stream_writter::write(const void* data, uint64_t count) {
  if (count > 0xFFFFFFFEull) {
    throw sfx::exceptions::download_file_fail(111, "%s", "Too big number of bytes to write.");
  }
  int32_t error = 0;
  if (!detail::write_bytes(m_file, data, static_cast<uint32_t>(count), error)) {
    throw sfx::exceptions::download_file_fail(error, "%s", "Unable to write to the file");
  }
  return true;
}

}  // namespace kro::sfx
