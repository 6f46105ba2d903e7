#include "modules/pkcs11_rsa_key/TokenBack.h"

#include <cstring>
#include <vector>

#include <openssl/err.h>

#include "modules/pkcs11_rsa_key/EngineErrors.h"
#include "modules/pkcs11_rsa_key/ObjectChoice.h"
#include "platform/Env.h"
#include "util/IniReader.h"

namespace tolmix::p11 {
namespace {

// A module path longer than this is not tried (the system's own limit).
constexpr size_t kMaxModulePath = 255;

bool SameId(const unsigned char* a, size_t a_len, const unsigned char* b, size_t b_len) {
  return a_len == b_len && (a_len == 0 || memcmp(a, b, a_len) == 0);
}

// The private key whose CKA_ID is the certificate's, or null.
PKCS11_KEY* KeyForCert(PKCS11_CERT* cert, PKCS11_KEY* keys, unsigned int key_count) {
  for (unsigned int i = 0; i < key_count; ++i) {
    if (SameId(keys[i].id, keys[i].id_len, cert->id, cert->id_len)) return &keys[i];
  }
  return nullptr;
}

// PKCS#11 return value of the newest libp11 entry on the error queue, or 0.
unsigned long LastCkr() {
  unsigned long err = ERR_peek_last_error();
  return err && ERR_GET_LIB(err) == ERR_get_CKR_code() ? ERR_GET_REASON(err) : 0;
}

}  // namespace

// The engine's last reference is gone, so no other thread can reach this
// back.  OpenSSL runs the destroy function under a lock of its own, which
// LoadClientCert takes (through libp11) while holding mutex_: taking
// mutex_ here would invert that order.
TokenBack::~TokenBack() { UnloadLocked(); }

void TokenBack::SetModulePath(const char* path) {
  std::lock_guard lock(mutex_);
  module_override_ = path ? path : "";
}

void TokenBack::Finish() noexcept {
  std::lock_guard lock(mutex_);
  UnloadLocked();
}

void TokenBack::UnloadLocked() noexcept {
  if (ctx_) {
    if (slots_) PKCS11_release_all_slots(ctx_, slots_, slot_count_);
    PKCS11_CTX_unload(ctx_);
    PKCS11_CTX_free(ctx_);
  }
  ctx_ = nullptr;
  slots_ = nullptr;
  slot_count_ = 0;
  slot_ = nullptr;
}

bool TokenBack::TryModuleLocked(const std::string& path) {
  if (path.size() > kMaxModulePath) return false;
  ctx_ = PKCS11_CTX_new();
  if (!ctx_) return false;
  if (PKCS11_CTX_load(ctx_, path.c_str()) != 0) {
    PKCS11_CTX_free(ctx_);
    ctx_ = nullptr;
    return false;
  }
  if (PKCS11_enumerate_slots(ctx_, &slots_, &slot_count_) != 0) {
    slots_ = nullptr;
    slot_count_ = 0;
  }
  for (unsigned int i = 0; i < slot_count_; ++i) {
    if (slots_[i].token) {
      slot_ = &slots_[i];
      return true;
    }
  }
  UnloadLocked();
  return false;
}

bool TokenBack::EnsureTokenLocked() {
  if (slot_) return true;
  std::vector<std::string> paths;
  if (!module_override_.empty()) {
    paths.push_back(module_override_);
  } else {
    const std::string systemDir = platform::SystemDir();
    for (const std::string& name : ReadDeviceList(systemDir, kP11DeviceListFile)) {
      paths.push_back(SystemFilePath(systemDir, name.c_str()));
    }
  }
  for (const std::string& path : paths) {
    if (TryModuleLocked(path)) {
      ERR_clear_error();  // failures of earlier modules are not this call's
      return true;
    }
  }
  RaiseError(kReasonNoModule, "no PKCS#11 module with a token (%zu tried)", paths.size());
  return false;
}

bool TokenBack::LoginLocked(const char* pin) {
  if (!pin || !*pin) {
    RaiseError(kReasonNoPin, "no PIN in application data slot 2");
    return false;
  }
  int logged_in = 0;
  if (PKCS11_is_logged_in(slot_, 0, &logged_in) == 0 && logged_in) PKCS11_logout(slot_);
  if (PKCS11_login(slot_, 0, pin) != 0) {
    // libp11 left its own entry (library CKR, reason = C_Login's return
    // value) on the queue; ours goes on top with the same value as text.
    RaiseError(kReasonLoginFailed, "C_Login refused: CKR 0x%08lX", LastCkr());
    return false;
  }
  return true;
}

bool TokenBack::LoadClientCert(const char* pin, bool cert_only, int kind, ossl::Ptr<X509>* cert,
                               ossl::Ptr<EVP_PKEY>* key) {
  std::lock_guard lock(mutex_);
  if (!EnsureTokenLocked()) return false;
  if (!cert_only && !LoginLocked(pin)) return false;

  PKCS11_TOKEN* token = slot_->token;
  PKCS11_CERT* certs = nullptr;
  unsigned int cert_count = 0;
  PKCS11_KEY* keys = nullptr;
  unsigned int key_count = 0;
  if (PKCS11_enumerate_certs(token, &certs, &cert_count) != 0) cert_count = 0;
  if (!cert_only && PKCS11_enumerate_keys(token, &keys, &key_count) != 0) key_count = 0;

  // Without a login the private keys are hidden, so a certificate read looks
  // at every certificate; a key load only at certificates with a key.
  std::vector<X509*> candidates(cert_count, nullptr);
  for (unsigned int i = 0; i < cert_count; ++i) {
    if (cert_only || KeyForCert(&certs[i], keys, key_count)) candidates[i] = certs[i].x509;
  }
  int chosen = ChooseCertificate(candidates, kind);
  if (chosen < 0) {
    RaiseError(kReasonNoObject, "no certificate%s for key kind %d", cert_only ? "" : " with a key",
               kind);
    return false;
  }
  ossl::Ptr<X509> out_cert(X509_dup(certs[chosen].x509));
  ossl::Ptr<EVP_PKEY> out_key(cert_only ? X509_get_pubkey(certs[chosen].x509)
                                        : PKCS11_get_private_key(KeyForCert(&certs[chosen], keys,
                                                                            key_count)));
  if (!out_cert || !out_key) {
    RaiseError(kReasonInternal, "certificate or key could not be read from the token");
    return false;
  }
  *cert = std::move(out_cert);
  *key = std::move(out_key);
  return true;
}

ossl::Ptr<EVP_PKEY> TokenBack::LoadPrivateKey(const char* pin, const char* key_id) {
  KeySelector selector;
  if (!ParseKeySelector(key_id, &selector)) {
    RaiseError(kReasonBadKeyId, "key id not understood");
    return nullptr;
  }
  if (selector.by == KeySelector::By::kKind) {
    ossl::Ptr<X509> cert;
    ossl::Ptr<EVP_PKEY> key;
    if (!LoadClientCert(pin, false, selector.kind, &cert, &key)) return nullptr;
    return key;
  }
  std::lock_guard lock(mutex_);
  if (!EnsureTokenLocked() || !LoginLocked(pin)) return nullptr;
  PKCS11_KEY* keys = nullptr;
  unsigned int key_count = 0;
  if (PKCS11_enumerate_keys(slot_->token, &keys, &key_count) != 0) key_count = 0;
  for (unsigned int i = 0; i < key_count; ++i) {
    bool match = selector.by == KeySelector::By::kId
                     ? SameId(keys[i].id, keys[i].id_len, selector.id.data(), selector.id.size())
                     : keys[i].label && selector.label == keys[i].label;
    if (match) return ossl::Ptr<EVP_PKEY>(PKCS11_get_private_key(&keys[i]));
  }
  RaiseError(kReasonNoObject, "no private key with that id");
  return nullptr;
}

ossl::Ptr<EVP_PKEY> TokenBack::LoadPublicKey(const char* key_id, X509* cert) {
  if (cert) {
    ossl::Ptr<EVP_PKEY> key(X509_get_pubkey(cert));
    if (!key) RaiseError(kReasonNoCertificate, "certificate has no usable public key");
    return key;
  }
  KeySelector selector;
  if (!ParseKeySelector(key_id, &selector)) {
    RaiseError(kReasonBadKeyId, "key id not understood");
    return nullptr;
  }
  if (selector.by == KeySelector::By::kKind) {
    ossl::Ptr<X509> token_cert;
    ossl::Ptr<EVP_PKEY> key;
    if (!LoadClientCert(nullptr, true, selector.kind, &token_cert, &key)) return nullptr;
    return key;
  }
  std::lock_guard lock(mutex_);
  if (!EnsureTokenLocked()) return nullptr;
  PKCS11_CERT* certs = nullptr;
  unsigned int cert_count = 0;
  if (PKCS11_enumerate_certs(slot_->token, &certs, &cert_count) != 0) cert_count = 0;
  for (unsigned int i = 0; i < cert_count; ++i) {
    bool match = selector.by == KeySelector::By::kId
                     ? SameId(certs[i].id, certs[i].id_len, selector.id.data(), selector.id.size())
                     : certs[i].label && selector.label == certs[i].label;
    if (match) return ossl::Ptr<EVP_PKEY>(X509_get_pubkey(certs[i].x509));
  }
  RaiseError(kReasonNoObject, "no certificate with that id");
  return nullptr;
}

}  // namespace tolmix::p11
