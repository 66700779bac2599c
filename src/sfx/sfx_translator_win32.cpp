#include <windows.h>

#include <utility>

#include "sfx/sfx_translator.h"

namespace kro::sfx {
namespace {

constexpr WORD string_table_id = 300;

// The bytes of the string table in the executable's own module; an empty span
// when it is missing. Resource memory belongs to the module and needs no
// release.
std::pair<const void*, size_t> string_table() {
  HMODULE module = GetModuleHandleW(nullptr);
  if (module == nullptr) return {nullptr, 0};
  HRSRC info = FindResourceW(module, MAKEINTRESOURCEW(string_table_id), L"XML");
  if (info == nullptr) return {nullptr, 0};
  HGLOBAL loaded = LoadResource(module, info);
  if (loaded == nullptr) return {nullptr, 0};
  const void* data = LockResource(loaded);
  const DWORD size = SizeofResource(module, info);
  if (data == nullptr || size == 0) return {nullptr, 0};
  return {data, size};
}

}  // namespace

std::shared_ptr<sfx_translator_intf> sfx_translator::factory::create(uint32_t lcid) {
  const auto [data, size] = string_table();
  return std::make_shared<sfx_translator>(lcid, data, size);
}

}  // namespace kro::sfx
