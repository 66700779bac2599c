#pragma once
// Setup preparation: turns a package into a ready-to-run product setup in
// the temporary folder and returns the setup master's command line.
//
// In order: sfx-info.xml is loaded (info_parser) and published as named
// values (base-url, silent, nosplash, clear) and to the analytics report;
// the splash is asked for unless the run is silent; the first product is
// prepared in the working folder <tmp-path>\common: online, its module DLL
// is fetched from <base-url>/dll/<product>/x86/morrow_mod.dll.lzma; its
// product-info.xml comes from <base-url>/defs/<product>/<channel>.xml.lzma,
// or from the payload file "<product>/<channel>.xml" offline or when the
// download fails, signature checked; the module DLL (downloaded, or
// morrow_mod.dll of the payload) may move the product to another channel,
// whose product-info.xml is then taken the same way; the document is saved
// as <common>\product-info.xml; every applicable setup file is placed from
// the payload (by SHA-256, then by name) or, online, downloaded; EDAT files
// follow. The result is the setup master's path (quoted when it holds a
// blank), then a blank and its arguments when there are any; empty when no
// setup file is the setup master.
//
// Setup file names become paths below the working folder: a name that is
// not a safe relative name (files/safe_name.h) ends the preparation with
// code 123 before anything is written for it.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "root/verify_signature.h"
#include "sfx/master_setup_evaluator.h"
#include "sfx/product_info_parser.h"
#include "sfx/sfx_data.h"
#include "sfx/sfx_downloader.h"
#include "sfx/sfx_edat.h"
#include "systools/os_version.h"

namespace kro::sfx {

// The working folder's name inside the temporary folder: the setup files go
// there, and the setup master runs there.
inline constexpr const wchar_t* working_folder_name = L"common";

// Called with the product's display name when a splash window is wanted.
using splash_callback = std::function<void(const std::wstring& product_name)>;
// Called with the share of the preparation done, 0..100.
using progress_callback = std::function<void(uint8_t percent)>;

class prepare_setup_intf {
 public:
  virtual std::wstring prepare(const splash_callback& splash, const progress_callback& progress) = 0;
  virtual ~prepare_setup_intf() = default;
};

class info_parser_intf;

class prepare_setup : public prepare_setup_intf,
                      private sfx_data_holder,
                      private sfx_downloader::factory,
                      private product_info_parser::factory,
                      private master_setup_evaluator::factory,
                      private verify_signature::factory,
                      private sfx_edat::factory {
 public:
  // Conditions and the ARM64 check follow the running system, or the given
  // one (a system this machine is not, such as an ARM64 host).
  explicit prepare_setup(sfx_data& data);
  prepare_setup(sfx_data& data, const environment::os_version::facts& system);
  ~prepare_setup() override;

  std::wstring prepare(const splash_callback& splash, const progress_callback& progress) override;

  class factory {
   public:
    virtual ~factory() = default;
    virtual std::unique_ptr<prepare_setup_intf> create(sfx_data& data);
  };

 private:
  struct product_state;

  void publish_configuration(info_parser_intf& info);
  std::shared_ptr<product_info_parser_intf> obtain_product_info(const product_state& product);
  void obtain_module_dll(const product_state& product, const std::wstring& folder);
  void check_channel(product_state& product, const std::wstring& folder);
  void place_setup_files(const product_state& product, const std::wstring& folder,
                         const progress_callback& progress);
  sfx_downloader_intf& downloader();
  std::shared_ptr<product_info_parser_intf> new_parser();

  std::optional<environment::os_version::facts> m_system;
  std::shared_ptr<sfx_downloader_intf> m_downloader;
  std::shared_ptr<master_setup_evaluator_intf> m_evaluator;
  bool m_offline = false;
  bool m_module_downloaded = false;
};

}  // namespace kro::sfx
