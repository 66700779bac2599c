#pragma once
// The run's named values: a thread-safe dictionary from wide-string keys to
// wide-string values through which components exchange settings.
//
// Every value is stored as text: booleans as "1" or "0", integers as signed
// decimal text ("-5", "0", "1031"). The setters insert only: once a key holds
// a value it keeps it, so the first writer of a key wins for the whole run.
//
// Each operation holds the store's recursive mutex for its whole duration. A
// caller that needs several operations to appear as one holds the lock of the
// concrete store across them (value_holder is Lockable, so std::scoped_lock
// and std::unique_lock work on it); the store's own operations may be called
// while holding it.
//
// Keys and set_string values are wide C strings; a null one raises
// std::invalid_argument. A null default of get_string reads as empty.
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace kro::sfx {

class value_holder_intf {
 public:
  virtual ~value_holder_intf() = default;
  virtual void set_string(const wchar_t* key, const std::wstring& value) = 0;
  virtual void set_string(const wchar_t* key, const wchar_t* value) = 0;
  virtual void set_bool(const wchar_t* key, bool value) = 0;
  virtual void set_int(const wchar_t* key, int32_t value) = 0;
  // The stored value, or the default when the key is absent.
  virtual std::wstring get_string(const wchar_t* key, const wchar_t* default_value) const = 0;
  // True only for a stored "1"; any other stored text is false.
  virtual bool get_bool(const wchar_t* key, bool default_value) const = 0;
  // The stored value read as a base-10 signed 32-bit number: leading white
  // space and a sign are allowed and trailing text is ignored. Raises
  // std::invalid_argument ("invalid stoi argument") when no digits follow,
  // std::out_of_range ("stoi argument out of range") outside the 32-bit range.
  virtual int32_t get_int(const wchar_t* key, int32_t default_value) const = 0;
};

class value_holder : public value_holder_intf {
 public:
  class factory {
   public:
    virtual ~factory() = default;
    // A new, empty store.
    virtual std::shared_ptr<value_holder_intf> create();
  };

  void set_string(const wchar_t* key, const std::wstring& value) override;
  void set_string(const wchar_t* key, const wchar_t* value) override;
  void set_bool(const wchar_t* key, bool value) override;
  void set_int(const wchar_t* key, int32_t value) override;
  std::wstring get_string(const wchar_t* key, const wchar_t* default_value) const override;
  bool get_bool(const wchar_t* key, bool default_value) const override;
  int32_t get_int(const wchar_t* key, int32_t default_value) const override;

  // The store's recursive mutex, for callers that span several operations.
  void lock() const { m_mutex.lock(); }
  bool try_lock() const { return m_mutex.try_lock(); }
  void unlock() const { m_mutex.unlock(); }

 private:
  void insert(const wchar_t* key, std::wstring value);

  mutable std::recursive_mutex m_mutex;
  std::map<std::wstring, std::wstring> m_values;
};

// Reads text as std::stoi does in base 10, with the messages above; exposed
// for callers that parse numbers given by the user.
int32_t parse_int32(const std::wstring& text);

}  // namespace kro::sfx
