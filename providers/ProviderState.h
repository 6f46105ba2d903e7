// What one instance of tolmixprov holds: its core handle and the PKCS#11
// side, one TokenBack (modules/pkcs11_rsa_key) shared by every token key of
// the instance, so that a key load, its private operations and the system's
// PIN check go to the same token and session under the same lock.
#pragma once

#include <memory>
#include <mutex>
#include <vector>

#include <openssl/bn.h>
#include <openssl/core.h>

#include "engine/OsslPtr.h"
#include "util/PinGuard.h"
#include "util/TokenOutcome.h"

namespace tolmix::p11 {
class TokenBack;
struct TokenKeyRef;
}

namespace tolmix::keyprov {

struct TokenKeyFound {
  ossl::Ptr<BIGNUM> n, e;
  std::vector<unsigned char> cert;  // DER
  std::shared_ptr<p11::TokenKeyRef> key;
};

struct ProviderState {
  ProviderState();
  ~ProviderState();

  const OSSL_CORE_HANDLE* core = nullptr;

  // Logs into the token of P11_SKF.ini with PIN (one login) and finds the
  // certificate of KIND (1 exchange, 2 signature) with its private key.
  // PIN null: the certificate alone, without a login (no key reference).
  // GUARD (may be null): the system's memory of refused PINs.
  bool FindTokenKey(const char* pin, int kind, const PinGuard* guard, TokenKeyFound* out);
  // The system's PIN check (PIN null: the token choice alone).
  bool CheckTokenLogin(const char* pin, const PinGuard* guard);
  // C_Sign (SIGN) or C_Decrypt with CKM_RSA_PKCS (PKCS1) or CKM_RSA_X_509
  // under KEY; OUT receives at most SIZE bytes.
  bool TokenPrivate(p11::TokenKeyRef* key, bool sign, bool pkcs1, const unsigned char* in,
                    size_t in_len, size_t size, std::vector<unsigned char>* out);
  void ReleaseTokenKey(std::shared_ptr<p11::TokenKeyRef> key);
  TokenOutcome LastTokenOutcome();

 private:
  std::mutex mutex_;
  std::unique_ptr<p11::TokenBack> tokens_;
};

}  // namespace tolmix::keyprov
