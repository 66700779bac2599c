#pragma once
// Who may change a file or folder: the decision whether an entry the elevated
// program is about to use can be trusted, taken over what was read about it
// (attributes, owner, access list), and the access list of the program's own
// folders.
//
// Trusted are the built-in Administrators, LocalSystem and the user the
// program runs as (the account that started it, which on a system that makes
// every object's owner its creator is the owner of what the program creates).
// An entry is accepted when
//   - it is no link of any kind: no reparse point, and the name reached what
//     was asked for (no link followed on the way);
//   - it is of the kind expected (a folder, or a file with one name only: a
//     second name would be a hard link made elsewhere);
//   - its owner is trusted (an owner can always rewrite the access list);
//   - its access list exists and no entry that allows access gives anyone
//     but the trusted (and CREATOR OWNER, which stands for whoever creates a
//     child and so for the trusted alone) a right that changes the entry or
//     what it holds: write or append data (create files or folders), write
//     attributes or extended attributes, delete, delete children, change the
//     access list, take ownership, or the generic write and all rights.
//     Entries that apply to children only count as well: what is created
//     inside must be as safe as the folder.
// Deny entries only take access away and are not looked at.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace kro::files::access {

// File attributes and access rights as the system numbers them.
inline constexpr uint32_t attribute_directory = 0x10;
inline constexpr uint32_t attribute_reparse_point = 0x400;

inline constexpr uint32_t write_data = 0x2;     // also: create a file in a folder
inline constexpr uint32_t append_data = 0x4;    // also: create a subfolder
inline constexpr uint32_t write_ea = 0x10;      // extended attributes
inline constexpr uint32_t delete_child = 0x40;  // delete anything inside a folder
inline constexpr uint32_t write_attributes = 0x100;
inline constexpr uint32_t delete_entry = 0x10000;
inline constexpr uint32_t write_dac = 0x40000;
inline constexpr uint32_t write_owner = 0x80000;
inline constexpr uint32_t generic_all = 0x10000000;
inline constexpr uint32_t generic_write = 0x40000000;
inline constexpr uint32_t generic_read = 0x80000000;
inline constexpr uint32_t generic_execute = 0x20000000;
// Every right that changes an entry or what it holds.
inline constexpr uint32_t changing_rights = write_data | append_data | write_ea | delete_child |
                                            write_attributes | delete_entry | write_dac | write_owner |
                                            generic_all | generic_write;

// Entry flags as the system numbers them.
inline constexpr uint8_t object_inherit = 0x1;
inline constexpr uint8_t container_inherit = 0x2;
inline constexpr uint8_t inherit_only = 0x8;
inline constexpr uint8_t inherited = 0x10;

// The access list the program's own folders are given: protected (nothing
// inherited from the parent), full access for LocalSystem and the built-in
// Administrators, read and execute for the built-in Users, all three
// inherited by files and subfolders.
inline constexpr wchar_t private_folder_sddl[] = L"D:P(A;CIOI;GA;;;SY)(A;CIOI;GA;;;BA)(A;CIOI;GRGX;;;BU)";

// The kinds of security identifiers the decision tells apart.
enum class trustee : uint8_t {
  local_system,
  administrators,  // the built-in group
  run_user,        // the user the program runs as
  creator_owner,
  users,  // the built-in group
  everyone,
  authenticated_users,
  other,
};

enum class entry_kind : uint8_t { allow, deny, other };

// One entry of an access list.
struct access_entry {
  entry_kind kind = entry_kind::allow;
  uint8_t flags = 0;  // inheritance flags, as above
  uint32_t mask = 0;  // rights
  trustee who = trustee::other;
};

// What was read about one file or folder.
struct entry_facts {
  uint32_t attributes = 0;     // the reparse bit when the name or the opened object shows one
  uint32_t links = 1;          // names of a file
  bool where_expected = true;  // the object opened is the one the name should reach
  trustee owner = trustee::other;
  bool has_dacl = true;  // false: no access list, so everyone has full access
  bool dacl_protected = false;
  std::vector<access_entry> dacl;
};

enum class verdict : uint8_t {
  accepted,
  link,           // a reparse point, or the name led somewhere else
  wrong_kind,     // a file where a folder belongs, or the other way round
  several_names,  // a file with hard links
  foreign_owner,  // owned by someone not trusted
  open_access,    // the access list lets someone not trusted change it
};

// The decision for a folder and for a file.
verdict judge_folder(const entry_facts& facts);
verdict judge_file(const entry_facts& facts);

// Why an entry was refused, in a few words ("" for accepted).
const char* describe(verdict v);

// Whether the entry lets someone not trusted change what it protects.
bool opens_access(const access_entry& entry);

// Whether an access list is the one private_folder_sddl gives, entry by entry
// (protected, three entries, in that order).
bool is_private_folder_list(const entry_facts& facts);

#if defined(_WIN32)

struct local_free {
  void operator()(void* p) const noexcept;
};
// A security descriptor in memory from LocalAlloc.
using unique_descriptor = std::unique_ptr<void, local_free>;

// The descriptor made from private_folder_sddl; null (with the thread's last
// error set) when the conversion fails.
unique_descriptor private_folder_descriptor();

// Owner and access list of a security descriptor, with each identifier
// sorted into its kind; run_user is the identifier of the program's user
// (may be null).
entry_facts facts_of_descriptor(const void* descriptor, const void* run_user);

// The identifier of the user the program runs as (a copy, released with the
// object); null when it cannot be read.
std::shared_ptr<const void> run_user_sid();

// Reads the facts of an open file or folder (opened with READ_CONTROL and
// FILE_READ_ATTRIBUTES) whose name is path: attributes of the handle and of
// the name, number of names, owner and access list. where_expected is left
// true (the caller knows where the object should be). Returns 0 or a
// system error code.
uint32_t read_entry(void* handle, const std::wstring& path, entry_facts& facts);

// Gives an open folder (opened with WRITE_DAC) the private access list,
// protected from inheritance, on the folder alone (nothing is passed down
// to what it holds). Returns 0 or a system error code.
uint32_t protect_folder(void* handle);

#endif

}  // namespace kro::files::access
