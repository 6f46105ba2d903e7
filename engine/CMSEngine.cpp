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

constexpr char kPkcs11EngineId[] = "pkcs11_rsa_key";

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
// "pkcs11_rsa_key" engine's references; the error queue (the operation's
// OpenSSL errors must not reach the next call on this thread); the global
// engine clean-up.  The key goes before the engines because a key loaded
// through an engine holds a reference to it.
CMSEngine::~CMSEngine() {
  m_pLog.reset();
  m_pKey.reset();
  m_pCert.reset();
  m_pContent.reset();
  ReleasePkcs11Engine();
  ERR_clear_error();
  CleanupEngines();
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
  CleanupEngines();
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
    if (!e) continue;
    ENGINE_unregister_RSA(e.get());
    ENGINE_unregister_DSA(e.get());
    ENGINE_unregister_EC(e.get());
    ENGINE_unregister_DH(e.get());
    ENGINE_unregister_RAND(e.get());
    ENGINE_unregister_ciphers(e.get());
    ENGINE_unregister_digests(e.get());
    ENGINE_unregister_pkey_meths(e.get());
    ENGINE_unregister_pkey_asn1_meths(e.get());
    ENGINE_remove(e.get());
  }
}

// LoadDynamicEngine leaves a "pkcs11_rsa_key" engine listed with one
// ENGINE_init reference and never lists one that failed to initialise.  The
// lookup here takes a structural reference; releasing "twice" is that one
// (ENGINE_free) and the ENGINE_init one (ENGINE_finish, which runs the
// engine's finish function and drops the structural part too).  The list's
// own reference goes with CleanupEngines.  The lookup never loads a module,
// so a call that brought up no such engine does nothing here.
void CMSEngine::ReleasePkcs11Engine() noexcept {
  ossl::Ptr<ENGINE> e = FindListedEngine(kPkcs11EngineId);
  if (!e) return;
  ENGINE_finish(e.get());
}

}  // namespace tolmix
