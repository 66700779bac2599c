#include "files/access_check.h"

namespace kro::files::access {
namespace {

bool trusted(trustee who) {
  return who == trustee::local_system || who == trustee::administrators || who == trustee::run_user;
}

// What every entry must pass, folder or file, once its kind is right.
verdict judge_security(const entry_facts& facts) {
  if (!trusted(facts.owner)) return verdict::foreign_owner;
  if (!facts.has_dacl) return verdict::open_access;
  for (const access_entry& entry : facts.dacl) {
    if (opens_access(entry)) return verdict::open_access;
  }
  return verdict::accepted;
}

bool is_link(const entry_facts& facts) {
  return (facts.attributes & attribute_reparse_point) != 0 || !facts.where_expected;
}

}  // namespace

bool opens_access(const access_entry& entry) {
  if (entry.kind != entry_kind::allow) return false;
  if (trusted(entry.who) || entry.who == trustee::creator_owner) return false;
  return (entry.mask & changing_rights) != 0;
}

verdict judge_folder(const entry_facts& facts) {
  if (is_link(facts)) return verdict::link;
  if ((facts.attributes & attribute_directory) == 0) return verdict::wrong_kind;
  return judge_security(facts);
}

verdict judge_file(const entry_facts& facts) {
  if (is_link(facts)) return verdict::link;
  if ((facts.attributes & attribute_directory) != 0) return verdict::wrong_kind;
  if (facts.links != 1) return verdict::several_names;
  return judge_security(facts);
}

const char* describe(verdict v) {
  switch (v) {
    case verdict::accepted:
      return "";
    case verdict::link:
      return "it is a link or was reached through one";
    case verdict::wrong_kind:
      return "it is not of the expected kind (file or folder)";
    case verdict::several_names:
      return "the file has more than one name (hard link)";
    case verdict::foreign_owner:
      return "it is not owned by the administrators, the system or the user of this program";
    case verdict::open_access:
      return "its access list lets other users change it";
  }
  return "unknown";
}

bool is_private_folder_list(const entry_facts& facts) {
  constexpr uint8_t both = object_inherit | container_inherit;
  const access_entry expected[] = {
      {entry_kind::allow, both, generic_all, trustee::local_system},
      {entry_kind::allow, both, generic_all, trustee::administrators},
      {entry_kind::allow, both, generic_read | generic_execute, trustee::users},
  };
  if (!facts.has_dacl || !facts.dacl_protected || facts.dacl.size() != std::size(expected)) return false;
  for (size_t i = 0; i < std::size(expected); ++i) {
    const access_entry& have = facts.dacl[i];
    const access_entry& want = expected[i];
    if (have.kind != want.kind || have.flags != want.flags || have.mask != want.mask ||
        have.who != want.who) {
      return false;
    }
  }
  return true;
}

}  // namespace kro::files::access
