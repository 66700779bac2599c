#include <windows.h>

#include "systools/file_version.h"

namespace kro::systools {

file_version own_file_version() {
  // Resources of the executable's own image: no file is opened and no DLL
  // loaded. The handles LoadResource gives need no release.
  const HMODULE image = GetModuleHandleW(nullptr);
  const HRSRC info =
      FindResourceW(image, MAKEINTRESOURCEW(VS_VERSION_INFO), MAKEINTRESOURCEW(16));  // RT_VERSION
  if (!info) return {};
  const DWORD size = SizeofResource(image, info);
  const HGLOBAL loaded = LoadResource(image, info);
  const void* data = loaded ? LockResource(loaded) : nullptr;
  if (!data || size == 0) return {};
  return parse_version_resource({static_cast<const uint8_t*>(data), size}).value_or(file_version{});
}

}  // namespace kro::systools
