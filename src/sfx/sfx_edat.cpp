#include "sfx/sfx_edat.h"

#include <exception>

#include "files/directory.h"
#include "files/safe_name.h"
#include "log/logger.h"
#include "sfx/payload.h"
#include "sfx/value_holder.h"
#include "text/text.h"

namespace kro::sfx {

std::unique_ptr<sfx_edat_intf> sfx_edat::factory::create(sfx_data& data) {
  return std::make_unique<sfx_edat>(data);
}

void sfx_edat::unpack() {
  try {
    const std::wstring folder = data().values->get_string(L"tmp-path", L"");
    for (const std::wstring& name : data().payload->aliases()) {
      if (text::find_nocase(name, L".edat") == std::wstring::npos) continue;
      unpack_one(folder, name);
    }
  } catch (const std::exception& e) {
    log::write_exception(log::error, e, "Unpacking EDAT end with exception.");
  }
}

void sfx_edat::unpack_one(const std::wstring& folder, const std::wstring& name) {
  log::write(log::debug, L"Unpacking EDAT (%ls)", name.c_str());
  const std::shared_ptr<unpacker_intf> file = data().payload->find_by_alias(name);
  if (!file) {
    log::write(log::debug, L"EDAT not in payload (%ls)", name.c_str());
    return;
  }
  // The alias becomes a path below the temporary folder: one that could
  // reach outside it is never written.
  if (!files::is_safe_relative_name(name)) {
    log::write(log::error, L"EDAT name '%ls' is not a relative path inside the temp folder, skip",
               name.c_str());
    return;
  }
  const std::wstring target = files::join(folder, files::to_backslashes(name));
  const std::wstring parent = files::parent_of(target);
  if (!files::is_directory(parent)) {
    if (const uint32_t error = files::create_directories(parent)) {
      log::write(log::error, L"Create EDAT directory '%ls' fail %u (%ls), skip", parent.c_str(),
                 static_cast<unsigned>(error), name.c_str());
      return;
    }
  }
  file->unpack_to_file(target);
}

}  // namespace kro::sfx
