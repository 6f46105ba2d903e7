// The ENGINE back end of the key layer (engine/KeyRoute.h): the routes'
// keys come from the OpenSSL engine modules "gmEngine", "capi" and
// "pkcs11_rsa_key", brought up through the dynamic engine and released by
// the engine sweep (engine/EngineModules.h).
// Built when CMake picked the engine back end.
#include <cstring>
#include <string>

#include <openssl/engine.h>
#include <openssl/err.h>

#include "engine/KeySession.h"
#include "engine/EngineModules.h"
#include "engine/EngineSlots.h"
#include "engine/KeyRoute.h"
#include "engine/PinRefusals.h"
#include "util/FixedText.h"
#include "util/TokenOutcome.h"

namespace tolmix {
namespace {

constexpr char kCapiEngine[] = "capi";
constexpr char kGmEngine[] = "gmEngine";
constexpr char kPkcs11Engine[] = "pkcs11_rsa_key";
constexpr char kReadCert[] = "READCERT";

// 加载引擎库%s.dll失败
constexpr char kEngineLoadFailed[] = "\xBC\xD3\xD4\xD8\xD2\xFD\xC7\xE6\xBF\xE2%s.dll\xCA\xA7\xB0\xDC";
// 初始化引擎库%s.dll失败
constexpr char kEngineInitFailed[] =
    "\xB3\xF5\xCA\xBC\xBB\xAF\xD2\xFD\xC7\xE6\xBF\xE2%s.dll\xCA\xA7\xB0\xDC";
// ENGINE_load_ssl_client_cert as the "pkcs11_rsa_key" route calls it: no
// SSL object, CA list, extra certificates or UI method; KIND as callback
// data.  True only when the engine answered and returned both objects.
bool LoadClientCert(ENGINE* e, int* kind, ossl::Ptr<X509>* cert, ossl::Ptr<EVP_PKEY>* key) {
  X509* c = nullptr;
  EVP_PKEY* k = nullptr;
  int ok = ENGINE_load_ssl_client_cert(e, nullptr, nullptr, &c, &k, nullptr, nullptr, kind);
  cert->reset(c);
  key->reset(k);
  return ok != 0 && *cert && *key;
}

TokenOutcome LastOutcome(ENGINE* e) {
  TokenOutcome outcome;
  if (!ENGINE_ctrl_cmd(e, "LAST_OUTCOME", 0, &outcome, nullptr, 0)) outcome.step = TokenOutcome::kNone;
  outcome.module[sizeof outcome.module - 1] = '\0';
  return outcome;
}

}  // namespace

// ---- Engine modules (engine/EngineModules.h) ----

int KeySession::LoadDynamicEngine(const char* name) noexcept {
  if (!name) name = "";
  HoldDevices();
  switch (m_engines.Load(name)) {
    case EngineModules::LoadResult::kReady:
      return 0;
    case EngineModules::LoadResult::kInitFailed:
      FormatError(kEngineInitFailed, name);
      return -1;
    case EngineModules::LoadResult::kLoadFailed:
      break;
  }
  FormatError(kEngineLoadFailed, name);
  return -1;
}

void KeySession::ReleaseEngines() noexcept {
  HoldDevices();  // the sweep reaches other objects' engines too
  m_engines.ReleaseAll();
  m_devicesLock.unlock();
}

// ---- The route handle and the routes ----

ossl::Ptr<EVP_PKEY> KeyRoute::PublicKey(X509* cert) const {
  return ossl::Ptr<EVP_PKEY>(engine_ && cert ? ENGINE_load_public_key(engine_.get(), nullptr, nullptr, cert)
                                              : nullptr);
}

// While "gmEngine" is up its digest answers for SHA-1 from OpenSSL's
// default-method tables: the name is enough.
const EVP_MD* KeyRoute::Digest(int nid) const { return EVP_get_digestbynid(nid); }

int KeyRoute::VerifyFinal(EVP_MD_CTX* ctx, const unsigned char* sig, unsigned len,
                          EVP_PKEY* key) const {
  return EVP_VerifyFinal(ctx, sig, len, key);
}

void KeyRoute::SetFlag(int slot, bool on) const {
  static char kOn[] = "1";
  static char kOff[] = "0";
  if (engine_) ENGINE_set_ex_data(engine_.get(), slot, on ? kOn : kOff);
}

int KeySession::BringUpRoute(const char* module, KeyRoute* route) noexcept {
  if (LoadDynamicEngine(module) != 0) return -1;
  ossl::Ptr<ENGINE> e = EngineModules::FindListedEngine(module);
  if (!e) return -1;
  *route = KeyRoute(std::move(e));
  return 0;
}

ossl::Ptr<EVP_PKEY> KeySession::LoadRouteKey(const KeyRoute& route, const char* keyId,
                                             const char* store) noexcept {
  ENGINE* e = route.engine();
  if (!e) return nullptr;
  ossl::InitializedEngine initialised;  // the "capi" route's own ENGINE_init
  const char* id = ENGINE_get_id(e);
  if (id && strcmp(id, kCapiEngine) == 0) {
    // Released when this call returns; the key keeps its own reference.
    if (ENGINE_init(e)) initialised.reset(e);
    // Provider; look the key up by its container name; the exchange slot.
    // The engine's answers are not checked: the key load decides.
    ENGINE_ctrl_cmd_string(e, "csp_name", store, 0);
    ENGINE_ctrl_cmd_string(e, "lookup_method", "3", 0);
    ENGINE_ctrl_cmd_string(e, "key_type", "1", 0);
  } else {
    ENGINE_set_ex_data(e, kEngineSlotPin, m_szPin);
  }
  return ossl::Ptr<EVP_PKEY>(ENGINE_load_private_key(e, keyId, nullptr, nullptr));
}

int KeySession::LoadP11Key(KeyRoute* route, ossl::Ptr<X509>* cert, ossl::Ptr<EVP_PKEY>* key,
                           TokenOutcome* outcome) noexcept {
  KeyRoute r;
  if (BringUpRoute(kPkcs11Engine, &r) != 0) return -1;
  HandPinGuard(r.engine());
  ENGINE_set_ex_data(r.engine(), kEngineSlotPin, m_szPin);
  if (!LoadClientCert(r.engine(), &m_nKeyKind, cert, key)) {
    *outcome = LastOutcome(r.engine());
    return 1;
  }
  *route = std::move(r);
  return 0;
}

int KeySession::CheckP11Token(bool login, TokenOutcome* outcome) noexcept {
  char saved[kErrorTextSize];
  memcpy(saved, m_szError, sizeof saved);
  if (LoadDynamicEngine(kPkcs11Engine) != 0) return -1;
  memcpy(m_szError, saved, sizeof saved);  // loaded: that message is not this check's
  ossl::Ptr<ENGINE> e = EngineModules::FindListedEngine(kPkcs11Engine);
  if (!e) return -1;
  HandPinGuard(e.get());
  ENGINE_ctrl_cmd(e.get(), "CHECK_LOGIN", 0, login ? m_szPin : nullptr, nullptr, 0);
  *outcome = LastOutcome(e.get());
  // The PIN check leaves no module loaded (another object of this thread
  // could not load the engine module while this one holds it); the choice
  // alone, made by the SKF probe, keeps it for the key load that follows.
  if (login) {
    e.reset();
    m_engines.ReleaseNamed(kPkcs11Engine);
  }
  return 0;
}

int KeySession::ReadP11Cert(int kind, ossl::Ptr<X509>* cert) noexcept {
  // The certificate alone, without a login: the PIN is not handed over.
  KeyRoute r;
  if (BringUpRoute(kPkcs11Engine, &r) != 0) return -1;
  ENGINE_set_ex_data(r.engine(), kEngineSlotReadCert, const_cast<char*>(kReadCert));
  ossl::Ptr<EVP_PKEY> k;
  return LoadClientCert(r.engine(), &kind, cert, &k) ? 0 : 1;
}


}  // namespace tolmix
