#pragma once
// The entry point's error policy: what a failure that left the run shows and
// which exit code the process ends with. In the order the clauses match:
//
//   caught                           exit code      box message                      code in the box
//   unsupported_os                   45056          "@Sfx_UnsupportedOS"             45056
//   download_file_invalid_signature  44024          "@Sfx_FileInvalidSignature"      44024
//   sfx_invalid_signature            44024          the exception's text             its code
//   download_file_fail               44002          "@Sfx_Download_Fail" with {0}    its code
//   missign_sfx_file                 44051          "@Sfx_MissingSfx"                44051
//   any other program exception      its code       its text (logged at error)       its code
//                                    (1 when its code is 0: a failure never exits with 0)
//   any other std::exception         1              its text (logged at error)       1
#include <cstdint>
#include <exception>
#include <optional>
#include <string>

namespace kro::sfx {

struct failure_outcome {
  int32_t exit_code = 1;
  int32_t box_code = 1;
  std::wstring message;                  // identifier or ready text
  std::optional<int32_t> download_code;  // the download variant of the box
};

// Classifies a std::exception and writes the log records of its clause.
// Anything not derived from std::exception is rethrown.
failure_outcome classify_failure(const std::exception_ptr& failure);

}  // namespace kro::sfx
