#pragma once
// The program entry of sfx.exe: loader hardening before the C runtime starts,
// then the wide GUI entry with the program's error policy.

namespace kro::sfx {

// Runs before the C runtime: narrows the DLL search order, keeps the real
// program path, and ends the process with 0xC000001D when the processor lacks
// SSE2. Touches no C runtime or C++ state.
void harden_loader();

// The path of the running executable: set by harden_loader where it rewrites
// the loader's own record, else taken from the module file name on first use.
const wchar_t* program_path();

// The wide GUI entry: command line without the program name; returns the
// process exit code.
int program_entry(const wchar_t* command_line, int show);

}  // namespace kro::sfx
