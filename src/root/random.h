#pragma once
// The process's random source: a ChaCha20 keystream generator keyed once per
// process with 32 bytes from the operating system's cryptographic provider
// (bcrypt.dll BCryptGenRandom on Windows, getrandom or /dev/urandom elsewhere).
// Every function here is thread-safe.
//
// GUID text: a random version-4 GUID in lower case without braces,
//   "%08lx-%04hx-%04hx-%02hhx%02hhx-%02hhx%02hhx%02hhx%02hhx%02hhx%02hhx"
// filled with Data1, Data2, Data3 and the eight bytes of Data4. The version
// nibble (top four bits of Data3) is 4 and the variant bits (top two bits of
// Data4[0]) are binary 10.
#include <cstddef>
#include <cstdint>
#include <string>

namespace kro::root {

// Fills out with n random bytes.
void random_bytes(void* out, size_t n);

// A fresh random version-4 GUID as text (36 characters).
std::wstring new_guid_text();

// The GUID text of 16 given bytes (Data1, Data2, Data3 read little endian
// from bytes 0-7, Data4 = bytes 8-15), with the version and variant set.
std::wstring guid_text(const uint8_t (&bytes)[16]);

namespace detail {
// The operating system's cryptographic provider; throws
// kro::exceptions::error when it cannot deliver.
void os_random_bytes(void* out, size_t n);
}  // namespace detail

}  // namespace kro::root
