#include "providers/ProviderState.h"

#include <cstring>

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/x509.h>

#include "modules/pkcs11_rsa_key/TokenBack.h"

namespace tolmix::keyprov {

ProviderState::ProviderState() : tokens_(std::make_unique<p11::TokenBack>()) {}

ProviderState::~ProviderState() {
  std::lock_guard lock(mutex_);
  tokens_->Finish();
}

bool ProviderState::FindTokenKey(const char* pin, int kind, const PinGuard* guard,
                                 TokenKeyFound* out) {
  std::lock_guard lock(mutex_);
  tokens_->SetPinGuard(guard);
  // Each call chooses its token afresh, as a freshly loaded engine module
  // does: keys of earlier calls keep their own module open.
  tokens_->Finish();
  // The key alone holds its module: it is finalised with the last key.
  // The process keeps this provider to its end and never tears it down, so
  // a module held here would never be finalised, and a TPM token's module
  // then leaves its objects loaded in the TPM, which fills up.  So the
  // choice's module is given back on every way out, a refused or failed
  // load included.
  struct GiveBack {
    p11::TokenBack* tokens;
    ~GiveBack() { tokens->Finish(); }
  } giveBack{tokens_.get()};
  ossl::Ptr<X509> cert;
  BIGNUM* n = nullptr;
  BIGNUM* e = nullptr;
  if (pin) {
    if (!tokens_->LoadTokenKey(pin, kind, &cert, &out->key, &n, &e)) return false;
  } else {
    // The certificate alone, without a login: its public key.
    ossl::Ptr<EVP_PKEY> pub;
    if (!tokens_->LoadClientCert(nullptr, true, kind, &cert, &pub) ||
        !EVP_PKEY_get_bn_param(pub.get(), "n", &n) || !EVP_PKEY_get_bn_param(pub.get(), "e", &e)) {
      BN_free(n);
      return false;
    }
  }
  out->n.reset(n);
  out->e.reset(e);
  unsigned char* der = nullptr;
  const int len = i2d_X509(cert.get(), &der);
  if (len <= 0) return false;
  out->cert.assign(der, der + len);
  OPENSSL_free(der);
  return true;
}

bool ProviderState::CheckTokenLogin(const char* pin, const PinGuard* guard) {
  std::lock_guard lock(mutex_);
  tokens_->SetPinGuard(guard);
  tokens_->Finish();
  const bool ok = tokens_->CheckLogin(pin);
  // The check leaves no module loaded (the next call chooses afresh
  // anyway); the outcome stays for LastTokenOutcome.
  tokens_->Finish();
  return ok;
}

bool ProviderState::TokenPrivate(p11::TokenKeyRef* key, bool sign, bool pkcs1,
                                 const unsigned char* in, size_t in_len, size_t size,
                                 std::vector<unsigned char>* out) {
  if (!key) return false;
  out->assign(size, 0);
  const int n = p11::TokenPrivateOperation(*key, sign, pkcs1, in, in_len, out->data(), out->size());
  if (n < 0) {
    OPENSSL_cleanse(out->data(), out->size());
    out->clear();
    return false;
  }
  out->resize(static_cast<size_t>(n));
  return true;
}

void ProviderState::ReleaseTokenKey(std::shared_ptr<p11::TokenKeyRef> key) {
  std::lock_guard lock(mutex_);
  key.reset();  // the module may be finalised with its last key
}

TokenOutcome ProviderState::LastTokenOutcome() {
  std::lock_guard lock(mutex_);
  return tokens_->LastOutcome();
}

}  // namespace tolmix::keyprov
