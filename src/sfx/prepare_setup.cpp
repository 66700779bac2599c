#include "sfx/prepare_setup.h"

#include <algorithm>
#include <exception>
#include <optional>
#include <pugixml.hpp>
#include <vector>

#include "exceptions/exceptions.h"
#include "files/directory.h"
#include "files/safe_name.h"
#include "log/logger.h"
#include "sfx/error_codes.h"
#include "sfx/info_parser.h"
#include "sfx/module_dll.h"
#include "sfx/morrow_info.h"
#include "sfx/payload.h"
#include "sfx/sfx_reporting.h"
#include "sfx/value_holder.h"
#include "systools/os_version.h"
#include "text/text.h"

namespace kro::sfx {
namespace {

constexpr const wchar_t* module_name = L"morrow_mod.dll";

}  // namespace

struct prepare_setup::product_state {
  std::wstring name;
  std::wstring channel;
  std::shared_ptr<product_info_parser_intf> info;

  std::wstring url() const { return L"/defs/" + name + L"/" + channel + L".xml.lzma"; }
  std::wstring alias() const { return name + L"/" + channel + L".xml"; }
};

prepare_setup::prepare_setup(sfx_data& data) : sfx_data_holder(data) {}
prepare_setup::prepare_setup(sfx_data& data, const environment::os_version::facts& system)
    : sfx_data_holder(data), m_system(system) {}
prepare_setup::~prepare_setup() = default;

std::unique_ptr<prepare_setup_intf> prepare_setup::factory::create(sfx_data& data) {
  return std::make_unique<prepare_setup>(data);
}

std::shared_ptr<product_info_parser_intf> prepare_setup::new_parser() {
  return m_system ? product_info_parser::factory::create(*m_system) : product_info_parser::factory::create();
}

sfx_downloader_intf& prepare_setup::downloader() {
  if (!m_downloader) m_downloader = sfx_downloader::factory::create(data());
  return *m_downloader;
}

std::wstring prepare_setup::prepare(const splash_callback& splash, const progress_callback& progress) {
  value_holder_intf& values = *data().values;
  const command_line& options = data().cmd;

  // 1-7. Configuration, published for the rest of the run.
  info_parser info(data());
  info.load();
  publish_configuration(info);
  const std::wstring title = info.get_title(values.get_int(L"lang-id", 0));

  // 8. Splash, unless anything asks for silence.
  if (splash && !options.has(L"silent") && !options.has(L"verysilent") && !options.has(L"nosplash") &&
      !values.get_bool(L"silent", false) && !values.get_bool(L"nosplash", false))
    splash(title);

  // 9-10. The first product is the one prepared.
  m_evaluator = master_setup_evaluator::factory::create(data());
  const product_list& products = info.get_products();
  if (products.empty())
    throw kro::exceptions::error(codes::none, "The sfx-info.xml does not contain any product data!");
  product_state product{products.front().first, products.front().second, nullptr};

  // 11. The working folder.
  const std::wstring folder = files::join(values.get_string(L"tmp-path", L""), working_folder_name);
  if (files::is_directory(folder)) {
    log::write(log::info, L"The folder %ls already exists.", folder.c_str());
  } else if (const uint32_t error = files::create_directories(folder)) {
    log::write(log::error, L"Create directory '%ls' fail %u!", folder.c_str(), static_cast<unsigned>(error));
    throw kro::exceptions::error(static_cast<int32_t>(error), "Create directory fail");
  } else {
    log::write(log::info, L"The temp folder '%ls' has been successfully created.", folder.c_str());
  }

  // 12-15. Module DLL, product-info.xml and the channel the DLL confirms.
  if (!m_offline) obtain_module_dll(product, folder);
  data().reporter->add_main_product(product.name, product.channel, true);
  product.info = obtain_product_info(product);
  check_channel(product, folder);
  product.info->save(folder + L"\\product-info.xml");

  // 16. A product without an ARM64 setup master cannot run there.
  const bool arm64 = m_system ? m_system->platform == environment::os_version::platform_type::arm64
                              : environment::os_version::is_arm64();
  if (arm64 && !product.info->get_product().arm64)
    throw kro::exceptions::error(codes::none, "Missing ARM64 morrow.exe, cannot be installed on ARM64");

  // 17-18. Setup files, then EDAT files.
  place_setup_files(product, folder, progress);
  try {
    sfx_edat::factory::create(data())->unpack();
  } catch (const std::exception& e) {
    log::write_exception(log::debug, e, "Unpacking edat fail.");
  }

  // 19.
  return m_evaluator->get_command_line();
}

void prepare_setup::publish_configuration(info_parser_intf& info) {
  value_holder_intf& values = *data().values;
  command_line& options = data().cmd;
  sfx_reporting_intf& report = *data().reporter;

  report.set_product_name(info.get_title(values.get_int(L"lang-id", 0)));
  values.set_string(L"base-url", options.has(L"base-url") ? options.get(L"base-url") : info.get_base_url());
  const std::wstring report_url =
      options.has(L"report-url") ? options.get(L"report-url") : info.get_report_url();
  if (!report_url.empty()) report.set_report_url(report_url);
  // The document can only switch these on: a switch given on the command
  // line stays.
  if (info.is_silent()) values.set_bool(L"silent", true);
  if (info.is_nosplash()) values.set_bool(L"nosplash", true);
  if (info.is_clear()) values.set_bool(L"clear", true);
  if (options.has(L"cookie")) {
    const std::wstring cookie = options.get(L"cookie");
    report.set_aiid(cookie);
    add_text(*data().info, "cookie", cookie);
  }
  m_offline = options.has(L"offline");
  report.set_offline(m_offline);
}

void prepare_setup::obtain_module_dll(const product_state& product, const std::wstring& folder) {
  const std::wstring url = data().values->get_string(L"base-url", L"") + L"/dll/" + product.name + L"/x86/" +
                           module_name + L".lzma";
  const std::wstring target = files::join(folder, module_name);
  // The DLL is optional: without it the channel stays as it is.
  try {
    downloader().download_file(url, target, 1, true, false);
    m_module_downloaded = true;
    log::write(log::debug, L"File '%ls' has been correctly downloaded and stored to '%ls'.", url.c_str(),
               target.c_str());
  } catch (const std::exception& e) {
    log::write_exception(log::debug, e, "File '%s' has not been downloaded.", text::to_utf8(url).c_str());
  }
}

std::shared_ptr<product_info_parser_intf> prepare_setup::obtain_product_info(const product_state& product) {
  std::exception_ptr download_error;
  if (!m_offline) {
    try {
      std::shared_ptr<product_info_parser_intf> parser;
      downloader().download_product_info(parser, data().values->get_string(L"base-url", L"") + product.url());
      if (parser) return parser;
    } catch (const std::exception&) {
      // The payload may carry the document as well.
      download_error = std::current_exception();
    }
  }

  const std::wstring alias = product.alias();
  const std::shared_ptr<unpacker_intf> file = data().payload->find_by_alias(alias);
  if (!file) {
    log::write(log::error, L"The product-info.xml '%ls' has not been found in SFX, fail!", alias.c_str());
    if (download_error) std::rethrow_exception(download_error);
    throw exceptions::missign_sfx_file(codes::none,
                                       "The product-info.xml '%s' has not been found in SFX, fail!",
                                       text::to_utf8(alias).c_str());
  }
  const std::vector<uint8_t> bytes = file->unpack_to_memory();
  const std::shared_ptr<verify_signature_intf> checker = verify_signature::factory::create();
  if (!checker || !checker->verify_block(bytes.data(), bytes.size())) {
    log::write(log::error, L"DSA verification check of file data '%ls' fail!", alias.c_str());
    throw kro::exceptions::error(codes::none, "File is not DSA signed (alias:%s)!",
                                 text::to_utf8(alias).c_str());
  }
  log::write(log::debug, L"The product-info.xml '%ls' has been correctly unpacked from SFX archive.",
             alias.c_str());
  std::shared_ptr<product_info_parser_intf> parser = new_parser();
  parser->parse(bytes);
  return parser;
}

void prepare_setup::check_channel(product_state& product, const std::wstring& folder) {
  std::optional<std::wstring> answer;
  try {
    const std::wstring path = files::join(folder, module_name);
    if (!m_module_downloaded) {
      const std::shared_ptr<unpacker_intf> file = data().payload->find_by_alias(module_name);
      if (!file) {
        log::write(log::debug, "No morrow_mod.dll");
        return;
      }
      file->unpack_to_file(path);
    }
    const std::shared_ptr<verify_signature_intf> checker = verify_signature::factory::create();
    if (!checker || !checker->verify_file(path)) {
      log::write(log::error, L"MOD.dll '%ls' is not DSA signed!", path.c_str());
      return;
    }
    answer = module_dll::ask_channel(path, product.name, product.channel);
  } catch (const std::exception& e) {
    log::write_exception(log::error, e, "Checking MOD end with exception.");
    return;
  }
  if (!answer || text::equals_nocase(*answer, product.channel)) return;

  log::write(log::info, L"MOD.dll moved product '%ls' from channel '%ls' to '%ls'.", product.name.c_str(),
             product.channel.c_str(), answer->c_str());
  product.channel = *answer;
  data().reporter->add_main_product(product.name, product.channel, true);
  product.info = obtain_product_info(product);
}

void prepare_setup::place_setup_files(const product_state& product, const std::wstring& folder,
                                      const progress_callback& progress) {
  const setup_file_list& files = product.info->get_setup_files();
  const pugi::xml_node commands = product.info->get_setup_commands();

  double total = 0;
  for (const setup_file_record& f : files) total += static_cast<double>(std::max<int64_t>(f.size, 0));
  double shares_before = 0;

  for (const setup_file_record& f : files) {
    if (f.name.empty())
      throw kro::exceptions::error(codes::none,
                                   "The file name is not specified in product-info.xml for hash '%s', fail!",
                                   text::to_utf8(f.sha256).c_str());
    // The name becomes a path below the working folder: one that could
    // reach outside it is refused before anything is written.
    if (!files::is_safe_relative_name(f.name)) {
      log::write(
          log::error,
          L"The file name '%ls' in product-info.xml is not a relative path inside the temp folder, fail!",
          f.name.c_str());
      throw kro::exceptions::error(
          codes::invalid_name,
          "The file name '%s' in product-info.xml is not a relative path inside the temp "
          "folder, fail!",
          text::to_utf8(f.name).c_str());
    }
    const std::wstring target = files::join(folder, files::to_backslashes(f.name));
    const std::wstring parent = files::parent_of(target);
    if (!files::is_directory(parent)) {
      if (const uint32_t error = files::create_directories(parent)) {
        log::write(log::error, L"Create directory '%ls' fail %u!", parent.c_str(),
                   static_cast<unsigned>(error));
        throw kro::exceptions::error(static_cast<int32_t>(error), "Create directory fail");
      }
    }

    const double share = total > 0 ? static_cast<double>(std::max<int64_t>(f.size, 0)) / total * 100.0 : 0.0;
    // SHA-256 texts name payload files in lower case; a digest compares as
    // bytes, so the case the document wrote it in does not matter.
    const std::wstring hash = text::to_lower(f.sha256);
    std::shared_ptr<unpacker_intf> packed = data().payload->find_by_hash(hash);
    if (!packed) {
      packed = data().payload->find_by_alias(f.name);
      // A file found by its name must still be the file the signed
      // product-info.xml describes.
      const std::wstring stored = packed ? packed->sha256() : std::wstring();
      if (!stored.empty() && !hash.empty() && stored != hash) {
        log::write(log::error,
                   L"File '%ls' in SFX archive has hash '%ls', product-info.xml names '%ls', fail!",
                   f.name.c_str(), stored.c_str(), f.sha256.c_str());
        throw kro::exceptions::error(codes::invalid_data,
                                     "Fail unpack data, wrong checksum (alias:%s, hash:%s)!",
                                     text::to_utf8(f.name).c_str(), text::to_utf8(f.sha256).c_str());
      }
    }
    if (packed) {
      try {
        packed->unpack_to_file(target);
      } catch (const kro::exceptions::error& e) {
        log::write(log::error, L"File '%ls' from SFX archive has not been unpacked, fail with error %u!",
                   f.name.c_str(), static_cast<unsigned>(e.code()));
        throw;
      }
      log::write(log::debug, L"File '%ls' has been correctly unpacked from SFX archive and stored to '%ls'.",
                 f.name.c_str(), target.c_str());
    } else if (!m_offline) {
      // Runs on the download's worker thread, once per chunk.
      auto received = std::make_shared<int64_t>(0);
      downloader().set_progress_callback(
          [progress, received, share, shares_before](uint32_t bytes, int64_t length) {
            *received += bytes;
            if (!progress || length <= 0) return;
            const double done =
                static_cast<double>(*received) / static_cast<double>(length) * share + shares_before;
            progress(static_cast<uint8_t>(std::min(done, 100.0)));
          });
      downloader().download_setup_file(f.sha256, target, f.sha256);
      log::write(log::debug, L"File '%ls' has been correctly downloaded and stored to '%ls'.", f.name.c_str(),
                 target.c_str());
    } else {
      const std::string message =
          text::format("File '%s'|'%s' not found in SFX archive, mode 'offline', product '%s'",
                       text::to_utf8(f.name).c_str(), text::to_utf8(f.sha256).c_str(),
                       text::to_utf8(product.name).c_str());
      log::write(log::error, "%s", message.c_str());
      throw kro::exceptions::error(codes::none, "%s", message.c_str());
    }
    shares_before += share;
    m_evaluator->evaluate_file(f.name, commands, folder);
  }
}

}  // namespace kro::sfx
