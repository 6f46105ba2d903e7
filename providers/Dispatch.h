// The dispatch tables of tolmixprov, one per algorithm, and the cast every
// table entry needs.
#pragma once

#include <openssl/core.h>

namespace tolmix::keyprov {

template <class F>
inline void (*Fn(F* f))(void) {
  return reinterpret_cast<void (*)(void)>(f);
}

const OSSL_DISPATCH* EcKeyManagement();
const OSSL_DISPATCH* RsaKeyManagement();
const OSSL_DISPATCH* Sm2Signature();
const OSSL_DISPATCH* RsaSignature();
const OSSL_DISPATCH* Sm2Decryption();
const OSSL_DISPATCH* RsaDecryption();

}  // namespace tolmix::keyprov
