// Reading owner, access list and attributes of open files and folders, and
// the private access list of the program's folders, on Windows.
// clang-format off
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>  // needs <windows.h> first
// clang-format on

#include <cstring>
#include <vector>

#include "files/access_check.h"

namespace kro::files::access {

static_assert(attribute_directory == FILE_ATTRIBUTE_DIRECTORY);
static_assert(attribute_reparse_point == FILE_ATTRIBUTE_REPARSE_POINT);
static_assert(write_data == FILE_WRITE_DATA && write_data == FILE_ADD_FILE);
static_assert(append_data == FILE_APPEND_DATA && append_data == FILE_ADD_SUBDIRECTORY);
static_assert(write_ea == FILE_WRITE_EA && delete_child == FILE_DELETE_CHILD);
static_assert(write_attributes == FILE_WRITE_ATTRIBUTES && delete_entry == DELETE);
static_assert(write_dac == WRITE_DAC && write_owner == WRITE_OWNER);
static_assert(generic_all == GENERIC_ALL && generic_write == GENERIC_WRITE);
static_assert(generic_read == GENERIC_READ && generic_execute == GENERIC_EXECUTE);
static_assert(object_inherit == OBJECT_INHERIT_ACE && container_inherit == CONTAINER_INHERIT_ACE);
static_assert(inherit_only == INHERIT_ONLY_ACE && inherited == INHERITED_ACE);

namespace {

trustee kind_of(PSID sid, PSID run_user) {
  if (!sid || !IsValidSid(sid)) return trustee::other;
  struct known {
    WELL_KNOWN_SID_TYPE type;
    trustee who;
  };
  static constexpr known table[] = {
      {WinLocalSystemSid, trustee::local_system},
      {WinBuiltinAdministratorsSid, trustee::administrators},
      {WinCreatorOwnerSid, trustee::creator_owner},
      {WinBuiltinUsersSid, trustee::users},
      {WinWorldSid, trustee::everyone},
      {WinAuthenticatedUserSid, trustee::authenticated_users},
  };
  for (const known& k : table) {
    if (IsWellKnownSid(sid, k.type)) return k.who;
  }
  if (run_user && IsValidSid(run_user) && EqualSid(sid, run_user)) return trustee::run_user;
  return trustee::other;
}

// One entry of an access list. Every kind of entry that allows or denies
// keeps its rights right after the header; the identifier of an object
// entry sits behind optional fields and is not read (such an entry counts
// as one for somebody else).
access_entry entry_of(const ACE_HEADER* header, PSID run_user) {
  access_entry entry;
  entry.flags = header->AceFlags;
  std::memcpy(&entry.mask, reinterpret_cast<const unsigned char*>(header) + sizeof(ACE_HEADER),
              sizeof(entry.mask));
  switch (header->AceType) {
    case ACCESS_ALLOWED_ACE_TYPE:
    case ACCESS_ALLOWED_CALLBACK_ACE_TYPE:
      entry.kind = entry_kind::allow;
      entry.who = kind_of(const_cast<DWORD*>(&reinterpret_cast<const ACCESS_ALLOWED_ACE*>(header)->SidStart),
                          run_user);
      break;
    case ACCESS_ALLOWED_OBJECT_ACE_TYPE:
    case ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE:
      entry.kind = entry_kind::allow;
      entry.who = trustee::other;
      break;
    case ACCESS_DENIED_ACE_TYPE:
    case ACCESS_DENIED_CALLBACK_ACE_TYPE:
      entry.kind = entry_kind::deny;
      entry.who = kind_of(const_cast<DWORD*>(&reinterpret_cast<const ACCESS_DENIED_ACE*>(header)->SidStart),
                          run_user);
      break;
    case ACCESS_DENIED_OBJECT_ACE_TYPE:
    case ACCESS_DENIED_CALLBACK_OBJECT_ACE_TYPE:
      entry.kind = entry_kind::deny;
      break;
    default:
      entry.kind = entry_kind::other;
      break;
  }
  return entry;
}

}  // namespace

void local_free::operator()(void* p) const noexcept { LocalFree(p); }

unique_descriptor private_folder_descriptor() {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(private_folder_sddl, SDDL_REVISION_1, &descriptor,
                                                            nullptr)) {
    return nullptr;
  }
  return unique_descriptor(descriptor);
}

