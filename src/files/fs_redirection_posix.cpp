#include "files/fs_redirection.h"

namespace kro::files {

fs_redirection::fs_redirection() = default;
fs_redirection::~fs_redirection() = default;
void fs_redirection::disable() {}
void fs_redirection::revert() {}

}  // namespace kro::files
