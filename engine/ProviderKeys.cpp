// The provider back end of the key layer (engine/KeyRoute.h): the routes'
// keys come from the key provider "tolmixprov" (providers/), loaded once per
// process from the system directory into a library context of its own, so
// that its "EC" and "RSA" never stand in for OpenSSL's: only keys made
// there (with the property query "provider=tolmixprov") reach it.  A key is made with EVP_PKEY_fromdata and the parameters
// of util/KeyProviderParams.h; the provider finds it on its device and
// keeps the device's handle.  Built when CMake picked the provider back end.
#include <cstring>
#include <mutex>
#include <string>

#include <unistd.h>

#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/params.h>
#include <openssl/provider.h>

#include "engine/KeySession.h"
#include "engine/GmProfile.h"
#include "engine/KeyRoute.h"
#include "engine/PinRefusals.h"
#include "platform/DynamicLibrary.h"
#include "platform/Env.h"
#include "platform/Trace.h"
#include "util/KeyProviderParams.h"
#include "util/TokenOutcome.h"

namespace tolmix {
namespace {

constexpr char kGmEngine[] = "gmEngine";
constexpr char kCapiEngine[] = "capi";
constexpr char kPkcs11Engine[] = "pkcs11_rsa_key";

// 加载引擎库%s.dll失败 -- the provider stands in for the route's engine
// module, and its failure to load reads as that module's.
constexpr char kEngineLoadFailed[] = "\xBC\xD3\xD4\xD8\xD2\xFD\xC7\xE6\xBF\xE2%s.dll\xCA\xA7\xB0\xDC";

struct Provider {
  std::mutex mutex;
  std::string path;  // the module the provider was loaded from
  OSSL_LIB_CTX* libctx = nullptr;
  OSSL_PROVIDER* provider = nullptr;
};

Provider& TheProvider() {
  static Provider* p = new Provider;  // kept to the end of the process
  return *p;
}

// The provider's library context.  The module is loaded once per process
// from the system directory, as the engine modules are found there: a
// system directory without it (or another system directory) is looked at
// again, and a failed load is tried again by the next call.  A context
// left behind stays for the keys that may still use it.  Null when the
// module does not load.
OSSL_LIB_CTX* ProviderContext() noexcept {
  Provider& p = TheProvider();
  std::lock_guard lock(p.mutex);
  try {
    const std::string path =
        platform::SystemDir() + "/" + keyprov::kProviderName + platform::SharedLibrarySuffix();
    if (access(path.c_str(), R_OK) != 0) {
      platform::Trace("keys: no key provider %s", path.c_str());
      return nullptr;
    }
    if (p.provider && p.path == path) return p.libctx;
    OSSL_LIB_CTX* libctx = OSSL_LIB_CTX_new();
    if (!libctx) return nullptr;
    // OpenSSL's own provider beside it, for what the key provider does not
    // do itself: writing its keys' public halves (i2d_PUBKEY), for one.
    // The keys are made with the property query "provider=tolmixprov".
    ERR_set_mark();
    OSSL_PROVIDER* provider = OSSL_PROVIDER_load(libctx, "default")
                                  ? OSSL_PROVIDER_load(libctx, path.c_str())
                                  : nullptr;
    ERR_pop_to_mark();
    if (!provider) {
      platform::Trace("keys: the key provider %s does not load", path.c_str());
      OSSL_LIB_CTX_free(libctx);
      return nullptr;
    }
    p.libctx = libctx;
    p.provider = provider;
    p.path = path;
    return p.libctx;
  } catch (...) {
    return nullptr;
  }
}

TokenOutcome LastTokenOutcome() noexcept {
  TokenOutcome outcome;
  Provider& p = TheProvider();
  std::lock_guard lock(p.mutex);
  if (!p.provider) return outcome;
  OSSL_PARAM params[] = {
      OSSL_PARAM_construct_octet_string(keyprov::kParamTokenOutcome, &outcome, sizeof outcome),
      OSSL_PARAM_construct_end()};
  if (!OSSL_PROVIDER_get_params(p.provider, params) || params[0].return_size != sizeof outcome)
    return TokenOutcome{};
  outcome.module[sizeof outcome.module - 1] = '\0';
  return outcome;
}

// A key of the provider: TYPE "EC" or "RSA", PARAMS as KeyProviderParams.h.
ossl::Ptr<EVP_PKEY> MakeKey(const char* type, OSSL_PARAM* params) noexcept {
  OSSL_LIB_CTX* libctx = ProviderContext();
  if (!libctx) return nullptr;
  ossl::Ptr<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new_from_name(libctx, type, keyprov::kPropertyQuery));
  EVP_PKEY* key = nullptr;
  if (!ctx || EVP_PKEY_fromdata_init(ctx.get()) <= 0 ||
      EVP_PKEY_fromdata(ctx.get(), &key, EVP_PKEY_KEYPAIR, params) <= 0) {
    return nullptr;
  }
  return ossl::Ptr<EVP_PKEY>(key);
}

OSSL_PARAM Text(const char* name, const char* value) {
  return OSSL_PARAM_construct_utf8_string(name, const_cast<char*>(value ? value : ""), 0);
}

// The process's memory of refused PINs, handed with every token login.
OSSL_PARAM Guard() {
  return OSSL_PARAM_construct_octet_string(keyprov::kParamPinGuard,
                                           const_cast<PinGuard*>(&ProcessPinGuard()),
                                           sizeof(PinGuard));
}

}  // namespace