entry_facts facts_of_descriptor(const void* descriptor, const void* run_user) {
  entry_facts facts;
  auto* sd = const_cast<void*>(descriptor);
  PSID user = const_cast<void*>(run_user);
  PSID owner = nullptr;
  BOOL defaulted = FALSE;
  if (GetSecurityDescriptorOwner(sd, &owner, &defaulted)) facts.owner = kind_of(owner, user);

  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  if (GetSecurityDescriptorControl(sd, &control, &revision))
    facts.dacl_protected = (control & SE_DACL_PROTECTED) != 0;

  BOOL present = FALSE;
  PACL dacl = nullptr;
  if (!GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted) || !present || !dacl) {
    facts.has_dacl = false;
    return facts;
  }
  for (DWORD i = 0; i < dacl->AceCount; ++i) {
    void* ace = nullptr;
    if (!GetAce(dacl, i, &ace)) {
      // An entry that cannot be read may allow anything.
      facts.dacl.push_back({entry_kind::allow, 0, generic_all, trustee::other});
      continue;
    }
    facts.dacl.push_back(entry_of(static_cast<const ACE_HEADER*>(ace), user));
  }
  return facts;
}

std::shared_ptr<const void> run_user_sid() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return nullptr;
  std::vector<unsigned char> buffer(256);
  DWORD size = 0;
  BOOL ok = GetTokenInformation(token, TokenUser, buffer.data(), static_cast<DWORD>(buffer.size()), &size);
  if (!ok && GetLastError() == ERROR_INSUFFICIENT_BUFFER) {
    buffer.resize(size);
    ok = GetTokenInformation(token, TokenUser, buffer.data(), static_cast<DWORD>(buffer.size()), &size);
  }
  CloseHandle(token);
  if (!ok) return nullptr;
  PSID sid = reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid;
  if (!IsValidSid(sid)) return nullptr;
  const DWORD length = GetLengthSid(sid);
  std::shared_ptr<unsigned char> copy(new unsigned char[length], std::default_delete<unsigned char[]>());
  if (!CopySid(length, copy.get(), sid)) return nullptr;
  return std::shared_ptr<const void>(copy, copy.get());
}

uint32_t read_entry(void* handle, const std::wstring& path, entry_facts& facts) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(handle, &info)) return GetLastError();

  PSECURITY_DESCRIPTOR descriptor = nullptr;
  const DWORD error =
      GetSecurityInfo(handle, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, nullptr,
                      nullptr, nullptr, nullptr, &descriptor);
  if (error != ERROR_SUCCESS) return error;
  const unique_descriptor held(descriptor);
  static const std::shared_ptr<const void> user = run_user_sid();
  facts = facts_of_descriptor(descriptor, user.get());

  facts.attributes = info.dwFileAttributes;
  facts.links = info.nNumberOfLinks;
  // A link the open went through does not show on the handle on every
  // system; the name's own attributes show it.
  const DWORD by_name = GetFileAttributesW(path.c_str());
  if (by_name != INVALID_FILE_ATTRIBUTES) facts.attributes |= by_name & FILE_ATTRIBUTE_REPARSE_POINT;
  return ERROR_SUCCESS;
}

uint32_t protect_folder(void* handle) {
  const unique_descriptor descriptor = private_folder_descriptor();
  if (!descriptor) return GetLastError();
  // The descriptor's control carries the protection from inheritance; the
  // call sets the folder's own list and passes nothing down.
  if (!SetKernelObjectSecurity(handle, DACL_SECURITY_INFORMATION, descriptor.get())) return GetLastError();
  return ERROR_SUCCESS;
}

}  // namespace kro::files::access
