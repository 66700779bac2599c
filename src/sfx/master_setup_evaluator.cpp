#include "sfx/master_setup_evaluator.h"

#include "sfx/command_line.h"
#include "text/text.h"

namespace kro::sfx {
namespace {

constexpr const char* default_executable = "morrow.exe";

class evaluator final : public master_setup_evaluator_intf, private sfx_data_holder {
 public:
  explicit evaluator(sfx_data& data) : sfx_data_holder(data) {}

  void evaluate_file(const std::wstring& file_name, const pugi::xml_node& setup_commands,
                     const std::wstring& folder) override {
    std::string executable = setup_commands.attribute("executable").as_string(default_executable);
    std::string arguments = setup_commands.attribute("arguments").as_string();
    const pugi::xml_node overrides = setup_commands.child("sfx");
    if (const pugi::xml_attribute a = overrides.attribute("executable")) executable = a.value();
    if (const pugi::xml_attribute a = overrides.attribute("arguments")) arguments = a.value();

    const std::wstring name = text::from_utf8(executable);
    if (!text::equals_nocase(name, file_name)) return;

    std::wstring path = folder;
    if (path.empty() || (path.back() != L'\\' && path.back() != L'/')) path += L'\\';
    path += name;
    // The run splits this line into tokens again before it starts the
    // process, so a path with blanks (a profile folder, say) is quoted to
    // stay one token.
    m_command_line = command_line::quote(path);
    if (!arguments.empty()) m_command_line += L' ' + text::from_utf8(arguments);
  }

  std::wstring get_command_line() const override { return m_command_line; }

 private:
  std::wstring m_command_line;
  // A document of the component's own for elements it builds; it stays
  // empty.
  pugi::xml_document m_document;
};

}  // namespace

std::shared_ptr<master_setup_evaluator_intf> master_setup_evaluator::factory::create(sfx_data& data) {
  return std::make_shared<evaluator>(data);
}

}  // namespace kro::sfx
