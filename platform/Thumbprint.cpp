// A certificate's thumbprint, the same on every platform (platform/Store.h).
#include <openssl/sha.h>

#include "platform/Store.h"

namespace tolmix::platform {

std::string Thumbprint(const std::vector<unsigned char>& der) {
  unsigned char md[SHA_DIGEST_LENGTH];
  SHA1(der.data(), der.size(), md);
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char b : md) {
    out.push_back(kHex[b >> 4]);
    out.push_back(kHex[b & 0x0F]);
  }
  return out;
}

}  // namespace tolmix::platform
