#include "providers/KeyObject.h"

#include <cstring>

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/ecdsa.h>
#include <openssl/err.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include "modules/capi/ContainerRead.h"
#include "modules/gmEngine/DeviceKey.h"
#include "modules/gmEngine/Sm2Sign.h"
#include "providers/ProviderState.h"
#include "util/KeyProviderParams.h"
#include "util/PinGuard.h"

namespace tolmix::keyprov {
namespace {

// A PIN is held in at most this many bytes, as the engine modules read it.
constexpr size_t kPinSize = 256;

// The uncompressed SM2 point is 65 bytes.
constexpr size_t kSm2PointSize = 65;

// The system's PinGuard handed with PARAMS, or null.
bool ReadGuard(const OSSL_PARAM params[], PinGuard* out) {
  const OSSL_PARAM* p = OSSL_PARAM_locate_const(params, kParamPinGuard);
  const void* data = nullptr;
  size_t len = 0;
  if (!p || !OSSL_PARAM_get_octet_string_ptr(p, &data, &len) || len != sizeof *out) return false;
  memcpy(out, data, sizeof *out);
  return true;
}

}  // namespace

bool ReadText(const OSSL_PARAM params[], const char* name, std::string* out) {
  const OSSL_PARAM* p = OSSL_PARAM_locate_const(params, name);
  const char* text = nullptr;
  if (!p || !OSSL_PARAM_get_utf8_string_ptr(p, &text) || !text) return false;
  *out = text;
  return true;
}

KeyObject::~KeyObject() {
  // A token key's session outlives nothing but its keys: the reference goes
  // under the provider's token lock.
  if (token_) state_->ReleaseTokenKey(std::move(token_));
}

bool KeyObject::Import(bool ec, const OSSL_PARAM params[]) {
  if (kind_ != Kind::kNone) return false;  // a key is imported once
  std::string route;
  if (!ReadText(params, kParamRoute, &route)) {
    ERR_raise_data(ERR_LIB_PROV, ERR_R_PASSED_INVALID_ARGUMENT, "tolmixprov: no route given");
    return false;
  }
  const bool sm2 = route == kRouteSkf || route == kRouteSm2Public;
  const bool rsa = route == kRouteSoft || route == kRouteToken || route == kRouteTokenCert ||
                   route == kRouteTokenCheck;
  if ((ec && !sm2) || (!ec && !rsa)) {
    ERR_raise_data(ERR_LIB_PROV, ERR_R_PASSED_INVALID_ARGUMENT,
                   "tolmixprov: route \"%s\" gives no %s key", route.c_str(), ec ? "EC" : "RSA");
    return false;
  }
  if (route == kRouteSkf) return ImportSkf(params);
  if (route == kRouteSm2Public) return ImportSm2Public(params);
  if (route == kRouteSoft) return ImportSoft(params);
  if (route == kRouteTokenCheck) {
    std::string pin, what;
    const bool withPin = ReadText(params, kParamKey, &what) && what == "login";
    ReadText(params, kParamPin, &pin);
    PinGuard guard;
    const bool guarded = ReadGuard(params, &guard);
    state_->CheckTokenLogin(withPin ? pin.c_str() : nullptr, guarded ? &guard : nullptr);
    OPENSSL_cleanse(pin.data(), pin.size());
    return false;  // never a key
  }
  return ImportToken(route == kRouteTokenCert, params);
}

bool KeyObject::ImportSkf(const OSSL_PARAM params[]) {
  std::string pin, name;
  ReadText(params, kParamPin, &pin);
  if (!ReadText(params, kParamKey, &name)) {
    ERR_raise_data(ERR_LIB_PROV, ERR_R_PASSED_INVALID_ARGUMENT, "tolmixprov: no key name given");
    return false;
  }
  char bounded[kPinSize] = {};
  memcpy(bounded, pin.data(), std::min(pin.size(), kPinSize - 1));
  OPENSSL_cleanse(pin.data(), pin.size());
  std::shared_ptr<gm::DeviceKey> device = gm::FindKeyByDisplayName(bounded, name.c_str());
  OPENSSL_cleanse(bounded, sizeof bounded);
  if (!device) return false;
  point_ = device->sign_point.empty() ? device->enc_point : device->sign_point;
  device_ = std::move(device);
  kind_ = Kind::kSkf;
  return true;
}

bool KeyObject::ImportSm2Public(const OSSL_PARAM params[]) {
  const OSSL_PARAM* p = OSSL_PARAM_locate_const(params, kParamPoint);
  const void* data = nullptr;
  size_t len = 0;
  if (!p || !OSSL_PARAM_get_octet_string_ptr(p, &data, &len) || len != kSm2PointSize) {
    ERR_raise_data(ERR_LIB_PROV, ERR_R_PASSED_INVALID_ARGUMENT, "tolmixprov: no SM2 point given");
    return false;
  }
  const auto* bytes = static_cast<const unsigned char*>(data);
  std::vector<unsigned char> point(bytes, bytes + len);
  unsigned char z[32];
  if (!gm::Sm2IdentityHash(point, z)) {
    ERR_raise_data(ERR_LIB_PROV, ERR_R_PASSED_INVALID_ARGUMENT,
                   "tolmixprov: the point is not on the SM2 curve");
    return false;
  }
  point_ = std::move(point);
  kind_ = Kind::kSm2Public;
  return true;
}

bool KeyObject::ImportSoft(const OSSL_PARAM params[]) {
  std::string store, container;
  ReadText(params, kParamStore, &store);
  if (!ReadText(params, kParamKey, &container)) container.clear();
  ossl::Ptr<EVP_PKEY> real = capi::ReadContainerPrivateKey(store, container.c_str());
  if (!real || !TakeRsaPublic(real.get())) return false;
  soft_ = std::move(real);
  kind_ = Kind::kSoft;
  return true;
}

bool KeyObject::ImportToken(bool certOnly, const OSSL_PARAM params[]) {
  std::string pin, key;
  ReadText(params, kParamPin, &pin);
  ReadText(params, kParamKey, &key);
  const int kind = key == "2" ? 2 : 1;
  TokenKeyFound found;
  PinGuard guard;
  const bool guarded = ReadGuard(params, &guard);
  const bool ok = state_->FindTokenKey(certOnly ? nullptr : pin.c_str(), kind,
                                       guarded ? &guard : nullptr, &found);
  OPENSSL_cleanse(pin.data(), pin.size());
  if (!ok) return false;
  n_ = std::move(found.n);
  e_ = std::move(found.e);
  cert_ = std::move(found.cert);
  token_ = std::move(found.key);
  kind_ = certOnly ? Kind::kTokenCert : Kind::kToken;
  return true;
}

bool KeyObject::TakeRsaPublic(EVP_PKEY* key) {
  BIGNUM* n = nullptr;
  BIGNUM* e = nullptr;
  if (!EVP_PKEY_is_a(key, "RSA") || !EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_RSA_N, &n) ||
      !EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_RSA_E, &e)) {
    BN_free(n);
    ERR_raise_data(ERR_LIB_PROV, ERR_R_PASSED_INVALID_ARGUMENT, "tolmixprov: not an RSA key");
    return false;
  }
  n_.reset(n);
  e_.reset(e);
  return true;
}

