#pragma once
// DSA check of the executable, of XML documents and of downloaded files.
// Every operation answers true only for a valid signature and logs its result.
#include <cstddef>
#include <memory>
#include <string>

namespace kro::sfx {

class verify_signature_intf {
 public:
  virtual bool verify_handle(void* file_handle) = 0;
  virtual bool verify_block(const void* data, size_t size) = 0;
  virtual bool verify_file(const std::wstring& path) = 0;
  virtual ~verify_signature_intf() = default;
};

class verify_signature {
 public:
  class factory {
   public:
    virtual ~factory() = default;
    virtual std::shared_ptr<verify_signature_intf> create();
  };
};

}  // namespace kro::sfx
