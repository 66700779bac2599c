#include "sfx/brand.h"

#include <algorithm>
#include <iterator>
#include <vector>

#include "bytes/pe_format.h"
#include "exceptions/exceptions.h"
#include "sfx/error_codes.h"
#include "text/text.h"

namespace kro::sfx {
namespace {

constexpr const char* no_product_id = "Unable to determine product identifier from resources!";

// ---- version block ----------------------------------------------------------

constexpr size_t node_header = 6;  // length, value length, type
constexpr uint16_t type_text = 1;

constexpr size_t align4(size_t offset) { return (offset + 3) & ~size_t{3}; }

// UTF-16 code units to a wide string (pairs joined where wchar_t is 32-bit).
std::wstring from_utf16(const std::vector<char16_t>& units) {
  std::wstring out;
  out.reserve(units.size());
  for (size_t i = 0; i < units.size(); ++i) {
    char32_t c = units[i];
    if constexpr (sizeof(wchar_t) == 4) {
      if (c >= 0xD800 && c <= 0xDBFF && i + 1 < units.size() && units[i + 1] >= 0xDC00 &&
          units[i + 1] <= 0xDFFF) {
        c = 0x10000 + ((c - 0xD800) << 10) + (units[i + 1] - 0xDC00);
        ++i;
      }
    }
    out += static_cast<wchar_t>(c);
  }
  return out;
}

struct node {
  size_t end = 0;  // one past the node's last byte
  std::wstring key;
  uint16_t value_length = 0;
  size_t value = 0;     // offset of the value
  size_t children = 0;  // offset of the first child (== end when none)
};

// Reads the node at `pos`, which must fit before `limit` (limit <= size).
std::optional<node> read_node(const bytes::view& block, size_t pos, size_t limit) {
  if (pos > limit || limit - pos < node_header) return std::nullopt;
  const size_t length = block.u16(pos);
  if (length < node_header || length > limit - pos) return std::nullopt;
  node n;
  n.end = pos + length;
  n.value_length = block.u16(pos + 2);
  const uint16_t type = block.u16(pos + 4);

  std::vector<char16_t> key;
  size_t at = pos + node_header;
  for (;;) {
    if (n.end - at < 2) return std::nullopt;  // key without its terminator
    const char16_t c = block.u16(at);
    at += 2;
    if (c == 0) break;
    key.push_back(c);
  }
  n.key = from_utf16(key);

  n.value = std::min(align4(at), n.end);
  size_t value_bytes = type == type_text ? size_t{n.value_length} * 2 : n.value_length;
  if (value_bytes > n.end - n.value) value_bytes = n.end - n.value;
  n.children = std::min(align4(n.value + value_bytes), n.end);
  return n;
}

// Calls visit(child) for each child of `parent` while `stop` is unset. A
// malformed child sets `stop`: nothing behind it can be trusted.
template <class Visit>
void for_each_child(const bytes::view& block, const node& parent, bool& stop, Visit visit) {
  for (size_t pos = parent.children; pos < parent.end && !stop;) {
    const std::optional<node> child = read_node(block, pos, parent.end);
    if (!child) {
      stop = true;
      return;
    }
    visit(*child);
    pos = align4(child->end);
  }
}

// The text value of a String node: UTF-16 up to its terminator or the end
// of the node.
std::wstring text_value(const bytes::view& block, const node& n) {
  std::vector<char16_t> units;
  if (n.value_length == 0) return {};
  for (size_t at = n.value; n.end - at >= 2; at += 2) {
    const char16_t c = block.u16(at);
    if (c == 0) break;
    units.push_back(c);
  }
  return from_utf16(units);
}

// ---- PE resource directory ---------------------------------------------------

constexpr uint32_t subdirectory_flag = 0x80000000u;
constexpr uint32_t rt_version = 16;
constexpr size_t directory_size = 16;
constexpr size_t directory_entry_size = 8;
constexpr size_t data_entry_size = 16;

[[noreturn]] void fail(const char* message) { throw kro::exceptions::error(codes::none, "%s", message); }

struct directory_entry {
  uint32_t name;
  uint32_t offset;
};

// Entries of the resource directory at `offset`, capped by the bytes present.
std::vector<directory_entry> directory(const bytes::view& rsrc, size_t offset) {
  if (!rsrc.contains(offset, directory_size)) fail(no_product_id);
  size_t count = size_t{rsrc.u16(offset + 12)} + rsrc.u16(offset + 14);
  const size_t first = offset + directory_size;
  count = std::min(count, static_cast<size_t>((rsrc.size() - first) / directory_entry_size));
  std::vector<directory_entry> entries;
  for (size_t i = 0; i < count; ++i) {
    const size_t at = first + i * directory_entry_size;
    entries.push_back({rsrc.u32(at), rsrc.u32(at + 4)});
  }
  return entries;
}

// The subdirectory an entry points to.
size_t subdirectory(const directory_entry& entry) {
  if ((entry.offset & subdirectory_flag) == 0) fail(no_product_id);
  return entry.offset & ~subdirectory_flag;
}

// ---- brands ------------------------------------------------------------------

struct brand_row {
  uint32_t number;
  const wchar_t* prefix;
  const wchar_t* company_folder;
};

constexpr brand_row brands[] = {
    {1, L"orvex", L"Orvex Software"},
    {2, L"tallis", L"Tallis"},
    {3, L"sorrel", L"Sorrel"},
    {4, L"quenby", L"Quenby"},
};

}  // namespace

std::optional<std::wstring> find_version_string(std::span<const uint8_t> block_bytes, std::wstring_view key) {
  const bytes::view block(block_bytes);
  const std::optional<node> root = read_node(block, 0, block_bytes.size());
  if (!root) return std::nullopt;
  std::optional<std::wstring> found;
  bool stop = false;
  for_each_child(block, *root, stop, [&](const node& file_info) {
    if (!text::equals_nocase(file_info.key, L"StringFileInfo")) return;
    for_each_child(block, file_info, stop, [&](const node& table) {
      for_each_child(block, table, stop, [&](const node& string) {
        if (!text::equals_nocase(string.key, key)) return;
        found = text_value(block, string);
        stop = true;
      });
    });
  });
  return found;
}

std::wstring product_id_from_version_block(std::span<const uint8_t> block) {
  std::optional<std::wstring> id = find_version_string(block, L"ProductId");
  if (!id) fail(no_product_id);
  return *id;
}

std::span<const uint8_t> find_version_resource(std::span<const uint8_t> image_bytes) {
  // DOS header -> "PE\0\0" -> file header -> optional header -> resource
  // directory (RVAs: this is the loaded image).
  const bytes::view image(image_bytes);
  if (!pe::has_dos_header(image)) fail(no_product_id);
  const uint64_t nt = image.u32(pe::e_lfanew.offset);
  const uint64_t optional = nt + pe::optional_header_offset;
  if (!image.contains(nt, pe::optional_header_offset + pe::magic.size) || !image.equals(nt, pe::nt_signature))
    fail(no_product_id);
  const pe::optional_header_kind* kind = pe::kind_of(image.u16(optional + pe::magic.offset));
  if (!kind) fail(no_product_id);
  const uint64_t count_at = optional + kind->rva_count_offset;
  if (!image.contains(count_at, 4)) fail(no_product_id);
  const uint32_t directories = image.u32(count_at);
  const uint64_t resource_entry = optional + kind->directory(pe::resource_directory);
  if (directories <= pe::resource_directory || !image.contains(resource_entry, pe::directory_entry_size) ||
      image.u32(resource_entry) == 0) {
    fail("There is no resource section in module");
  }
  const uint32_t rsrc_rva = image.u32(resource_entry);
  const uint32_t rsrc_size = image.u32(resource_entry + 4);
  if (rsrc_size == 0) fail("Resource section is empty");
  if (!image.contains(rsrc_rva, rsrc_size)) fail(no_product_id);
  const bytes::view rsrc = image.sub(rsrc_rva, rsrc_size);

  // Type 16 -> first name -> first language -> data entry (RVA, size).
  size_t names = 0;
  bool has_type = false;
  for (const directory_entry& entry : directory(rsrc, 0)) {
    if (entry.name == rt_version) {
      names = subdirectory(entry);
      has_type = true;
      break;
    }
  }
  if (!has_type) fail(no_product_id);
  const std::vector<directory_entry> name_entries = directory(rsrc, names);
  if (name_entries.empty()) fail(no_product_id);
  const std::vector<directory_entry> languages = directory(rsrc, subdirectory(name_entries.front()));
  if (languages.empty() || (languages.front().offset & subdirectory_flag) != 0) fail(no_product_id);
  const uint32_t data_entry = languages.front().offset;
  if (!rsrc.contains(data_entry, data_entry_size)) fail(no_product_id);
  const uint32_t data_rva = rsrc.u32(data_entry);
  const uint32_t data_size = rsrc.u32(data_entry + 4);
  if (!image.contains(data_rva, data_size)) fail(no_product_id);
  return image.read(data_rva, data_size);
}

brand_info deduce_brand(const std::wstring& product_id) {
  const size_t hyphen = product_id.find(L'-');
  if (hyphen != std::wstring::npos) {
    const std::wstring_view prefix = std::wstring_view(product_id).substr(0, hyphen);
    for (const brand_row& row : brands) {
      if (prefix == row.prefix) return {row.number, product_id, row.company_folder};
    }
  }
  throw kro::exceptions::fatal(codes::brand_unknown, L"Unable to deduce brand from product identifier '%ls'!",
                               product_id.c_str());
}

const brand_info& brand_record() {
  // A throwing initialiser leaves the record unset; the next call tries again.
  static const brand_info record = deduce_brand(detail::own_product_id());
  return record;
}

}  // namespace kro::sfx
