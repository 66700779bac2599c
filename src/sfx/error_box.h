#pragma once
// The localized error message box of the entry point.
#include <cstdint>
#include <optional>
#include <string>

#include "sfx/command_line.h"

namespace kro::sfx {

class sfx_translator_intf;

struct error_box_text {
  std::wstring title;
  std::wstring body;
};

// True when the process command line asks for no box ("silent" or
// "verysilent", keys compared case-insensitively).
bool error_box_silenced(const command_line& process_cmd);

// Language of the box: the switch "lang-id" when it is a decimal number that
// the language table lists, 1033 for any other value; without the switch the
// user's default language unchanged.
uint32_t error_box_language(const command_line& process_cmd, uint32_t user_default);

// Title and body: the message (an identifier or a ready text) or, for a
// download failure, "@Sfx_Download_Fail" with the download code, followed by
// the error code and the log file path.
error_box_text make_error_box_text(sfx_translator_intf& translator, int32_t code,
                                   const std::wstring& log_path, const std::wstring& message,
                                   std::optional<int32_t> download_code = {});

// Shows the box (MB_ICONERROR | MB_SETFOREGROUND) and waits until it is
// closed; shows nothing when the process command line silences it.
void show_error_box(int32_t code, const std::wstring& log_path, const std::wstring& message,
                    std::optional<int32_t> download_code = {});

}  // namespace kro::sfx
