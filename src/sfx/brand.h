#pragma once
// Brand and product identity. The executable's version resource carries the
// string "ProductId" (for example "orvex-morrow"); the text before its first
// hyphen names the brand, and the brand names the company folder under which
// the log folder lies.
//
// Version block (VS_VERSIONINFO and every child alike, little endian):
//   u16 length        bytes of the node, children included
//   u16 value length  bytes for binary values (type 0), characters for text (type 1)
//   u16 type
//   key               zero-terminated UTF-16, then padding to a 4-byte boundary
//   value             then padding to a 4-byte boundary
//   children          at 4-byte aligned positions until length is used up
// The product identifier is the String "ProductId" of any string table below
// the child "StringFileInfo" of the root; keys compare case-insensitively.
//
// Every length is checked against the bytes really present: a node that
// claims more than its parent (or the block) holds ends the walk.
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace kro::sfx {

struct brand_info {
  uint32_t number = 0;          // 1..4, the row of the brand table
  std::wstring product_id;      // "orvex-morrow"
  std::wstring company_folder;  // "Orvex Software"
};

// The value of the String `key` in the StringFileInfo of a version block;
// nothing when absent or when the block is malformed.
std::optional<std::wstring> find_version_string(std::span<const uint8_t> block, std::wstring_view key);

// The product identifier of a version block. Raises kro::exceptions::error
// (code -1) "Unable to determine product identifier from resources!".
std::wstring product_id_from_version_block(std::span<const uint8_t> block);

// The version block (resource type 16, first name, first language) of a PE
// image as the loader mapped it: offsets in `image` are relative virtual
// addresses. Raises kro::exceptions::error (code -1) with "There is no
// resource section in module", "Resource section is empty" or "Unable to
// determine product identifier from resources!".
std::span<const uint8_t> find_version_resource(std::span<const uint8_t> image);

// Brand number and company folder of a product identifier: the text before
// the first hyphen is one of the prefixes "orvex", "tallis", "sorrel",
// "quenby" (case-sensitive). Raises kro::exceptions::fatal (code 192)
// "Unable to deduce brand from product identifier '...'!".
brand_info deduce_brand(const std::wstring& product_id);

// The brand of this process: read from the executable's own image on first
// use (thread-safe), the same record afterwards. A failed first use raises
// and is retried by the next call.
const brand_info& brand_record();

namespace detail {
// The product identifier of the running executable (platform part).
std::wstring own_product_id();
}  // namespace detail

}  // namespace kro::sfx
