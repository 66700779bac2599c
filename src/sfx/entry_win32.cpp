#include "sfx/entry.h"
namespace kro::sfx {
void harden_loader() {}
const wchar_t* program_path() { return L""; }
int program_entry(const wchar_t*, int) { return 0; }
}