int KeyObject::Bits() const {
  if (IsEc()) return 256;
  return n_ ? BN_num_bits(n_.get()) : 0;
}

int KeyObject::MaxSignatureSize() const {
  if (IsEc()) return 72;  // DER SEQUENCE of two 33-byte INTEGERs
  return n_ ? BN_num_bytes(n_.get()) : 0;
}

bool KeyObject::SignE(const unsigned char (&e)[32], std::vector<unsigned char>* sig) {
  if (kind_ != Kind::kSkf || !device_) {
    ERR_raise_data(ERR_LIB_PROV, ERR_R_OPERATION_FAIL, "tolmixprov: the key cannot sign");
    return false;
  }
  ECDSA_SIG* s = device_->SignE(e);
  if (!s) return false;
  unsigned char* der = nullptr;
  const int len = i2d_ECDSA_SIG(s, &der);
  ECDSA_SIG_free(s);
  if (len <= 0) return false;
  sig->assign(der, der + len);
  OPENSSL_free(der);
  return true;
}

bool KeyObject::SignDigest(const EVP_MD* md, const unsigned char* dgst, size_t len,
                           std::vector<unsigned char>* sig) {
  if (kind_ == Kind::kSoft) {
    ossl::Ptr<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, soft_.get(), nullptr));
    size_t size = 0;
    if (!ctx || EVP_PKEY_sign_init(ctx.get()) <= 0 ||
        EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) <= 0 ||
        (md && EVP_PKEY_CTX_set_signature_md(ctx.get(), md) <= 0) ||
        EVP_PKEY_sign(ctx.get(), nullptr, &size, dgst, len) <= 0) {
      return false;
    }
    sig->resize(size);
    if (EVP_PKEY_sign(ctx.get(), sig->data(), &size, dgst, len) <= 0) return false;
    sig->resize(size);
    return true;
  }
  if (kind_ == Kind::kToken) {
    std::vector<unsigned char> info;
    if (md) {
      // DigestInfo { AlgorithmIdentifier, OCTET STRING digest }
      ossl::Ptr<X509_SIG> di(X509_SIG_new());
      X509_ALGOR* algor = nullptr;
      ASN1_OCTET_STRING* digest = nullptr;
      if (!di) return false;
      X509_SIG_getm(di.get(), &algor, &digest);
      unsigned char* der = nullptr;
      int derLen = 0;
      if (!X509_ALGOR_set0(algor, OBJ_nid2obj(EVP_MD_get_type(md)), V_ASN1_NULL, nullptr) ||
          !ASN1_OCTET_STRING_set(digest, dgst, static_cast<int>(len)) ||
          (derLen = i2d_X509_SIG(di.get(), &der)) <= 0) {
        return false;
      }
      info.assign(der, der + derLen);
      OPENSSL_free(der);
    } else {
      info.assign(dgst, dgst + len);
    }
    return state_->TokenPrivate(token_.get(), true, true, info.data(), info.size(),
                                static_cast<size_t>(MaxSignatureSize()), sig);
  }
  ERR_raise_data(ERR_LIB_PROV, ERR_R_OPERATION_FAIL, "tolmixprov: the key cannot sign");
  return false;
}

