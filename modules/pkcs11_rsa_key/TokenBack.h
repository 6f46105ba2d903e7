// The logic of the pkcs11_rsa_key engine: one PKCS#11 module reached through
// its function list (Cryptoki.h), its first slot with a token, and the
// certificates and keys on it.  The ENGINE glue (EngineFront.cpp) reads the
// engine's application-data slots and hands plain values to this class; the
// ENGINE itself is only passed on to the keys, which hold a reference to it.
//
// Token: the MODULE_PATH control command when given, else the modules
// listed in P11_SKF.ini (system directory) in order, each with the
// `Token=` pkcs11 URI of its [Device_N] entry when it has one; of their
// tokens the first candidate (TokenChoice.h) is used.  The system's own PIN
// check is CheckLogin, so both go to the same token.  The module is loaded
// lazily, the first time a key, a certificate or a check asks, and stays
// loaded until Finish.  What the last choice and login came to is kept for
// the system (LastOutcome, util/TokenOutcome.h).
//
// Keys: the EVP_PKEYs handed out are legacy RSA keys of the engine's RSA
// method (TokenKey.h); they hold the public part only and send every private
// operation (signature, decryption) to the token, on the session of the
// latest load.  Each holds the engine and the module until it is freed.
//
// A token that is pulled or failing makes the call fail at once with the
// PKCS#11 call's return value.  A token that is only busy with other
// programs (util/TokenRetry.h) is asked again, from a restarted module,
// within kTokenRetryBudget; nothing here waits for a session beyond that.
//
// Failures return false / null with an entry on OpenSSL's error queue
// (EngineErrors.h).  Thread-safe: one mutex serialises every call.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include <openssl/engine.h>

#include "engine/OsslPtr.h"
#include "modules/pkcs11_rsa_key/Cryptoki.h"
#include "modules/pkcs11_rsa_key/ObjectChoice.h"
#include "util/PinGuard.h"
#include "modules/pkcs11_rsa_key/TokenRef.h"
#include "util/TokenOutcome.h"
#include "util/TokenRetry.h"

namespace tolmix::p11 {

class TokenBack {
 public:
  TokenBack() = default;
  ~TokenBack();
  TokenBack(const TokenBack&) = delete;
  TokenBack& operator=(const TokenBack&) = delete;

  // The engine the keys made here hold (set once, at bind).
  void SetEngine(ENGINE* engine) { engine_ = engine; }

  // Path of the PKCS#11 module to use instead of P11_SKF.ini ("" = the list).
  void SetModulePath(const char* path);

  // The process's memory of refused PINs (util/PinGuard.h), asked before
  // every login and told of every refusal; null forgets it.
  void SetPinGuard(const PinGuard* guard);

  // Lets go of the module; keys still alive keep it open until they are
  // freed.  Safe to call more than once.
  void Finish() noexcept;

  // Certificate and private key of KIND (2 = signature, anything else =
  // exchange; see ObjectChoice.h).  With CERT_ONLY no login is made: the key
  // returned is the certificate's public key.  Otherwise PIN (NUL-terminated,
  // required) logs the user in afresh, so the PIN of this call decides even
  // when an earlier call logged in.  On success *CERT and *KEY receive new
  // objects that the caller owns.
  bool LoadClientCert(const char* pin, bool cert_only, int kind, ossl::Ptr<X509>* cert,
                      ossl::Ptr<EVP_PKEY>* key);

  // LoadClientCert for the key provider (providers/): the same choice and
  // login, the private key handed back as a reference to the token object
  // (TokenPrivateOperation) with its modulus and exponent (*N, *E, the
  // caller's).
  bool LoadTokenKey(const char* pin, int kind, ossl::Ptr<X509>* cert,
                    std::shared_ptr<TokenKeyRef>* key, BIGNUM** n, BIGNUM** e);

  // Private key named by KEY_ID, after a login with PIN: "1" / "2" (or null
  // or "") pick by key kind as above (null/"" = 2), "id:<hex>" by CKA_ID,
  // "label:<text>" by CKA_LABEL.  The key is owned by the caller.
  ossl::Ptr<EVP_PKEY> LoadPrivateKey(const char* pin, const char* key_id);

  // Public key of CERT when one is given (no device work); otherwise of the
  // token certificate that KEY_ID names (as above, no login).
  ossl::Ptr<EVP_PKEY> LoadPublicKey(const char* key_id, X509* cert);

  // The system's PIN check: the token a key load of either kind would use,
  // logged into with PIN and logged out again; with a null PIN the choice
  // alone.  True when a token was chosen and (with a PIN) took it.
  bool CheckLogin(const char* pin);

  // What the last choice and login came to.
  TokenOutcome LastOutcome();

 private:
  // The module in use, with its slot, chosen on first use for KIND
  // (TokenChoice.h); null when no token is a candidate.  Busy tokens are
  // looked at again within RETRY, the budget of the whole call.
  std::shared_ptr<Cryptoki> TokenLocked(int kind, TokenRetry& retry);
  // Records in the outcome how the last sequence on TOKEN ended (OK: it
  // succeeded).
  void SettleOutcome(const Cryptoki& token, bool ok);
  // A session of this call, logged in with PIN unless CERT_ONLY.
  bool StartLocked(Cryptoki& token, const char* pin, bool cert_only);
  // The key that MAKE gives for the first certificate (CERT_ONLY) or
  // private key object that SELECTOR names, after a login with PIN unless
  // CERT_ONLY; asked again as busy tokens need.
  // LoadClientCert's walk; TAKE receives the token, the private key object
  // (null for CERT_ONLY) and the certificate chosen.
  using KeyTaker =
      std::function<bool(const std::shared_ptr<Cryptoki>&, const TokenObject*, X509*)>;
  bool LoadCertAndKey(const char* pin, bool cert_only, int kind, ossl::Ptr<X509>* cert,
                      const KeyTaker& take);
  using KeyMaker = std::function<ossl::Ptr<EVP_PKEY>(const std::shared_ptr<Cryptoki>&, TokenObject&)>;
  ossl::Ptr<EVP_PKEY> KeyOfObject(const char* pin, bool cert_only, const KeySelector& selector,
                                  const KeyMaker& make);

  std::mutex mutex_;
  std::string module_override_;
  PinGuard guard_;  // empty until the system hands its own
  ENGINE* engine_ = nullptr;
  std::shared_ptr<Cryptoki> token_;
  int token_kind_ = 0;  // the kind token_ was chosen for
  TokenOutcome outcome_;
};

}  // namespace tolmix::p11
