#include "tool/options.h"

namespace kro::tool {

options::options(const std::vector<std::string>& words, const std::set<std::string>& valued,
                 const std::set<std::string>& flags, const std::set<std::string>& repeatable) {
  bool only_positional = false;
  for (size_t i = 0; i < words.size(); ++i) {
    std::string a = words[i];
    // A one-letter option may also be written with one dash ("-o FILE").
    if (!only_positional && a.size() == 2 && a[0] == '-' && a[1] != '-' && a[1] != 'h') a = "-" + a;
    if (only_positional || a.size() < 3 || a.compare(0, 2, "--") != 0) {
      if (a == "--") {
        only_positional = true;
        continue;
      }
      if (a == "-h") {
        m_help = true;
        continue;
      }
      m_positional.push_back(a);
      continue;
    }
    std::string name = a.substr(2);
    std::optional<std::string> inline_value;
    if (const auto eq = name.find('='); eq != std::string::npos) {
      inline_value = name.substr(eq + 1);
      name.resize(eq);
    }
    if (name == "help") {
      m_help = true;
    } else if (flags.count(name)) {
      if (inline_value) throw usage_error("option --" + name + " takes no value");
      m_flags.insert(name);
    } else if (valued.count(name) || repeatable.count(name)) {
      std::string v;
      if (inline_value) {
        v = *inline_value;
      } else if (i + 1 < words.size()) {
        v = words[++i];
      } else {
        throw usage_error("option --" + name + " needs a value");
      }
      auto& slot = m_values[name];
      if (!slot.empty() && !repeatable.count(name)) throw usage_error("option --" + name + " given twice");
      slot.push_back(v);
    } else {
      throw usage_error("unknown option --" + name);
    }
  }
}

std::optional<std::string> options::value(const std::string& name) const {
  const auto it = m_values.find(name);
  if (it == m_values.end() || it->second.empty()) return std::nullopt;
  return it->second.back();
}

std::string options::required(const std::string& name) const {
  auto v = value(name);
  if (!v) throw usage_error("option --" + name + " is required");
  return *v;
}

std::vector<std::string> options::all(const std::string& name) const {
  const auto it = m_values.find(name);
  return it == m_values.end() ? std::vector<std::string>{} : it->second;
}

}  // namespace kro::tool
