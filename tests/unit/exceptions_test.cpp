#include "exceptions/exceptions.h"

#include <gtest/gtest.h>

namespace {

namespace ex = kro::exceptions;
namespace sx = kro::sfx::exceptions;

TEST(exceptions, codes_and_texts_of_the_tree) {
  struct row {
    std::exception_ptr thrown;
    int32_t code;
    const char* text;
  };
  const row rows[] = {
      {std::make_exception_ptr(ex::error(5, "read %s at %d", "view", 7)), 5, "read view at 7"},
      {std::make_exception_ptr(ex::error(2, L"Failed to open log file '%ls'", L"C:\\\u00e9.log")), 2,
       "Failed to open log file 'C:\\\xc3\xa9.log'"},
      {std::make_exception_ptr(ex::fatal()), -1, ""},
      {std::make_exception_ptr(sx::unsupported_os()), 45056, ""},
      {std::make_exception_ptr(sx::sfx_invalid_signature()), 44024, "SFX is not DSA signed!"},
      {std::make_exception_ptr(sx::invalid_payload("100% broken")), 487, "100% broken"},
      {std::make_exception_ptr(sx::unsupported_file_format("Missing DOS signature.")), 193,
       "Missing DOS signature."},
      {std::make_exception_ptr(sx::download_file_invalid_signature(12029, "x")), 12029, "x"},
  };
  for (const row& r : rows) {
    try {
      std::rethrow_exception(r.thrown);
    } catch (const ex::detail::base& e) {
      EXPECT_EQ(e.code(), r.code) << r.text;
      EXPECT_STREQ(e.what(), r.text);
      EXPECT_NE(e.address(), nullptr);
    }
  }
}

TEST(exceptions, hierarchy_orders_the_catch_clauses) {
  // A signature failure of a download is a download failure, and both are
  // errors of the program's tree.
  EXPECT_THROW(throw sx::download_file_invalid_signature(1, "s"), sx::download_file_fail);
  EXPECT_THROW(throw sx::missign_sfx_file(44051, "m"), ex::error);
  EXPECT_THROW(throw ex::fatal(192, "f"), ex::detail::base);
  EXPECT_THROW(throw sx::unsupported_os(), std::exception);
}

}  // namespace