ossl::Ptr<EVP_PKEY> KeyRoute::PublicKey(X509* cert) const {
  if (!cert) return nullptr;
  EVP_PKEY* pub = X509_get0_pubkey(cert);
  if (!pub || !gm_profile::IsSm2Key(pub)) return ossl::Ptr<EVP_PKEY>(X509_get_pubkey(cert));
  unsigned char point[65];
  size_t len = 0;
  if (!EVP_PKEY_get_octet_string_param(pub, OSSL_PKEY_PARAM_PUB_KEY, point, sizeof point, &len) ||
      len != sizeof point) {
    return nullptr;
  }
  OSSL_PARAM params[] = {Text(keyprov::kParamRoute, keyprov::kRouteSm2Public),
                         OSSL_PARAM_construct_octet_string(keyprov::kParamPoint, point, len),
                         OSSL_PARAM_construct_end()};
  return MakeKey("EC", params);
}

const EVP_MD* KeyRoute::Digest(int nid) const {
  return kind_ == 'S' && nid == NID_sha1 ? EVP_sm3() : EVP_get_digestbynid(nid);
}

// An SM2 key of the provider checks the digest D of CTX as the SM2
// signature of SM3(Z || D): with no signature digest set, as the engine's
// keys took every digest but SM3.
int KeyRoute::VerifyFinal(EVP_MD_CTX* ctx, const unsigned char* sig, unsigned len,
                          EVP_PKEY* key) const {
  if (!key || !gm_profile::IsSm2Key(key)) return EVP_VerifyFinal(ctx, sig, len, key);
  unsigned char d[EVP_MAX_MD_SIZE];
  unsigned dlen = 0;
  if (!EVP_DigestFinal_ex(ctx, d, &dlen)) return -1;
  ossl::Ptr<EVP_PKEY_CTX> pctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr));
  if (!pctx || EVP_PKEY_verify_init(pctx.get()) <= 0) return -1;
  return EVP_PKEY_verify(pctx.get(), sig, len, d, dlen);
}

void KeyRoute::SetFlag(int, bool) const {}

// No engines to release: the provider and its library context stay for the
// process; keys made there release their device handles when freed.
void KeySession::ReleaseEngines() noexcept {
  HoldDevices();
  m_devicesLock.unlock();
}

int KeySession::BringUpRoute(const char* module, KeyRoute* route) noexcept {
  HoldDevices();
  // PKCS#7 names a signer by (digest, key type); OpenSSL knows SM3 only
  // with SM2-typed keys, and the provider's SM2 keys are EC-typed.
  gm_profile::AddSm3EcSignatureId();
  if (!ProviderContext()) {
    FormatError(kEngineLoadFailed, module);
    return -1;
  }
  *route = KeyRoute::Up(strcmp(module, kCapiEngine) == 0 ? 'C' : strcmp(module, kGmEngine) == 0 ? 'S' : 'P');
  return 0;
}

