#include "sfx/languages.h"

#include <iterator>

namespace kro::sfx::languages {
namespace {

constexpr entry entries[] = {
    {1033, L"en-us"}, {1025, L"ar-sa"}, {1059, L"be-by"}, {1026, L"bg-bg"}, {1093, L"bn-in"},
    {1027, L"ca-es"}, {1029, L"cs-cz"}, {1030, L"da-dk"}, {1031, L"de-de"}, {1032, L"el-gr"},
    {2057, L"en-gb"}, {3082, L"es-es"}, {1061, L"et-ee"}, {1065, L"fa-ir"}, {1035, L"fi-fi"},
    {1036, L"fr-fr"}, {1037, L"he-il"}, {1081, L"hi-in"}, {1050, L"hr-hr"}, {1038, L"hu-hu"},
    {1057, L"id-id"}, {1040, L"it-it"}, {1041, L"ja-jp"}, {1042, L"ko-kr"}, {1063, L"lt-lt"},
    {1062, L"lv-lv"}, {1086, L"ms-my"}, {1044, L"nb-no"}, {1043, L"nl-nl"}, {1045, L"pl-pl"},
    {1046, L"pt-br"}, {2070, L"pt-pt"}, {1048, L"ro-ro"}, {1049, L"ru-ru"}, {1051, L"sk-sk"},
    {1060, L"sl-si"}, {2074, L"sr-sp"}, {1053, L"sv-se"}, {1054, L"th-th"}, {1055, L"tr-tr"},
    {1058, L"uk-ua"}, {1056, L"ur-pk"}, {1066, L"vi-vn"}, {2052, L"zh-cn"}, {1028, L"zh-tw"},
};
static_assert(std::size(entries) == 45);

const entry* find(uint32_t lcid) {
  for (const entry& e : entries) {
    if (e.lcid == lcid) return &e;
  }
  return nullptr;
}

}  // namespace

std::span<const entry> table() { return entries; }

bool is_listed(uint32_t lcid) { return find(lcid) != nullptr; }

std::wstring name(uint32_t lcid) {
  const entry* e = find(lcid);
  return e != nullptr ? e->name : default_name;
}

uint32_t lcid(std::wstring_view name) {
  for (const entry& e : entries) {
    if (name == e.name) return e.lcid;
  }
  return default_lcid;
}

}  // namespace kro::sfx::languages
