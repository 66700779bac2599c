#include "sfx/failure_policy.h"

#include <new>

#include "exceptions/exceptions.h"
#include "log/logger.h"
#include "sfx/error_codes.h"
#include "text/text.h"

namespace kro::sfx {
namespace {

// The text of a standard exception; an allocation failure reads the same on
// every runtime.
const char* text_of(const std::exception& e) {
  if (dynamic_cast<const std::bad_alloc*>(&e)) return "bad allocation";
  return e.what();
}

}  // namespace

failure_outcome classify_failure(const std::exception_ptr& failure) {
  try {
    std::rethrow_exception(failure);
  } catch (const exceptions::unsupported_os&) {
    return {codes::exit_unsupported_os, codes::exit_unsupported_os, L"@Sfx_UnsupportedOS", {}};
  } catch (const exceptions::download_file_invalid_signature&) {
    return {codes::exit_invalid_signature, codes::exit_invalid_signature, L"@Sfx_FileInvalidSignature", {}};
  } catch (const exceptions::sfx_invalid_signature& e) {
    return {codes::exit_invalid_signature, e.code(), text::from_utf8(e.what()), {}};
  } catch (const exceptions::download_file_fail& e) {
    return {codes::exit_download_failed, e.code(), L"@Sfx_Download_Fail", e.code()};
  } catch (const exceptions::missign_sfx_file&) {
    return {codes::exit_missing_setup_file, codes::exit_missing_setup_file, L"@Sfx_MissingSfx", {}};
  } catch (const kro::exceptions::detail::base& e) {
    log::write_exception(log::error, e, "%s", "");
    // Exit code 0 reads as success: a failure raised with code 0 ends as a
    // generic failure.
    const int32_t code = e.code() != 0 ? e.code() : codes::exit_generic;
    return {code, code, text::from_utf8(e.what()), {}};
  } catch (const std::exception& e) {
    log::write(log::error, "SFX catch generic exception: %s", text_of(e));
    return {codes::exit_generic, codes::exit_generic, text::from_utf8(text_of(e)), {}};
  }
}

}  // namespace kro::sfx
