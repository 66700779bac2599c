#pragma once
// Command lines taken apart into switches and arguments, and put together
// again.
//
// Tokens. White space (space, tab, CR, LF) outside double quotes separates
// tokens; inside quotes it is ordinary. Two double quotes in a row give one
// literal double quote (inside or outside quotes); a single double quote only
// toggles quoting. A token exists only once a character is appended to it, so
// "" gives a literal quote and x"y z"w is the single token xy zw.
//
// Switches. A token starting with "/" (or with "--") is a switch: the key runs
// up to the earlier of the first "=" and the first ":", the value is the rest
// (empty without a separator). /lang-id=1031, /lang-id:1031 and
// --lang-id=1031 are the same switch. Keys compare without regard to case and
// only when their lengths are equal; a later duplicate replaces the value of
// the earlier one, which keeps its place and spelling. Every other token
// (including one starting with a single "-") is an argument.
//
// Rendering writes the program (when asked), then each switch as
// "/key" or "/key:value", then each argument, separated by one space. Each
// token has its double quotes doubled and is wrapped in double quotes when it
// holds white space, so rendering and parsing give back the same switches and
// arguments.
//
// A command_line has no lock: it belongs to one thread.
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kro::sfx {

class command_line {
 public:
  using switch_list = std::vector<std::pair<std::wstring, std::wstring>>;
  using argument_list = std::vector<std::wstring>;

  static std::vector<std::wstring> tokenize(std::wstring_view text);

  // Clears everything, then reads the text; with starts_with_program the
  // first token becomes the program. A null text reads as an empty line.
  void parse(std::wstring_view text, bool starts_with_program);
  void parse(const wchar_t* text, bool starts_with_program);

  // Key lookups. A null key raises std::invalid_argument
  // ("nocase::compare right nullparam").
  bool has(std::wstring_view key) const;
  bool has(const wchar_t* key) const;
  // The value of the switch; an absent switch is first appended with an
  // empty value. The reference lasts until the next change of the switches.
  std::wstring& get(std::wstring_view key);
  std::wstring& get(const wchar_t* key);
  // Replaces the value of an existing switch (which keeps its place) or
  // appends the pair. A null value counts as empty.
  void add(std::wstring_view key, std::wstring_view value);
  void add(const wchar_t* key, const wchar_t* value);

  std::wstring to_string(bool include_program) const;

  const std::optional<std::wstring>& program() const { return m_program; }
  void set_program(std::wstring program) { m_program = std::move(program); }
  const switch_list& switches() const { return m_switches; }
  const argument_list& arguments() const { return m_arguments; }

  // One token as rendering writes it: quotes doubled, wrapped in quotes when
  // it holds white space.
  static std::wstring quote(std::wstring_view token);

 private:
  switch_list::iterator find(std::wstring_view key);
  switch_list::const_iterator find(std::wstring_view key) const;

  std::optional<std::wstring> m_program;
  switch_list m_switches;
  argument_list m_arguments;
};

}  // namespace kro::sfx
