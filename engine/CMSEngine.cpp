// CMSEngine: construction, destruction, accessors, error text and the
// OpenSSL engine clean-up.
#include "engine/CMSEngine.h"

#include <cstdarg>
#include <cstring>
#include <new>

#include <openssl/crypto.h>
#include <openssl/engine.h>
#include <openssl/err.h>

#include "engine/EngineSlots.h"

namespace tolmix {
namespace {

constexpr char kLogFileName[] = "keyapi.log";

// The engines that LoadDynamicEngine brings up from the system folder.  The
// clean-up touches only these: OpenSSL 3.0 lists its built-in engines
// ("dynamic" among them) once per process, so removing one of those would
// make it unavailable to every later call.
constexpr const char* kModuleEngineIds[] = {"capi", "pkcs11_rsa_key", "gmEngine"};

}  // namespace

CMSEngine::CMSEngine() {
  try {
    m_pLog.reset(new (std::nothrow) CEngineLog(kLogFileName));
  } catch (...) {
    m_pLog.reset();  // no logger: every log write is skipped
  }
  // OpenSSL 1.0 needed ERR_load_crypto_strings and OpenSSL_add_all_algorithms
  // here.  3.0 loads error strings and registers every cipher and digest on
  // first use; the explicit call keeps that moment here, and is a no-op once
  // done.  A failure leaves OpenSSL as it was: the operations then report
  // their own failures.
  OPENSSL_init_crypto(OPENSSL_INIT_LOAD_CRYPTO_STRINGS | OPENSSL_INIT_ADD_ALL_CIPHERS |
                          OPENSSL_INIT_ADD_ALL_DIGESTS,
                      nullptr);
  // Reserve the fixed application-data slots before anything in this
  // process can take an ENGINE index; the loading paths check the answer.
  EnsureEngineSlots();
}

// Order: the logger; the key and the certificate; the verified content; the
// engines this object initialised (among them "pkcs11_rsa_key", whose
// lookup and ENGINE_init references the system released here: the lookup
// reference is now LoadDynamicEngine's own to drop) and the module-engine
// sweep; the error queue (the operation's OpenSSL errors must not reach the
// next call on this thread); last the PIN, wiped so that it does not linger
// in freed stack or heap memory (the engines, which hold a pointer to it in
// slot 2, are gone by then).  The key goes before the engines because a key
// loaded through an engine holds a reference to it.  ReleaseKeyAndCert keeps
// the PIN: every key-using operation runs it before the PIN is used.
CMSEngine::~CMSEngine() {
  m_pLog.reset();
  m_pKey.reset();
  m_pCert.reset();
  m_pContent.reset();
  ReleaseEngines();
  ERR_clear_error();
  OPENSSL_cleanse(m_szPin, sizeof m_szPin);
}

void CMSEngine::SetInterface(const char* name) noexcept { CopyBounded(m_szInterfaceName, name); }

int CMSEngine::SetPassword(const char* pin) noexcept {
  CopyBounded(m_szPin, pin);
  return 0;
}

int CMSEngine::GetCertText(char* out, size_t size) const noexcept {
  if (!out) return -1;
  CopyBounded(out, size, m_szCertText);
  return 0;
}

int CMSEngine::GetErrorText(char* out, size_t size) const noexcept {
  if (!out) return -1;
  CopyBounded(out, size, m_szError);
  return 0;
}

void CMSEngine::ReleaseKeyAndCert() noexcept {
  m_pKey.reset();
  m_pCert.reset();
  ReleaseEngines();
}

void CMSEngine::SetError(const char* message) noexcept { CopyBounded(m_szError, message); }

void CMSEngine::FormatError(const char* format, ...) noexcept {
  va_list ap;
  va_start(ap, format);
  int r = vsnprintf(m_szError, sizeof m_szError, format, ap);
  va_end(ap);
  if (r < 0) m_szError[0] = '\0';
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

void CMSEngine::HoldDevices() noexcept {
  static std::recursive_mutex devices;
  if (!m_devicesLock.owns_lock()) m_devicesLock = std::unique_lock(devices);
}

void CMSEngine::ReleaseEngines() noexcept {
  HoldDevices();  // the sweep reaches other objects' engines too
  for (size_t i = 0; i < kMaxEngines; ++i) ReleaseEngineAt(i);
  CleanupEngines();
  m_devicesLock.unlock();
}

}  // namespace tolmix
