#include "sfx/failure_policy.h"

#include <gtest/gtest.h>

#include <new>
#include <stdexcept>

#include "exceptions/exceptions.h"
#include "text/text.h"

namespace kro::sfx {
namespace {

namespace sx = kro::sfx::exceptions;

TEST(failure_policy, clauses_in_order) {
  struct row {
    const char* name;
    std::exception_ptr thrown;
    int32_t exit_code, box_code;
    const wchar_t* message;
    std::optional<int32_t> download_code;
  };
  const row rows[] = {
      {"unsupported os",
       std::make_exception_ptr(sx::unsupported_os()),
       45056,
       45056,
       L"@Sfx_UnsupportedOS",
       {}},
      // Before download_file_fail, from which it derives.
      {"download signature",
       std::make_exception_ptr(sx::download_file_invalid_signature(5, "bad")),
       44024,
       44024,
       L"@Sfx_FileInvalidSignature",
       {}},
      {"own signature",
       std::make_exception_ptr(sx::sfx_invalid_signature()),
       44024,
       44024,
       L"SFX is not DSA signed!",
       {}},
      {"download", std::make_exception_ptr(sx::download_file_fail(12029, "x")), 44002, 12029,
       L"@Sfx_Download_Fail", 12029},
      {"missing file",
       std::make_exception_ptr(sx::missign_sfx_file(2, "gone")),
       44051,
       44051,
       L"@Sfx_MissingSfx",
       {}},
      {"program error",
       std::make_exception_ptr(kro::exceptions::error(120, "not here")),
       120,
       120,
       L"not here",
       {}},
      {"code never set", std::make_exception_ptr(kro::exceptions::fatal()), -1, -1, L"", {}},
      // A failure never ends with the exit code of success.
      {"code zero", std::make_exception_ptr(kro::exceptions::error(0, "no code")), 1, 1, L"no code", {}},
      {"payload", std::make_exception_ptr(sx::invalid_payload("broken")), 487, 487, L"broken", {}},
      {"standard",
       std::make_exception_ptr(std::runtime_error("r\xc3\xa9sum\xc3\xa9")),
       1,
       1,
       L"r\u00e9sum\u00e9",
       {}},
      {"allocation", std::make_exception_ptr(std::bad_alloc()), 1, 1, L"bad allocation", {}},
  };
  for (const row& r : rows) {
    const failure_outcome outcome = classify_failure(r.thrown);
    EXPECT_EQ(outcome.exit_code, r.exit_code) << r.name;
    EXPECT_EQ(outcome.box_code, r.box_code) << r.name;
    EXPECT_EQ(text::to_utf8(outcome.message), text::to_utf8(r.message)) << r.name;
    EXPECT_EQ(outcome.download_code, r.download_code) << r.name;
  }
}

TEST(failure_policy, foreign_exceptions_are_not_caught) {
  EXPECT_THROW(classify_failure(std::make_exception_ptr(42)), int);
}

}  // namespace
}  // namespace kro::sfx
