#pragma once
// Switches whose values are paths, made absolute before the self-extractor's
// command line is passed on to the setup master.
//
// The setup master runs in the working folder <tmp-path>\common, not in the
// folder the self-extractor was started from (after elevation from a browser
// download usually the download folder). A relative path in a switch it gets
// from the self-extractor's command line would then name a place inside the
// temporary folder, which goes away at the end of the run. So each value of a
// path switch that is not fully qualified (files::is_fully_qualified: "x",
// "..\x", "\x", "C:x") is resolved first, against the self-extractor's own
// current directory.
//
// The switches that carry paths (keys compared without regard to case, as
// command_line compares them), path_switch_keys:
//   install-path   the install folder, also made from an Inno-style /DIR=
// Other switches reach the setup master as they were given: the
// self-extractor does not know what their values mean.
//
// The text is rewritten token by token (tokens as command_line reads them):
// a switch token whose value is resolved is replaced by its prefix ("/" or
// "--"), key and separator as written, then the full path, the whole quoted
// as command_line renders a token. Every other character of the text stays
// as it was, so a command line without such a switch comes back unchanged.
// A value the resolver cannot resolve (it answers empty) stays too.
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace kro::sfx {

inline constexpr const wchar_t* path_switch_keys[] = {L"install-path"};

// Resolves a relative path to a full one; empty when it cannot.
using path_resolver = std::function<std::wstring(const std::wstring& relative)>;

// One switch value that was made absolute.
struct resolved_path_switch {
  std::wstring key;  // as written
  std::wstring given;
  std::wstring resolved;
};

std::wstring absolute_path_switches(std::wstring_view command_line, const path_resolver& resolve,
                                    std::vector<resolved_path_switch>* resolved = nullptr);

}  // namespace kro::sfx
