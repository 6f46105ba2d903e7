#include "modules/pkcs11_rsa_key/TokenRef.h"

#include <mutex>

#include "modules/pkcs11_rsa_key/EngineErrors.h"

namespace tolmix::p11 {

int TokenPrivateOperation(const TokenKeyRef& key, bool sign, bool pkcs1, const unsigned char* in,
                          size_t in_len, unsigned char* out, size_t out_size) {
  if (!key.token) return -1;
  std::lock_guard lock(key.token->Mutex());
  if (key.token->Generation() != key.generation) {
    RaiseError(kReasonToken, "the token was started afresh since the key was loaded");
    return -1;
  }
  return key.token->PrivateOperation(sign, pkcs1 ? CKM_RSA_PKCS : CKM_RSA_X_509, key.handle, in,
                                     in_len, out, out_size);
}

}  // namespace tolmix::p11
