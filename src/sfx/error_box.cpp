#include "sfx/error_box.h"

#include <stdexcept>

#include "sfx/languages.h"
#include "sfx/sfx_translator.h"
#include "text/text.h"

namespace kro::sfx {

bool error_box_silenced(const command_line& process_cmd) {
  return process_cmd.has(L"silent") || process_cmd.has(L"verysilent");
}

uint32_t error_box_language(const command_line& process_cmd, uint32_t user_default) {
  if (!process_cmd.has(L"lang-id")) return user_default;
  command_line copy = process_cmd;
  try {
    const int value = std::stoi(copy.get(L"lang-id"));
    if (value >= 0 && languages::is_listed(static_cast<uint32_t>(value))) return static_cast<uint32_t>(value);
  } catch (const std::logic_error&) {
    // not a decimal number in range: the default entry
  }
  return languages::default_lcid;
}

error_box_text make_error_box_text(sfx_translator_intf& translator, int32_t code,
                                   const std::wstring& log_path, const std::wstring& message,
                                   std::optional<int32_t> download_code) {
  error_box_text box;
  box.title = translator.get_text(L"@Sfx_MsgBoxTitle");
  box.body = download_code ? translator.format(L"@Sfx_Download_Fail", {std::to_wstring(*download_code)})
                           : translator.format(message, {});
  const std::wstring label_code = translator.get_text(L"@Sfx_ErrCode");
  const std::wstring label_log = translator.get_text(L"@Sfx_LogInfo");
  box.body += text::format(L"\n\n%ls:'%d'.\n\n%ls:\n'%ls'.", label_code.c_str(), static_cast<int>(code),
                           label_log.c_str(), log_path.c_str());
  return box;
}

}  // namespace kro::sfx
