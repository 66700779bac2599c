#pragma once
// The payload appended to the executable: files found by alias or by the
// text of their SHA-256, unpacked to a file or to memory with their checksum
// checked.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace kro::sfx {

struct sfx_data;

class unpacker_intf {
 public:
  virtual void unpack_to_file(const std::wstring& path) = 0;
  virtual std::vector<uint8_t> unpack_to_memory() = 0;
  virtual ~unpacker_intf() = default;
};

class payload_intf {
 public:
  virtual std::shared_ptr<unpacker_intf> find_by_hash(const std::wstring& sha256_text) = 0;
  virtual std::shared_ptr<unpacker_intf> find_by_alias(const std::wstring& alias) = 0;
  virtual std::vector<std::wstring> aliases() = 0;
  virtual ~payload_intf() = default;
};

class payload {
 public:
  class factory {
   public:
    virtual ~factory() = default;
    virtual std::unique_ptr<payload_intf> create(const std::wstring& executable_path, sfx_data& data);
  };
};

}  // namespace kro::sfx
