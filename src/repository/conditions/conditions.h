#pragma once
// Condition trees: on which Windows systems an element of a product document
// applies. A `conditions` element is read into a tree of condition objects
// and evaluated against the facts of a system.
//
// Grammar (element names match exactly, case included):
//
//   conditions      root: every child must hold (no child: holds)
//   and             one or more children, every child holds
//   or              one or more children, at least one child holds
//   not             exactly one child, which does not hold
//   boolean         @value "true" or "false"
//   os              optional @major @minor @sp @build @platform @type:
//                   every given attribute matches the system
//   os-at-least     optional @major @minor @sp @build: the system's version
//                   is at least the given one (most significant first)
//   os-at-most      the same, at most
//
// Each of the seven kinds also exists negated under "not-" + its name
// ("not-os", "not-not", ...), holding exactly when the base kind does not.
//
// Numbers (@major @minor @sp @build) count as given only when the whole text
// is a base-10 signed 64-bit integer, optionally preceded by whitespace and a
// sign; anything else leaves the component absent. A valid 64-bit number
// outside the signed 32-bit range raises `narrowing_error` while loading.
// @platform ("x86", "x64", "arm64") and @type ("workstation", "server") count
// as given whenever the attribute exists and compare case-insensitively.
//
// Errors:
//   loading     a child node that is no registered condition (text nodes
//               included): kro::exceptions::error, code -1,
//               "Unable to parse element '<name>' as a condition!"
//   evaluating  and/or without children, not without exactly one child
//               (negated forms too): code 87,
//               "<and|or|not>: The XML element is missing required attributes!"
//               boolean without a valid value: code 87,
//               "The assertion failed for expression: m_value"
//               os with @platform on a system other than x86/x64/arm64, or
//               with @type on a product type other than 1..3: code -1.
// Errors of empty containers appear only when the container is evaluated, so
// a root whose earlier child is false never notices an invalid later child.
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <pugixml.hpp>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "systools/os_version.h"

namespace kro::repository::conditions {

class basic_context;

// Raised while loading for a number that is valid as 64-bit but not as
// 32-bit. Deliberately a standard exception, outside the program's tree.
class narrowing_error : public std::range_error {
 public:
  narrowing_error() : std::range_error("narrowing_error") {}
};

class basic_condition {
 public:
  basic_condition() = default;
  basic_condition(const basic_condition&) = delete;
  basic_condition& operator=(const basic_condition&) = delete;
  virtual ~basic_condition() = default;

  // Reads the condition from `element`, replacing whatever was loaded before.
  virtual void load(const pugi::xml_node& element, const basic_context& context) = 0;
  // Writes the condition into `element`: its name (when known), its
  // attributes or its children.
  virtual void store(pugi::xml_node element) const = 0;
  virtual bool evaluate(const basic_context& context) const = 0;

  // The name of the element the condition was loaded from.
  const std::optional<std::wstring>& name() const { return m_name; }

 protected:
  void load_name(const pugi::xml_node& element);
  void store_name(pugi::xml_node element) const;

 private:
  std::optional<std::wstring> m_name;
};

class condition_container : public basic_condition {
 public:
  void load(const pugi::xml_node& element, const basic_context& context) override;
  void store(pugi::xml_node element) const override;

  const std::vector<std::unique_ptr<basic_condition>>& children() const { return m_children; }

 protected:
  // Raises code 87 "<kind>: The XML element is missing required attributes!"
  // unless the number of children is acceptable.
  void require_children(const char* kind, bool acceptable) const;

 private:
  std::vector<std::unique_ptr<basic_condition>> m_children;
};

class condition_root : public condition_container {
 public:
  bool evaluate(const basic_context& context) const override;
};

class condition_and : public condition_container {
 public:
  bool evaluate(const basic_context& context) const override;
};

class condition_or : public condition_container {
 public:
  bool evaluate(const basic_context& context) const override;
};

class condition_not : public condition_container {
 public:
  bool evaluate(const basic_context& context) const override;
};

class condition_boolean : public basic_condition {
 public:
  void load(const pugi::xml_node& element, const basic_context& context) override;
  void store(pugi::xml_node element) const override;
  bool evaluate(const basic_context& context) const override;

