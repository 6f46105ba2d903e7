// KeyRoute: where one operation's keys come from -- the handle that key
// loading (LoadKeyAndCert) and the certificate-driven choice
// (SelectInterfaceByCertificate) hand out, and the one interface to the key
// back end that CMake picked (engine/KeySession.h):
//   engine back end    a structural reference to the route's OpenSSL
//                      engine ("capi", "gmEngine", "pkcs11_rsa_key"),
//                      released when the handle goes;
//   provider back end  the key provider "tolmixprov" is loaded; nothing is
//                      held.
// Either way the handle is true once the route's back end is up.
#pragma once

#include <openssl/evp.h>
#include <openssl/x509.h>

#include "engine/OsslPtr.h"

namespace tolmix {

class KeyRoute {
 public:
  KeyRoute() = default;
#if TOLMIX_KEYS_ENGINE
  explicit KeyRoute(ossl::Ptr<ENGINE> engine) : engine_(std::move(engine)) {}
  ENGINE* engine() const { return engine_.get(); }
  explicit operator bool() const { return engine_ != nullptr; }
#else
  // KIND: 'S' the SKF route (SM2 keys, whose legacy SHA-1 form is SM3),
  // 'C' the soft store ("CSP"), 'P' the PKCS#11 token.
  static KeyRoute Up(char kind) {
    KeyRoute r;
    r.kind_ = kind;
    return r;
  }
  char kind() const { return kind_; }
  explicit operator bool() const { return kind_ != 0; }
#endif

  // The key that checks signatures of CERT on this route: an SM2 key as the
  // route checks SM2 signatures (engine/GmProfile.h: with SM3 the standard
  // SM2 signature, with any other digest D the SM2 signature of
  // SM3(Z || D)); any other key the certificate's own.  Null when CERT has
  // no usable key.
  ossl::Ptr<EVP_PKEY> PublicKey(X509* cert) const;

  // The digest of NID as this route computes it: SHA-1 is SM3 while the
  // SKF route is up (the form the system signed before it followed the GM
  // profile).
  const EVP_MD* Digest(int nid) const;

  // EVP_VerifyFinal of CTX with KEY (one of PublicKey's).
  int VerifyFinal(EVP_MD_CTX* ctx, const unsigned char* sig, unsigned len, EVP_PKEY* key) const;

  // Envelope flags (engine/EngineSlots.h: slot 6 while the data chain is
  // opened, 8 for a decryption) as the route's engine reads them; the
  // provider needs none.
  void SetFlag(int slot, bool on) const;

 private:
#if TOLMIX_KEYS_ENGINE
  ossl::Ptr<ENGINE> engine_;
#else
  char kind_ = 0;
#endif
};

}  // namespace tolmix
