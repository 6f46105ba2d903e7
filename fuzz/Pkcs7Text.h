// Inputs of the PKCS#7 targets: the mode byte's low bit picks whether the
// rest is DER, wrapped here into PEM text with the label PKCS7 (so the
// fuzzer mutates structure, not Base64), or the text handed over as it is.
#pragma once

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "util/Base64.h"

namespace tolmix::fuzz {

inline std::string PemOf(const char* label, std::string_view der) {
  std::vector<char> b64(
      static_cast<size_t>(Base64EncodedLength(static_cast<int>(der.size()))) + 1);
  Base64Encode(b64.data(), reinterpret_cast<const unsigned char*>(der.data()),
               static_cast<int>(der.size()));
  std::string pem = std::string("-----BEGIN ") + label + "-----\n";
  const size_t len = strlen(b64.data());
  for (size_t i = 0; i < len; i += 64) {
    pem.append(b64.data() + i, std::min<size_t>(64, len - i));
    pem += '\n';
  }
  return pem + "-----END " + label + "-----\n";
}

inline std::string Pkcs7Text(uint8_t mode, std::string_view rest) {
  return (mode & 1) ? std::string(rest) : PemOf("PKCS7", rest);
}

}  // namespace tolmix::fuzz
