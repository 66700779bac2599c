#pragma once
// Key files of sfxtool: private key text (p, q, g, y, x) as `keygen` writes
// it, key rings, and the key sets of this build's key table.
#include <string>

#include "root/dsa.h"

namespace kro::tool {

// A private key from key text; tool_error when the file is missing, is no
// key text, or lacks x.
root::dsa::key_pair load_private_key(const std::string& path);

// The name ('A'..'H') of the key of the build's key set that has this
// public value, or 0 when none of the set's keys is this one.
char key_in_set(const root::dsa::key_pair& key, uint32_t key_set);

// A warning on stderr ("sfxtool COMMAND: warning: ...") when the key is one
// of the development ring's, whose private halves are public.
void warn_if_development_key(const char* command, const root::dsa::key_pair& key);

}  // namespace kro::tool
