#include "repository/conditions/conditions.h"

#include <limits>
#include <utility>

#include "exceptions/exceptions.h"
#include "sfx/error_codes.h"
#include "text/text.h"

namespace kro::repository::conditions {
namespace {

namespace osv = environment::os_version;

// The whole text as a base-10 signed 64-bit integer: optional leading
// whitespace, an optional sign, then digits up to the end. Anything else, and
// a value outside the 64-bit range, is no number.
std::optional<int64_t> parse_int64(const char* text) {
  const char* p = text;
  while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = *p++ == '-';
  if (*p < '0' || *p > '9') return std::nullopt;
  const uint64_t limit = negative ? uint64_t{1} << 63 : (uint64_t{1} << 63) - 1;
  uint64_t magnitude = 0;
  for (; *p >= '0' && *p <= '9'; ++p) {
    const unsigned digit = static_cast<unsigned>(*p - '0');
    if (magnitude > (limit - digit) / 10) return std::nullopt;
    magnitude = magnitude * 10 + digit;
  }
  if (*p != '\0') return std::nullopt;
  if (!negative) return static_cast<int64_t>(magnitude);
  return magnitude == (uint64_t{1} << 63) ? std::numeric_limits<int64_t>::min()
                                          : -static_cast<int64_t>(magnitude);
}

std::optional<int32_t> read_number(const pugi::xml_node& element, const char* name) {
  const pugi::xml_attribute attribute = element.attribute(name);
  if (!attribute) return std::nullopt;
  const std::optional<int64_t> value = parse_int64(attribute.value());
  if (!value) return std::nullopt;
  if (*value < std::numeric_limits<int32_t>::min() || *value > std::numeric_limits<int32_t>::max()) {
    throw narrowing_error();
  }
  return static_cast<int32_t>(*value);
}

std::optional<std::wstring> read_text(const pugi::xml_node& element, const char* name) {
  const pugi::xml_attribute attribute = element.attribute(name);
  if (!attribute) return std::nullopt;
  return text::from_utf8(attribute.value());
}

void write_number(pugi::xml_node element, const char* name, const std::optional<int32_t>& value) {
  if (value) element.append_attribute(name).set_value(static_cast<long long>(*value));
}

void write_text(pugi::xml_node element, const char* name, const std::optional<std::wstring>& value) {
  if (value) element.append_attribute(name).set_value(text::to_utf8(*value).c_str());
}

// The system's version components, compared as signed 32-bit values.
struct version {
  int32_t major;
  int32_t minor;
  int32_t sp;
  int32_t build;
};

version system_version(const basic_context& context) {
  const osv::facts& f = context.facts();
  return {static_cast<int32_t>(f.major), static_cast<int32_t>(f.minor), static_cast<int32_t>(f.sp_major),
          static_cast<int32_t>(f.build)};
}

const wchar_t* system_platform_name(const osv::facts& f) {
  switch (f.platform) {
    case osv::platform_type::x86:
      return L"x86";
    case osv::platform_type::x64:
      return L"x64";
    case osv::platform_type::arm64:
      return L"arm64";
    default:
      throw exceptions::error(codes::none, "The executable is running under unknown OS platform!");
  }
}

const wchar_t* system_type_name(const osv::facts& f) {
  switch (f.product_type) {
    case osv::product_workstation:
      return L"workstation";
    case osv::product_domain_controller:
    case osv::product_server:
      return L"server";
    default:
      throw exceptions::error(codes::none, "The executable is running under unknown OS type!");
  }
}

}  // namespace

// ---- basic_condition ------------------------------------------------------------

void basic_condition::load_name(const pugi::xml_node& element) {
  if (element) {
    m_name = text::from_utf8(element.name());
  } else {
    m_name.reset();
  }
}

void basic_condition::store_name(pugi::xml_node element) const {
  if (m_name) element.set_name(text::to_utf8(*m_name).c_str());
}

// ---- containers -------------------------------------------------------------------

void condition_container::load(const pugi::xml_node& element, const basic_context& context) {
  load_name(element);
  m_children.clear();
  // Only the nodes the parser kept count: with the default options comments,
  // processing instructions and blank text are dropped, while any other text
  // or CDATA node has an empty name and is no condition.
  for (const pugi::xml_node& child : element.children()) {
    const std::wstring name = text::from_utf8(child.name());
    std::unique_ptr<basic_condition> condition = context.factory().create(name);
    if (!condition) {
      throw exceptions::error(codes::none, L"Unable to parse element '%ls' as a condition!", name.c_str());
    }
    condition->load(child, context);
    m_children.push_back(std::move(condition));
  }
}

void condition_container::store(pugi::xml_node element) const {
  store_name(element);
  for (const auto& child : m_children) child->store(element.append_child(pugi::node_element));
}

void condition_container::require_children(const char* kind, bool acceptable) const {
  if (!acceptable) {
    throw exceptions::error(codes::invalid_argument, "%s: The XML element is missing required attributes!",
                            kind);
  }
}

bool condition_root::evaluate(const basic_context& context) const {
  for (const auto& child : children()) {
    if (!child->evaluate(context)) return false;
  }
  return true;
}

bool condition_and::evaluate(const basic_context& context) const {
  require_children("and", !children().empty());
  for (const auto& child : children()) {
    if (!child->evaluate(context)) return false;
  }
  return true;
}

bool condition_or::evaluate(const basic_context& context) const {
  require_children("or", !children().empty());
  for (const auto& child : children()) {
    if (child->evaluate(context)) return true;
  }
  return false;
}

bool condition_not::evaluate(const basic_context& context) const {
  require_children("not", children().size() == 1);
  return !children().front()->evaluate(context);
}

// ---- boolean ----------------------------------------------------------------------

void condition_boolean::load(const pugi::xml_node& element, const basic_context&) {
  load_name(element);
  m_value = false;
  m_set = false;
  const pugi::xml_attribute attribute = element.attribute("value");
  if (!attribute) return;
  const std::string_view value = attribute.value();
  if (value == "true" || value == "false") {
    m_value = value == "true";
    m_set = true;
  }
}

void condition_boolean::store(pugi::xml_node element) const {
  store_name(element);
  if (m_set) element.append_attribute("value").set_value(m_value ? "true" : "false");
}

bool condition_boolean::evaluate(const basic_context&) const {
  if (!m_set) {
    throw exceptions::error(codes::invalid_argument, "The assertion failed for expression: %s", "m_value");
  }
  return m_value;
}

// ---- os ---------------------------------------------------------------------------

void condition_basic_os::load(const pugi::xml_node& element, const basic_context&) {
  load_name(element);
  m_major = read_number(element, "major");
  m_minor = read_number(element, "minor");
  m_sp = read_number(element, "sp");
  m_build = read_number(element, "build");
}

void condition_basic_os::store(pugi::xml_node element) const {
  store_name(element);
  write_number(element, "major", m_major);
  write_number(element, "minor", m_minor);
  write_number(element, "sp", m_sp);
  write_number(element, "build", m_build);
}

bool condition_basic_os::test_ordered(const basic_context& context, bool at_least) const {
  const version system = system_version(context);
  const std::pair<const std::optional<int32_t>&, int32_t> ordered[] = {
      {m_major, system.major}, {m_minor, system.minor}, {m_sp, system.sp}};
  for (const auto& [given, actual] : ordered) {
    if (!given || actual == *given) continue;
    return (actual > *given) == at_least;
  }
  if (!m_build) return true;
  return at_least ? system.build >= *m_build : system.build <= *m_build;
}

void condition_os::load(const pugi::xml_node& element, const basic_context& context) {
  condition_basic_os::load(element, context);
  m_platform = read_text(element, "platform");
  m_type = read_text(element, "type");
}

void condition_os::store(pugi::xml_node element) const {
  condition_basic_os::store(element);
  write_text(element, "platform", m_platform);
  write_text(element, "type", m_type);
}

bool condition_os::evaluate(const basic_context& context) const {
  return test_version(context) && test_platform(context) && test_type(context);
}

bool condition_os::test_version(const basic_context& context) const {
  const version system = system_version(context);
  return (!major() || *major() == system.major) && (!minor() || *minor() == system.minor) &&
         (!sp() || *sp() == system.sp) && (!build() || *build() == system.build);
}

bool condition_os::test_platform(const basic_context& context) const {
  if (!m_platform) return true;
  return text::equals_nocase(*m_platform, system_platform_name(context.facts()));
}

bool condition_os::test_type(const basic_context& context) const {
  if (!m_type) return true;
  return text::equals_nocase(*m_type, system_type_name(context.facts()));
}

bool condition_os_at_least::evaluate(const basic_context& context) const { return test_version(context); }

bool condition_os_at_least::test_version(const basic_context& context) const {
  return test_ordered(context, true);
}

bool condition_os_at_most::evaluate(const basic_context& context) const { return test_version(context); }

bool condition_os_at_most::test_version(const basic_context& context) const {
  return test_ordered(context, false);
}

// ---- factory and context ------------------------------------------------------------

void basic_factory::add(const std::wstring& name, creator create) { m_creators[name] = std::move(create); }

std::unique_ptr<basic_condition> basic_factory::create(std::wstring_view name) const {
  const auto found = m_creators.find(name);
  if (found == m_creators.end()) return nullptr;
  return found->second();
}

standard_factory::standard_factory() {
  add_kind<condition_not>(L"not");
  add_kind<condition_and>(L"and");
  add_kind<condition_or>(L"or");
  add_kind<condition_boolean>(L"boolean");
  add_kind<condition_os>(L"os");
  add_kind<condition_os_at_least>(L"os-at-least");
  add_kind<condition_os_at_most>(L"os-at-most");
}

basic_context::basic_context(std::shared_ptr<const basic_factory> factory,
                             environment::os_version::facts facts)
    : m_factory(std::move(factory)), m_facts(std::move(facts)) {}

std::unique_ptr<basic_context> create_standard_context(const environment::os_version::facts& facts) {
  return std::make_unique<basic_context>(std::make_shared<standard_factory>(), facts);
}

bool evaluate_conditions(const pugi::xml_node& conditions, const basic_context& context) {
  condition_root root;
  root.load(conditions, context);
  return root.evaluate(context);
}

}  // namespace kro::repository::conditions