ossl::Ptr<EVP_PKEY> KeySession::LoadRouteKey(const KeyRoute& route, const char* keyId,
                                             const char* store) noexcept {
  if (!route) return nullptr;
  const bool soft = route.kind() == 'C';
  OSSL_PARAM params[] = {Text(keyprov::kParamRoute, soft ? keyprov::kRouteSoft : keyprov::kRouteSkf),
                         Text(keyprov::kParamKey, keyId),
                         Text(soft ? keyprov::kParamStore : keyprov::kParamPin, soft ? store : m_szPin),
                         OSSL_PARAM_construct_end()};
  return MakeKey(soft ? "RSA" : "EC", params);
}

int KeySession::LoadP11Key(KeyRoute* route, ossl::Ptr<X509>* cert, ossl::Ptr<EVP_PKEY>* key,
                           TokenOutcome* outcome) noexcept {
  KeyRoute r;
  if (BringUpRoute(kPkcs11Engine, &r) != 0) return -1;
  const char kind[2] = {m_nKeyKind == kSignatureKey ? '2' : '1', '\0'};
  OSSL_PARAM params[] = {Text(keyprov::kParamRoute, keyprov::kRouteToken),
                         Text(keyprov::kParamKey, kind), Text(keyprov::kParamPin, m_szPin),
                         Guard(), OSSL_PARAM_construct_end()};
  ossl::Ptr<EVP_PKEY> k = MakeKey("RSA", params);
  *outcome = LastTokenOutcome();
  if (!k) return 1;
  unsigned char der[kCertDerSize];
  size_t len = 0;
  if (!EVP_PKEY_get_octet_string_param(k.get(), keyprov::kParamCert, der, sizeof der, &len)) return 1;
  const unsigned char* p = der;
  ossl::Ptr<X509> c(d2i_X509(nullptr, &p, static_cast<long>(len)));
  if (!c) return 1;
  *cert = std::move(c);
  *key = std::move(k);
  *route = std::move(r);
  return 0;
}

int KeySession::CheckP11Token(bool login, TokenOutcome* outcome) noexcept {
  char saved[kErrorTextSize];
  memcpy(saved, m_szError, sizeof saved);
  KeyRoute r;
  if (BringUpRoute(kPkcs11Engine, &r) != 0) return -1;
  memcpy(m_szError, saved, sizeof saved);
  OSSL_PARAM params[] = {Text(keyprov::kParamRoute, keyprov::kRouteTokenCheck),
                         Text(keyprov::kParamPin, login ? m_szPin : nullptr),
                         Text(keyprov::kParamKey, login ? "login" : "choice"), Guard(),
                         OSSL_PARAM_construct_end()};
  ERR_set_mark();
  MakeKey("RSA", params);  // never a key: the check's answer is the outcome
  ERR_pop_to_mark();
  *outcome = LastTokenOutcome();
  return 0;
}

int KeySession::ReadP11Cert(int kind, ossl::Ptr<X509>* cert) noexcept {
  KeyRoute r;
  if (BringUpRoute(kPkcs11Engine, &r) != 0) return -1;
  const char k[2] = {kind == kSignatureKey ? '2' : '1', '\0'};
  OSSL_PARAM params[] = {Text(keyprov::kParamRoute, keyprov::kRouteTokenCert),
                         Text(keyprov::kParamKey, k), OSSL_PARAM_construct_end()};
  ossl::Ptr<EVP_PKEY> key = MakeKey("RSA", params);
  unsigned char der[kCertDerSize];
  size_t len = 0;
  if (!key || !EVP_PKEY_get_octet_string_param(key.get(), keyprov::kParamCert, der, sizeof der, &len))
    return 1;
  const unsigned char* p = der;
  cert->reset(d2i_X509(nullptr, &p, static_cast<long>(len)));
  return *cert ? 0 : 1;
}

}  // namespace tolmix
