// The ENGINE back end of the key layer (engine/KeyRoute.h): the routes'
// keys come from the OpenSSL engine modules "gmEngine", "capi" and
// "pkcs11_rsa_key", brought up through the dynamic engine
// (ProviderBringUp.cpp) and released by the engine sweep (CMSEngine.cpp).
// Built when CMake picked the engine back end.
#include <cstring>
#include <string>

#include <openssl/engine.h>
#include <openssl/err.h>

#include "engine/CMSEngine.h"
#include "engine/EngineSlots.h"
#include "engine/KeyRoute.h"
#include "engine/PinRefusals.h"
#include "platform/DynamicLibrary.h"
#include "platform/Env.h"
#include "util/FixedText.h"
#include "util/TokenOutcome.h"

namespace tolmix {
namespace {

constexpr char kCapiEngine[] = "capi";
constexpr char kGmEngine[] = "gmEngine";
constexpr char kPkcs11Engine[] = "pkcs11_rsa_key";
constexpr char kReadCert[] = "READCERT";

// The engines that LoadDynamicEngine brings up from the system folder.  The
// clean-up touches only these: OpenSSL 3.0 lists its built-in engines
// ("dynamic" among them) once per process, so removing one of those would
// make it unavailable to every later call.
constexpr const char* kModuleEngineIds[] = {"capi", "pkcs11_rsa_key", "gmEngine"};

// 加载引擎库%s.dll失败
constexpr char kEngineLoadFailed[] = "\xBC\xD3\xD4\xD8\xD2\xFD\xC7\xE6\xBF\xE2%s.dll\xCA\xA7\xB0\xDC";
// 初始化引擎库%s.dll失败
constexpr char kEngineInitFailed[] =
    "\xB3\xF5\xCA\xBC\xBB\xAF\xD2\xFD\xC7\xE6\xBF\xE2%s.dll\xCA\xA7\xB0\xDC";
// Module paths (engine modules and PKCS#11 modules) are held in 256 bytes:
// a path of more than 255 bytes is refused as a module that does not load.
constexpr size_t kModulePathSize = 256;

// Forms "<system dir>/<name><suffix>" into OUT.  False when it does not fit
// (OUT then holds the cut path, for the message) or memory ran out.
bool ModulePath(char (&out)[kModulePathSize], const char* name, const char* suffix) noexcept {
  out[0] = '\0';
  try {
    std::string path = platform::SystemDir() + "/" + name + suffix;
    CopyBounded(out, path);
    return path.size() < kModulePathSize;
  } catch (...) {
    return false;
  }
}


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

// ---- Engine modules (the rule of CMSEngine.h, "Provider bring-up") ----

int CMSEngine::LoadDynamicEngine(const char* name) noexcept {
  if (!name) name = "";
  HoldDevices();
  // The fixed ex_data slots must be reserved before the dynamic engine takes
  // its own index, or slot 2 could overwrite the loaded module's context.
  if (!EnsureEngineSlots()) {
    FormatError(kEngineLoadFailed, name);
    return -1;
  }
  ENGINE_load_dynamic();
  // "dynamic" is copied on lookup: this handle becomes the loaded engine.
  ossl::Ptr<ENGINE> engine(ENGINE_by_id("dynamic"));
  if (!engine) return 0;

  char path[kModulePathSize];
  if (!ModulePath(path, name, platform::SharedLibrarySuffix())) {
    FormatError(kEngineLoadFailed, name);
    return -1;
  }
  // An engine of this name that this object already brought up is used
  // again.  OpenSSL 1.0 loaded the module a second time but kept the first
  // engine on the list, so ENGINE_by_id found the first one anyway; 3.0
  // refuses to bind a module whose engine is still alive (a key may hold
  // it).  Put back on the list in case a sweep took it off.
  size_t free_slots = 0;
  for (auto& slot : m_apEngines) {
    if (!slot) {
      ++free_slots;
      continue;
    }
    const char* id = ENGINE_get_id(slot.get());
    if (id && strcmp(id, name) == 0) {
      ERR_set_mark();
      ENGINE_add(slot.get());  // fails harmlessly when it is still listed
      ERR_pop_to_mark();
      return 0;
    }
  }
  if (free_slots == 0) {
    FormatError(kEngineLoadFailed, name);
    return -1;
  }

  ENGINE_ctrl_cmd_string(engine.get(), "LIST_ADD", "1", 0);  // not checked
  if (!ENGINE_ctrl_cmd_string(engine.get(), "SO_PATH", path, 0) ||
      !ENGINE_ctrl_cmd_string(engine.get(), "LOAD", nullptr, 0)) {
    FormatError(kEngineLoadFailed, name);
    return -1;  // the dynamic copy is freed with its context
  }
  if (!ENGINE_init(engine.get())) {
    // Off the tables and the list; freeing the lookup reference then frees
    // the engine and unloads its module.
    UnlistEngine(engine.get());
    FormatError(kEngineInitFailed, name);
    return -1;
  }
  KeepEngine(engine.get());  // a slot is free: checked above
  return 0;                  // the lookup reference goes with ENGINE
}

ossl::Ptr<ENGINE> CMSEngine::FindListedEngine(const char* id) noexcept {
  if (!id) return nullptr;
  // ENGINE_get_next releases the reference to the engine it is handed and
  // returns the next one with a new reference, so E always holds exactly one.
  for (ENGINE* e = ENGINE_get_first(); e; e = ENGINE_get_next(e)) {
    const char* eid = ENGINE_get_id(e);
    if (eid && strcmp(eid, id) == 0) return ossl::Ptr<ENGINE>(e);
  }
  return nullptr;
}

// OpenSSL 1.0's ENGINE_cleanup emptied the engine list and every default-
// method table; in 3.0 it is an empty macro and the library keeps both until
// the process ends.  Here the system's own module engines are taken out of
// the method tables (which drops the references the tables hold) and out of
// the engine list (which drops the list's reference).  An engine is freed,
// and its module unloaded, once nobody else holds a reference to it; an
// engine still referenced by a live key stays alive off the list.
void CMSEngine::CleanupEngines() noexcept {
  for (const char* id : kModuleEngineIds) {
    ossl::Ptr<ENGINE> e = FindListedEngine(id);
    if (e) UnlistEngine(e.get());
  }
}

void CMSEngine::UnlistEngine(ENGINE* e) noexcept {
  ENGINE_unregister_RSA(e);
  ENGINE_unregister_DSA(e);
  ENGINE_unregister_EC(e);
  ENGINE_unregister_DH(e);
  ENGINE_unregister_RAND(e);
  ENGINE_unregister_ciphers(e);
  ENGINE_unregister_digests(e);
  ENGINE_unregister_pkey_meths(e);
  ENGINE_unregister_pkey_asn1_meths(e);
  // An engine whose id was already listed when it loaded was never added;
  // ENGINE_remove then only queues an error, which is dropped again.
  ERR_set_mark();
  ENGINE_remove(e);
  ERR_pop_to_mark();
}

void CMSEngine::ReleaseEngineAt(size_t i) noexcept {
  if (i >= kMaxEngines || !m_apEngines[i]) return;
  UnlistEngine(m_apEngines[i].get());
  // ENGINE_finish runs the engine's finish function and drops the last
  // reference: the engine is freed and its module unloaded, unless a key
  // or a caller's lookup still holds it.
  m_apEngines[i].reset();
}

bool CMSEngine::KeepEngine(ENGINE* e) noexcept {
  for (auto& slot : m_apEngines) {
    if (!slot) {
      slot.reset(e);
      return true;
    }
  }
  return false;
}

void CMSEngine::ReleaseEngines() noexcept {
  HoldDevices();  // the sweep reaches other objects' engines too
  for (size_t i = 0; i < kMaxEngines; ++i) ReleaseEngineAt(i);
  CleanupEngines();
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

int CMSEngine::BringUpRoute(const char* module, KeyRoute* route) noexcept {
  if (LoadDynamicEngine(module) != 0) return -1;
  ossl::Ptr<ENGINE> e = FindListedEngine(module);
  if (!e) return -1;
  *route = KeyRoute(std::move(e));
  return 0;
}

ossl::Ptr<EVP_PKEY> CMSEngine::LoadRouteKey(const KeyRoute& route, const char* keyId,
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

int CMSEngine::LoadP11Key(KeyRoute* route, ossl::Ptr<X509>* cert, ossl::Ptr<EVP_PKEY>* key,
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

int CMSEngine::CheckP11Token(bool login, TokenOutcome* outcome) noexcept {
  char saved[kErrorTextSize];
  memcpy(saved, m_szError, sizeof saved);
  if (LoadDynamicEngine(kPkcs11Engine) != 0) return -1;
  memcpy(m_szError, saved, sizeof saved);  // loaded: that message is not this check's
  ossl::Ptr<ENGINE> e = FindListedEngine(kPkcs11Engine);
  if (!e) return -1;
  HandPinGuard(e.get());
  ENGINE_ctrl_cmd(e.get(), "CHECK_LOGIN", 0, login ? m_szPin : nullptr, nullptr, 0);
  *outcome = LastOutcome(e.get());
  // The PIN check leaves no module loaded (another object of this thread
  // could not load the engine module while this one holds it); the choice
  // alone, made by the SKF probe, keeps it for the key load that follows.
  if (login) {
    e.reset();
    for (size_t i = 0; i < kMaxEngines; ++i) {
      const char* id = m_apEngines[i] ? ENGINE_get_id(m_apEngines[i].get()) : nullptr;
      if (id && strcmp(id, kPkcs11Engine) == 0) ReleaseEngineAt(i);
    }
  }
  return 0;
}

int CMSEngine::ReadP11Cert(int kind, ossl::Ptr<X509>* cert) noexcept {
  // The certificate alone, without a login: the PIN is not handed over.
  KeyRoute r;
  if (BringUpRoute(kPkcs11Engine, &r) != 0) return -1;
  ENGINE_set_ex_data(r.engine(), kEngineSlotReadCert, const_cast<char*>(kReadCert));
  ossl::Ptr<EVP_PKEY> k;
  return LoadClientCert(r.engine(), &kind, cert, &k) ? 0 : 1;
}


}  // namespace tolmix
