#pragma once
// Command-line options of sfxtool: "--name value", "--name=value", flags and
// positional arguments. A usage error raises usage_error, which the tool
// reports with the command's help and exit code 2.
#include <map>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

namespace kro::tool {

class usage_error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class options {
 public:
  // valued: names that take a value; flags: names without one; repeatable
  // valued names collect every occurrence.
  options(const std::vector<std::string>& words, const std::set<std::string>& valued,
          const std::set<std::string>& flags, const std::set<std::string>& repeatable = {});

  bool flag(const std::string& name) const { return m_flags.count(name) != 0; }
  std::optional<std::string> value(const std::string& name) const;
  std::string required(const std::string& name) const;
  std::vector<std::string> all(const std::string& name) const;
  const std::vector<std::string>& positional() const { return m_positional; }
  bool help() const { return m_help; }

 private:
  std::map<std::string, std::vector<std::string>> m_values;
  std::set<std::string> m_flags;
  std::vector<std::string> m_positional;
  bool m_help = false;
};

}  // namespace kro::tool
