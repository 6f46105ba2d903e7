#include "modules/pkcs11_rsa_key/TokenKey.h"

#include <cstring>
#include <mutex>
#include <utility>
#include <vector>

#include <openssl/rsa.h>

#include "modules/pkcs11_rsa_key/EngineErrors.h"

namespace tolmix::p11 {
namespace {

struct KeyRef {
  std::shared_ptr<Cryptoki> token;
  CK_OBJECT_HANDLE handle;
  unsigned long generation;  // the module's restart count the handle was found under
};

// The token object of each live RSA made here.  Kept in this table rather
// than in RSA ex_data: an ex_data index taken by the module would outlive it.
std::mutex g_keys_mutex;
std::vector<std::pair<const RSA*, KeyRef>> g_keys;

bool RefOf(const RSA* rsa, KeyRef* out) {
  std::lock_guard lock(g_keys_mutex);
  for (auto& [key, ref] : g_keys) {
    if (key == rsa) {
      *out = ref;
      return true;
    }
  }
  return false;
}

int KeyFinish(RSA* rsa) {
  std::shared_ptr<Cryptoki> last;  // a module closed outside the table's lock
  std::lock_guard lock(g_keys_mutex);
  for (auto it = g_keys.begin(); it != g_keys.end(); ++it) {
    if (it->first == rsa) {
      last = std::move(it->second.token);
      g_keys.erase(it);
      break;
    }
  }
  return 1;
}

int Private(bool sign, int flen, const unsigned char* from, unsigned char* to, RSA* rsa,
            int padding) {
  KeyRef ref;
  if (!RefOf(rsa, &ref)) {
    // Not a key of the token: should the method ever become a default, an
    // ordinary key keeps working with OpenSSL's own operations.
    const RSA_METHOD* own = RSA_PKCS1_OpenSSL();
    return sign ? RSA_meth_get_priv_enc(own)(flen, from, to, rsa, padding)
                : RSA_meth_get_priv_dec(own)(flen, from, to, rsa, padding);
  }
  CK_MECHANISM_TYPE mechanism;
  switch (padding) {
    case RSA_PKCS1_PADDING:
      mechanism = CKM_RSA_PKCS;
      break;
    case RSA_NO_PADDING:
      mechanism = CKM_RSA_X_509;
      break;
    default:
      RaiseError(kReasonInternal, "padding %d is not supported by the token", padding);
      return -1;
  }
  if (flen < 0) return -1;
  // OpenSSL hands an output buffer of the modulus' size.
  const size_t size = static_cast<size_t>(RSA_size(rsa));
  std::vector<unsigned char> out(size);
  int n;
  {
    std::lock_guard lock(ref.token->Mutex());
    // After a restart of the module the handle may name another object.
    if (ref.token->Generation() != ref.generation) {
      RaiseError(kReasonToken, "the token was started afresh since the key was loaded");
      return -1;
    }
    n = ref.token->PrivateOperation(sign, mechanism, ref.handle, from, static_cast<size_t>(flen),
                                    out.data(), out.size());
  }
  if (n < 0) return -1;
  memcpy(to, out.data(), static_cast<size_t>(n));
  OPENSSL_cleanse(out.data(), out.size());
  return n;
}

int PrivEnc(int flen, const unsigned char* from, unsigned char* to, RSA* rsa, int padding) {
  return Private(true, flen, from, to, rsa, padding);
}

int PrivDec(int flen, const unsigned char* from, unsigned char* to, RSA* rsa, int padding) {
  return Private(false, flen, from, to, rsa, padding);
}

struct MethodHolder {
  MethodHolder() {
    method = RSA_meth_dup(RSA_PKCS1_OpenSSL());
    if (method && (!RSA_meth_set1_name(method, "pkcs11_rsa_key token RSA") ||
                   !RSA_meth_set_priv_enc(method, PrivEnc) ||
                   !RSA_meth_set_priv_dec(method, PrivDec) ||
                   !RSA_meth_set_finish(method, KeyFinish))) {
      RSA_meth_free(method);
      method = nullptr;
    }
  }
  ~MethodHolder() { RSA_meth_free(method); }
  RSA_METHOD* method = nullptr;
};

}  // namespace

const RSA_METHOD* TokenRsaMethod() {
  static MethodHolder holder;
  return holder.method;
}

ossl::Ptr<EVP_PKEY> MakeTokenKey(ENGINE* engine, const std::shared_ptr<Cryptoki>& token,
                                 CK_OBJECT_HANDLE handle) {
  BIGNUM* n = nullptr;
  BIGNUM* e = nullptr;
  if (!token->ReadRsaPublic(handle, &n, &e)) return nullptr;
  ossl::Ptr<RSA> rsa(RSA_new_method(engine));
  if (!rsa || RSA_get_method(rsa.get()) != TokenRsaMethod() || !RSA_set0_key(rsa.get(), n, e, nullptr)) {
    BN_free(n);
    BN_free(e);
    RaiseError(kReasonInternal, "no RSA key could be made");
    return nullptr;
  }
  try {
    std::lock_guard lock(g_keys_mutex);
    g_keys.emplace_back(rsa.get(), KeyRef{token, handle, token->Generation()});
  } catch (...) {
    return nullptr;
  }
  ossl::Ptr<EVP_PKEY> key(EVP_PKEY_new());
  if (!key || !EVP_PKEY_assign_RSA(key.get(), rsa.get())) return nullptr;
  rsa.release();
  return key;
}

}  // namespace tolmix::p11