  bool value() const { return m_value; }
  bool is_set() const { return m_set; }

 private:
  bool m_value = false;
  bool m_set = false;
};

class condition_basic_os : public basic_condition {
 public:
  void load(const pugi::xml_node& element, const basic_context& context) override;
  void store(pugi::xml_node element) const override;

  virtual bool test_version(const basic_context& context) const = 0;

  const std::optional<int32_t>& major() const { return m_major; }
  const std::optional<int32_t>& minor() const { return m_minor; }
  const std::optional<int32_t>& sp() const { return m_sp; }
  const std::optional<int32_t>& build() const { return m_build; }

 protected:
  // The ordered comparison of os-at-least (`at_least`) and os-at-most: major,
  // minor and service pack decide at the first that differs, then the build
  // decides; components that are not given are skipped, and with all given
  // ones equal the test holds.
  bool test_ordered(const basic_context& context, bool at_least) const;

 private:
  std::optional<int32_t> m_major;
  std::optional<int32_t> m_minor;
  std::optional<int32_t> m_sp;
  std::optional<int32_t> m_build;
};

class condition_os : public condition_basic_os {
 public:
  void load(const pugi::xml_node& element, const basic_context& context) override;
  void store(pugi::xml_node element) const override;
  // Version, platform and type test, in this order, stopping at the first
  // that fails.
  bool evaluate(const basic_context& context) const override;

  // Every given component equals the system's.
  bool test_version(const basic_context& context) const override;
  virtual bool test_platform(const basic_context& context) const;
  virtual bool test_type(const basic_context& context) const;

  const std::optional<std::wstring>& platform() const { return m_platform; }
  const std::optional<std::wstring>& type() const { return m_type; }

 private:
  std::optional<std::wstring> m_platform;
  std::optional<std::wstring> m_type;
};

class condition_os_at_least : public condition_basic_os {
 public:
  bool evaluate(const basic_context& context) const override;
  bool test_version(const basic_context& context) const override;
};

class condition_os_at_most : public condition_basic_os {
 public:
  bool evaluate(const basic_context& context) const override;
  bool test_version(const basic_context& context) const override;
};

// Element name -> creator of a new condition of that kind.
class basic_factory {
 public:
  using creator = std::function<std::unique_ptr<basic_condition>()>;

  // The negated form of a kind: holds exactly when T does not. T's own checks
  // (and their errors) run first.
  template <class T>
  class negate_condition : public T {
   public:
    bool evaluate(const basic_context& context) const override { return !T::evaluate(context); }
  };

  virtual ~basic_factory() = default;

  void add(const std::wstring& name, creator create);
  // Registers T under `name` and its negation under "not-" + `name`.
  template <class T>
  void add_kind(const std::wstring& name) {
    add(name, [] { return std::unique_ptr<basic_condition>(new T); });
    add(L"not-" + name, [] { return std::unique_ptr<basic_condition>(new negate_condition<T>); });
  }

  // A new condition for the element name; empty when the name is unknown.
  std::unique_ptr<basic_condition> create(std::wstring_view name) const;

 private:
  std::map<std::wstring, creator, std::less<>> m_creators;
};

// The 14 element names of the grammar above.
class standard_factory : public basic_factory {
 public:
  standard_factory();
};

// What loading and evaluating read: the factory and the facts of the system
// the tree is evaluated for.
class basic_context {
 public:
  basic_context(std::shared_ptr<const basic_factory> factory, environment::os_version::facts facts);

  const basic_factory& factory() const { return *m_factory; }
  const environment::os_version::facts& facts() const { return m_facts; }

 private:
  std::shared_ptr<const basic_factory> m_factory;
  environment::os_version::facts m_facts;
};

// A context with the standard factory.
std::unique_ptr<basic_context> create_standard_context(const environment::os_version::facts& facts);

// Builds the tree of a `conditions` element (a null element gives an empty
// tree) and evaluates it.
bool evaluate_conditions(const pugi::xml_node& conditions, const basic_context& context);

}  // namespace kro::repository::conditions
