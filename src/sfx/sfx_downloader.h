#pragma once
// The repository downloader: product-info.xml, setup files and the module
// DLL fetched from the product repository named by the value "base-url".
// Every file there is LZMA-packed and signed; a setup file lies under
//   <base-url>/universe/<h[0..4)>/<h[4..8)>/<h[8..12)>/<h>.lzma
// for its SHA-256 text h. Each operation returns normally only on success
// and otherwise throws download_file_fail, download_file_invalid_signature
// or kro::exceptions::error.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "sfx/product_info_parser.h"
#include "sfx/sfx_data.h"

namespace kro::sfx {

// (bytes of this read, content length of the response)
using download_progress = std::function<void(uint32_t bytes, int64_t content_length)>;

class sfx_downloader_intf {
 public:
  // Fetches, checks and parses product-info.xml into a new parser.
  virtual void download_product_info(std::shared_ptr<product_info_parser_intf>& parser,
                                     const std::wstring& url) = 0;
  // Fetches the setup file of this hash to destination and compares the
  // unpacked file's SHA-256 with the expected hash.
  virtual void download_setup_file(const std::wstring& hash, const std::wstring& destination,
                                   const std::wstring& expected_hash) = 0;
  virtual void download_file(const std::wstring& url, const std::wstring& destination, uint16_t attempts,
                             bool verify_unpacked, bool log_failures) = 0;
  virtual void set_progress_callback(const download_progress& callback) = 0;
  virtual ~sfx_downloader_intf() = default;
};

class sfx_downloader {
 public:
  class factory {
   public:
    virtual ~factory() = default;
    virtual std::shared_ptr<sfx_downloader_intf> create(sfx_data& data);
  };
};

}  // namespace kro::sfx
