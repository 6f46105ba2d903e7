// The logic of the pkcs11_rsa_key engine: one PKCS#11 module reached through
// libp11, its first slot with a token, and the certificates and keys on it.
// The ENGINE glue (EngineFront.cpp) reads the engine's application-data
// slots and hands plain values to this class; nothing here knows ENGINE.
//
// Module: the MODULE_PATH control command when given, else the first module
// listed in P11_SKF.ini (system directory) that loads and has a slot with a
// token present -- the same "first slot with a token" the system's own PIN
// check logs into.  The module is loaded lazily, the first time a key or a
// certificate is asked for, and stays loaded until Finish.
//
// Keys: the EVP_PKEYs handed out are libp11's legacy RSA keys; they hold the
// public part only and send every private operation (signature, decryption)
// to the token.  They refer to the token's session: use and free them before
// Finish.  (Freeing one later does not crash -- libp11 stays loaded, see
// EngineFront.cpp -- but libp11 then keeps the slot it refers to: a leak.)
//
// Failures return false / null with an entry on OpenSSL's error queue
// (EngineErrors.h).  Thread-safe: one mutex serialises every call.
#pragma once

#include <mutex>
#include <string>

#include <libp11.h>

#include "engine/OsslPtr.h"

namespace tolmix::p11 {

class TokenBack {
 public:
  TokenBack() = default;
  ~TokenBack();
  TokenBack(const TokenBack&) = delete;
  TokenBack& operator=(const TokenBack&) = delete;

  // Path of the PKCS#11 module to use instead of P11_SKF.ini ("" = the list).
  void SetModulePath(const char* path);

  // Releases the slots and unloads the module; keys handed out must be freed
  // before.  Safe to call more than once.
  void Finish() noexcept;

  // Certificate and private key of KIND (2 = signature, anything else =
  // exchange; see ObjectChoice.h).  With CERT_ONLY no login is made: the key
  // returned is the certificate's public key.  Otherwise PIN (NUL-terminated,
  // required) logs the user in afresh, so the PIN of this call decides even
  // when an earlier call logged in.  On success *CERT and *KEY receive new
  // objects that the caller owns.
  bool LoadClientCert(const char* pin, bool cert_only, int kind, ossl::Ptr<X509>* cert,
                      ossl::Ptr<EVP_PKEY>* key);

  // Private key named by KEY_ID, after a login with PIN: "1" / "2" (or null
  // or "") pick by key kind as above (null/"" = 2), "id:<hex>" by CKA_ID,
  // "label:<text>" by CKA_LABEL.  The key is owned by the caller.
  ossl::Ptr<EVP_PKEY> LoadPrivateKey(const char* pin, const char* key_id);

  // Public key of CERT when one is given (no device work); otherwise of the
  // token certificate that KEY_ID names (as above, no login).
  ossl::Ptr<EVP_PKEY> LoadPublicKey(const char* key_id, X509* cert);

 private:
  bool EnsureTokenLocked();
  bool TryModuleLocked(const std::string& path);
  void UnloadLocked() noexcept;
  bool LoginLocked(const char* pin);

  std::mutex mutex_;
  std::string module_override_;
  PKCS11_CTX* ctx_ = nullptr;
  PKCS11_SLOT* slots_ = nullptr;
  unsigned int slot_count_ = 0;
  PKCS11_SLOT* slot_ = nullptr;  // the slot in use, inside slots_
};

}  // namespace tolmix::p11
