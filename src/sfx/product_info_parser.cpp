#include "sfx/product_info_parser.h"

#include <algorithm>
#include <optional>
#include <utility>

#include "exceptions/exceptions.h"
#include "files/file_handle.h"
#include "log/logger.h"
#include "sfx/payload.h"
#include "text/text.h"

namespace kro::sfx {
namespace {

namespace cond = repository::conditions;
namespace osv = environment::os_version;

constexpr const char* arm64_query = "//file[contains(name,'morrow.exe')] and .//os[@platform='arm64']";

std::wstring element_text(const pugi::xml_node& parent, const char* name) {
  return text::from_utf8(parent.child(name).child_value());
}

int64_t element_integer(const pugi::xml_node& parent, const char* name) {
  return static_cast<int64_t>(parent.child(name).text().as_llong(0));
}

class parser final : public product_info_parser_intf {
 public:
  explicit parser(std::optional<osv::facts> facts) : m_facts(std::move(facts)) {}

  void parse(const std::vector<uint8_t>& bytes) override {
    if (bytes.empty()) throw kro::exceptions::error(-1, "%s", "Product-info data are empty.");

    auto document = std::make_unique<pugi::xml_document>();
    const pugi::xml_parse_result result =
        document->load_buffer(bytes.data(), bytes.size(), pugi::parse_default, pugi::encoding_auto);
    if (!result) {
      log::write(log::error, "Failed to parse product-info data, %s.", result.description());
      throw kro::exceptions::error(-1, "%s", "Product-info data can't be parsed.");
    }

    // Everything is read into locals first, so a condition that fails to load
    // or evaluate leaves the earlier results as they were.
    const pugi::xml_node root = document->child("product-info");
    setup_file_list files;
    for (const pugi::xml_node& group : root.children("setup-files")) {
      if (!applies(group)) continue;
      for (const pugi::xml_node& file : group.children("file")) {
        if (!applies(file)) continue;
        files.push_back({element_text(file, "name"), element_text(file, "sha-256"),
                         element_integer(file, "timestamp"), element_integer(file, "size")});
      }
    }

    product_record product = m_product;
    if (root.child("version")) product.version = element_text(root, "version");
    if (root.child("name")) product.name = element_text(root, "name");
    product.arm64 = pugi::xpath_query(arm64_query).evaluate_boolean(*document);

    m_bytes = bytes;
    m_document = std::move(document);
    m_files = std::move(files);
    m_product = std::move(product);
  }

  const product_record& get_product() const override { return m_product; }
  const setup_file_list& get_setup_files() const override { return m_files; }

  pugi::xml_node get_setup_commands() const override {
    for (const pugi::xml_node& commands : m_document->child("product-info").children("setup-commands")) {
      if (applies(commands)) return commands;
    }
    log::write(log::error, "%s", "The <setup-commands> element is not presented in product-info.xml!");
    return pugi::xml_node();
  }

  void save(const std::wstring& path) const override {
    files::unique_file file = detail::create_target(path);
    // Written in pieces a single write call takes; a failed write is an
    // error, never a short file reported as saved.
    constexpr size_t piece = 1u << 30;
    for (size_t done = 0; done < m_bytes.size();) {
      const size_t count = std::min(piece, m_bytes.size() - done);
      int32_t error = 0;
      if (!detail::write_bytes(file.get(), m_bytes.data() + done, static_cast<uint32_t>(count), error)) {
        throw kro::exceptions::error(error, L"Unable to write file '%ls'!", path.c_str());
      }
      done += count;
    }
  }

  std::unique_ptr<cond::basic_context> create_condition_context() const override {
    return cond::create_standard_context(m_facts ? *m_facts : osv::raw_facts());
  }

 private:
  // The conditions of an element: its first `conditions` child, or none,
  // which holds. Context and tree live for this one evaluation.
  bool applies(const pugi::xml_node& element) const {
    const std::unique_ptr<cond::basic_context> context = create_condition_context();
    return cond::evaluate_conditions(element.child("conditions"), *context);
  }

  std::optional<osv::facts> m_facts;  // empty: the running system's
  product_record m_product;
  setup_file_list m_files;
  std::unique_ptr<pugi::xml_document> m_document = std::make_unique<pugi::xml_document>();
  std::vector<uint8_t> m_bytes;
};

}  // namespace

std::shared_ptr<product_info_parser_intf> product_info_parser::factory::create() {
  return std::make_shared<parser>(std::nullopt);
}

std::shared_ptr<product_info_parser_intf> product_info_parser::factory::create(
    const environment::os_version::facts& facts) {
  return std::make_shared<parser>(facts);
}

}  // namespace kro::sfx
