// The decision over what was read about a file or folder: links, kind,
// number of names, owner and each entry of the access list.
#include "files/access_check.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kro::files::access {
namespace {

constexpr uint8_t both = object_inherit | container_inherit;
// What the system shows for read and execute, and for "modify".
constexpr uint32_t read_execute = 0x1200a9;
constexpr uint32_t modify = 0x1301bf;
constexpr uint32_t full = 0x1f01ff;

access_entry allow(trustee who, uint32_t mask, uint8_t flags = both) {
  return {entry_kind::allow, flags, mask, who};
}

// A folder as the program creates it on Windows.
entry_facts own_folder() {
  entry_facts facts;
  facts.attributes = attribute_directory;
  facts.owner = trustee::administrators;
  facts.dacl_protected = true;
  facts.dacl = {allow(trustee::local_system, generic_all), allow(trustee::administrators, generic_all),
                allow(trustee::users, generic_read | generic_execute)};
  return facts;
}

// The log file inside it: the folder's entries, inherited and mapped.
entry_facts own_file() {
  entry_facts facts;
  facts.attributes = 0x20;
  facts.owner = trustee::administrators;
  facts.dacl = {allow(trustee::local_system, full, inherited),
                allow(trustee::administrators, full, inherited),
                allow(trustee::users, read_execute, inherited)};
  return facts;
}

std::string name_of(trustee who) {
  switch (who) {
    case trustee::local_system:
      return "system";
    case trustee::administrators:
      return "administrators";
    case trustee::run_user:
      return "run user";
    case trustee::creator_owner:
      return "creator owner";
    case trustee::users:
      return "users";
    case trustee::everyone:
      return "everyone";
    case trustee::authenticated_users:
      return "authenticated users";
    case trustee::other:
      return "other";
  }
  return "?";
}

TEST(access_check, own_entries_are_accepted) {
  EXPECT_EQ(judge_folder(own_folder()), verdict::accepted);
  EXPECT_EQ(judge_file(own_file()), verdict::accepted);

  // As a system that makes no stored lists shows a folder of the program's
  // user: owned by that user, full access for the system and the user, read
  // for everyone.
  entry_facts made_up;
  made_up.attributes = attribute_directory;
  made_up.owner = trustee::run_user;
  made_up.dacl = {allow(trustee::local_system, full), allow(trustee::run_user, full),
                  allow(trustee::everyone, read_execute)};
  EXPECT_EQ(judge_folder(made_up), verdict::accepted);

  for (trustee owner : {trustee::local_system, trustee::administrators, trustee::run_user}) {
    entry_facts facts = own_folder();
    facts.owner = owner;
    EXPECT_EQ(judge_folder(facts), verdict::accepted) << name_of(owner);
  }
}

TEST(access_check, owners_other_than_the_trusted_are_foreign) {
  for (trustee owner : {trustee::users, trustee::everyone, trustee::authenticated_users,
                        trustee::creator_owner, trustee::other}) {
    entry_facts folder = own_folder();
    folder.owner = owner;
    EXPECT_EQ(judge_folder(folder), verdict::foreign_owner) << name_of(owner);
    entry_facts file = own_file();
    file.owner = owner;
    EXPECT_EQ(judge_file(file), verdict::foreign_owner) << name_of(owner);
  }
}

TEST(access_check, every_changing_right_of_someone_else_opens_the_entry) {
  const uint32_t rights[] = {write_data,   append_data, write_ea,    delete_child, write_attributes,
                             delete_entry, write_dac,   write_owner, generic_all,  generic_write};
  for (trustee who : {trustee::users, trustee::everyone, trustee::authenticated_users, trustee::other}) {
    for (uint32_t right : rights) {
      SCOPED_TRACE(name_of(who) + " " + std::to_string(right));
      entry_facts folder = own_folder();
      folder.dacl.push_back(allow(who, read_execute | right));
      EXPECT_EQ(judge_folder(folder), verdict::open_access);
      entry_facts file = own_file();
      file.dacl.push_back(allow(who, right, 0));
      EXPECT_EQ(judge_file(file), verdict::open_access);
    }
    // Reading only is fine.
    entry_facts folder = own_folder();
    folder.dacl.push_back(allow(who, read_execute | generic_read | generic_execute));
    EXPECT_EQ(judge_folder(folder), verdict::accepted) << name_of(who);
  }
}

TEST(access_check, entries_in_the_access_list) {
  struct row {
    const char* name;
    access_entry entry;
    verdict expected;
  };
  const row rows[] = {
      // What a folder made under the common application data folder
      // inherits: users may create files and subfolders.
      {"inherited create right of users",
       allow(trustee::users, write_data | append_data | write_ea, 0x2 | inherited), verdict::open_access},
      {"modify for authenticated users", allow(trustee::authenticated_users, modify), verdict::open_access},
      {"full control for everyone", allow(trustee::everyone, full), verdict::open_access},
      // Applies to what is created inside only, which must be as safe.
      {"children only", allow(trustee::users, write_data, both | inherit_only), verdict::open_access},
      {"creator owner", allow(trustee::creator_owner, full, both | inherit_only), verdict::accepted},
      {"trusted full control", allow(trustee::run_user, full), verdict::accepted},
      {"deny for everyone", {entry_kind::deny, both, full, trustee::everyone}, verdict::accepted},
      {"entry of another kind", {entry_kind::other, 0, full, trustee::everyone}, verdict::accepted},
      {"object entry for somebody", {entry_kind::allow, 0, write_data, trustee::other}, verdict::open_access},
  };
  for (const row& r : rows) {
    entry_facts facts = own_folder();
    facts.dacl.push_back(r.entry);
    EXPECT_EQ(judge_folder(facts), r.expected) << r.name;
  }

  entry_facts none = own_folder();
  none.has_dacl = false;
  none.dacl.clear();
  EXPECT_EQ(judge_folder(none), verdict::open_access) << "no access list";
  entry_facts empty = own_folder();
  empty.dacl.clear();
  EXPECT_EQ(judge_folder(empty), verdict::accepted) << "empty list: nobody but the owner";
}

TEST(access_check, links_kind_and_names_come_before_security) {
  entry_facts foreign = own_folder();
  foreign.owner = trustee::other;
  foreign.dacl.push_back(allow(trustee::everyone, full));

  entry_facts reparse = foreign;
  reparse.attributes |= attribute_reparse_point;
  EXPECT_EQ(judge_folder(reparse), verdict::link);
  entry_facts elsewhere = foreign;
  elsewhere.where_expected = false;
  EXPECT_EQ(judge_folder(elsewhere), verdict::link);
  entry_facts file_link = own_file();
  file_link.attributes |= attribute_reparse_point;
  EXPECT_EQ(judge_file(file_link), verdict::link);
  entry_facts file_elsewhere = own_file();
  file_elsewhere.where_expected = false;
  EXPECT_EQ(judge_file(file_elsewhere), verdict::link);

  EXPECT_EQ(judge_folder(own_file()), verdict::wrong_kind);
  EXPECT_EQ(judge_file(own_folder()), verdict::wrong_kind);

  entry_facts hard_link = own_file();
  hard_link.links = 2;
  EXPECT_EQ(judge_file(hard_link), verdict::several_names);

  for (verdict v : {verdict::link, verdict::wrong_kind, verdict::several_names, verdict::foreign_owner,
                    verdict::open_access}) {
    EXPECT_STRNE(describe(v), "");
  }
  EXPECT_STREQ(describe(verdict::accepted), "");
}

TEST(access_check, private_folder_list_entry_by_entry) {
  EXPECT_TRUE(is_private_folder_list(own_folder()));
  EXPECT_EQ(std::wstring(private_folder_sddl), L"D:P(A;CIOI;GA;;;SY)(A;CIOI;GA;;;BA)(A;CIOI;GRGX;;;BU)");

  entry_facts unprotected = own_folder();
  unprotected.dacl_protected = false;
  EXPECT_FALSE(is_private_folder_list(unprotected));
  entry_facts reordered = own_folder();
  std::swap(reordered.dacl[0], reordered.dacl[1]);
  EXPECT_FALSE(is_private_folder_list(reordered));
  entry_facts longer = own_folder();
  longer.dacl.push_back(allow(trustee::local_system, generic_all));
  EXPECT_FALSE(is_private_folder_list(longer));
  entry_facts files_only = own_folder();
  files_only.dacl[2].flags = object_inherit;
  EXPECT_FALSE(is_private_folder_list(files_only));
  entry_facts users_write = own_folder();
  users_write.dacl[2].mask |= write_data;
  EXPECT_FALSE(is_private_folder_list(users_write));
}

}  // namespace
}  // namespace kro::files::access
