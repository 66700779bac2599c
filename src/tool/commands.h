#pragma once
// The commands of sfxtool. Each takes its arguments (after the command name)
// and returns the process exit code: 0 success, 1 failure (including a
// signature that does not verify), 2 usage error.
#include <string>
#include <vector>

namespace kro::tool {

using args = std::vector<std::string>;

int keygen(const args& a);
int keys(const args& a);
int sign_xml(const args& a);
int sign_block(const args& a);
int pack(const args& a);
int inspect(const args& a);
int verify(const args& a);
int product_info(const args& a);
int extract(const args& a);

}  // namespace kro::tool
