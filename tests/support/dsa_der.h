#pragma once
// DER form of a DSA signature value for OpenSSL as a peer (tests and
// benchmarks): SEQUENCE { INTEGER r, INTEGER s } from r || s, the two halves
// of equal length.
#include <cstdint>
#include <vector>

namespace kro::test {

inline std::vector<uint8_t> der_from_value(const std::vector<uint8_t>& value) {
  auto integer = [](std::vector<uint8_t> v) {
    while (v.size() > 1 && v[0] == 0 && (v[1] & 0x80) == 0) v.erase(v.begin());
    if (v[0] & 0x80) v.insert(v.begin(), 0);
    v.insert(v.begin(), static_cast<uint8_t>(v.size()));
    v.insert(v.begin(), 0x02);
    return v;
  };
  const auto half = static_cast<std::ptrdiff_t>(value.size() / 2);
  std::vector<uint8_t> body = integer({value.begin(), value.begin() + half});
  const std::vector<uint8_t> s = integer({value.begin() + half, value.end()});
  body.insert(body.end(), s.begin(), s.end());
  body.insert(body.begin(), static_cast<uint8_t>(body.size()));
  body.insert(body.begin(), 0x30);
  return body;
}

}  // namespace kro::test
