#include "modules/capi/ProxyKey.h"

#include <map>
#include <mutex>

#include "modules/capi/CapiErrors.h"

namespace tolmix::capi {
namespace {

constexpr char kMethodName[] = "capi soft container RSA";

// Public RSA (the key handed out) -> private RSA (one reference, freed when
// the entry goes).  The private RSAs run OpenSSL's default method.
std::mutex g_keys_mutex;
std::map<const RSA*, RSA*> g_keys;

// The private key held for PUB, with a reference of its own so that a
// concurrent free of PUB cannot pull it away mid-operation; null (error
// queued) when the module holds none.
ossl::Ptr<RSA> PrivateFor(const RSA* pub) {
  std::lock_guard lock(g_keys_mutex);
  auto it = g_keys.find(pub);
  if (it == g_keys.end()) {
    RaiseError(kReasonNoPrivateKey, "no private key is held for this key");
    return nullptr;
  }
  RSA_up_ref(it->second);
  return ossl::Ptr<RSA>(it->second);
}

// Takes PUB's entry out of the table and frees its private key.
void Forget(const RSA* pub) {
  RSA* priv = nullptr;
  {
    std::lock_guard lock(g_keys_mutex);
    auto it = g_keys.find(pub);
    if (it == g_keys.end()) return;
    priv = it->second;
    g_keys.erase(it);
  }
  RSA_free(priv);
}

bool Remember(const RSA* pub, RSA* priv) {
  try {
    std::lock_guard lock(g_keys_mutex);
    return g_keys.emplace(pub, priv).second;
  } catch (...) {
    return false;
  }
}

int PrivEnc(int flen, const unsigned char* from, unsigned char* to, RSA* rsa, int padding) {
  ossl::Ptr<RSA> priv = PrivateFor(rsa);
  return priv ? RSA_private_encrypt(flen, from, to, priv.get(), padding) : -1;
}

// Unwraps content keys of envelopes (PKCS#1 v1.5 as PKCS7_dataDecode asks).
int PrivDec(int flen, const unsigned char* from, unsigned char* to, RSA* rsa, int padding) {
  ossl::Ptr<RSA> priv = PrivateFor(rsa);
  return priv ? RSA_private_decrypt(flen, from, to, priv.get(), padding) : -1;
}

// PKCS#1 v1.5 signature of the digest M of type TYPE (DigestInfo made by
// RSA_sign on the private key).  1 on success, 0 on failure, as RSA_sign.
int Sign(int type, const unsigned char* m, unsigned int m_length, unsigned char* sigret,
         unsigned int* siglen, const RSA* rsa) {
  ossl::Ptr<RSA> priv = PrivateFor(rsa);
  return priv ? RSA_sign(type, m, m_length, sigret, siglen, priv.get()) : 0;
}

int Finish(RSA* rsa) {
  Forget(rsa);
  // OpenSSL's own finish releases the Montgomery caches of the public half.
  int (*base)(RSA*) = RSA_meth_get_finish(RSA_PKCS1_OpenSSL());
  return base ? base(rsa) : 1;
}

}  // namespace

ProxyMethod::ProxyMethod() noexcept {
  method_ = RSA_meth_dup(RSA_PKCS1_OpenSSL());
  if (!method_) return;
  if (!RSA_meth_set1_name(method_, kMethodName) || !RSA_meth_set_priv_enc(method_, PrivEnc) ||
      !RSA_meth_set_priv_dec(method_, PrivDec) || !RSA_meth_set_sign(method_, Sign) ||
      !RSA_meth_set_finish(method_, Finish)) {
    RSA_meth_free(method_);
    method_ = nullptr;
  }
}

ProxyMethod::~ProxyMethod() { RSA_meth_free(method_); }

ossl::Ptr<EVP_PKEY> MakeProxyKey(ENGINE* engine, const RSA_METHOD* method, EVP_PKEY* real) {
  if (!real || EVP_PKEY_get_base_id(real) != EVP_PKEY_RSA) {
    RaiseError(kReasonBadKey, "the container does not hold an RSA key");
    return nullptr;
  }
  // A legacy copy of the private key, run by OpenSSL's default method whatever
  // default engine the process may have registered.
  ossl::Ptr<RSA> priv(EVP_PKEY_get1_RSA(real));
  if (!priv || !RSA_set_method(priv.get(), RSA_PKCS1_OpenSSL())) {
    RaiseError(kReasonBadKey, "the container's RSA key cannot be used");
    return nullptr;
  }
  const BIGNUM *n = nullptr, *e = nullptr;
  RSA_get0_key(priv.get(), &n, &e, nullptr);
  ossl::Ptr<BIGNUM> n_copy(n ? BN_dup(n) : nullptr);
  ossl::Ptr<BIGNUM> e_copy(e ? BN_dup(e) : nullptr);

  ossl::Ptr<RSA> pub(RSA_new_method(engine));
  if (pub && !engine && !RSA_set_method(pub.get(), method)) pub.reset();
  if (!pub || RSA_get_method(pub.get()) != method || !n_copy || !e_copy ||
      !RSA_set0_key(pub.get(), n_copy.get(), e_copy.get(), nullptr)) {
    RaiseError(kReasonInternal, "cannot make the public key");
    return nullptr;
  }
  n_copy.release();  // owned by PUB now
  e_copy.release();
  if (!Remember(pub.get(), priv.get())) {
    RaiseError(kReasonInternal, "cannot keep the private key");
    return nullptr;
  }
  priv.release();  // owned by the table; freeing PUB frees it (Finish)
  ossl::Ptr<EVP_PKEY> key(EVP_PKEY_new());
  if (!key || !EVP_PKEY_assign_RSA(key.get(), pub.get())) {
    RaiseError(kReasonInternal, "cannot make the key");
    return nullptr;  // PUB's free runs Finish, which frees the private key
  }
  pub.release();
  return key;
}

size_t HeldPrivateKeys() {
  std::lock_guard lock(g_keys_mutex);
  return g_keys.size();
}

}  // namespace tolmix::capi