bool KeyObject::Decrypt(bool pkcs1, const unsigned char* in, size_t in_len, unsigned char* out,
                        size_t* out_len) {
  if (kind_ == Kind::kSkf) {
    if (!out) {
      *out_len = in_len;  // the plaintext is shorter than its ciphertext
      return true;
    }
    return device_->Decrypt(in, in_len, out, out_len);
  }
  if (kind_ == Kind::kSoft) {
    ossl::Ptr<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, soft_.get(), nullptr));
    return ctx && EVP_PKEY_decrypt_init(ctx.get()) > 0 &&
           EVP_PKEY_CTX_set_rsa_padding(ctx.get(), pkcs1 ? RSA_PKCS1_PADDING : RSA_NO_PADDING) > 0 &&
           EVP_PKEY_decrypt(ctx.get(), out, out_len, in, in_len) > 0;
  }
  if (kind_ == Kind::kToken) {
    const size_t size = static_cast<size_t>(MaxSignatureSize());
    if (!out) {
      *out_len = size;
      return true;
    }
    std::vector<unsigned char> plain;
    if (!state_->TokenPrivate(token_.get(), false, pkcs1, in, in_len, size, &plain)) return false;
    if (plain.size() > *out_len) return false;
    memcpy(out, plain.data(), plain.size());
    *out_len = plain.size();
    OPENSSL_cleanse(plain.data(), plain.size());
    return true;
  }
  ERR_raise_data(ERR_LIB_PROV, ERR_R_OPERATION_FAIL, "tolmixprov: the key cannot decrypt");
  return false;
}

}  // namespace tolmix::keyprov
