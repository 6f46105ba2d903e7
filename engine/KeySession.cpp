// KeySession: construction, destruction, accessors, error text and the
// devices lock.
#include "engine/KeySession.h"

#include <cstdarg>
#include <cstring>
#include <new>

#include <openssl/crypto.h>
#include <openssl/err.h>

#if TOLMIX_KEYS_ENGINE
#include "engine/EngineSlots.h"
#endif

namespace tolmix {
namespace {

constexpr char kLogFileName[] = "keyapi.log";


}  // namespace

KeySession::KeySession() {
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
#if TOLMIX_KEYS_ENGINE
  // Reserve the fixed application-data slots before anything in this
  // process can take an ENGINE index; the loading paths check the answer.
  EnsureEngineSlots();
#endif
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
KeySession::~KeySession() {
  m_pLog.reset();
  m_pKey.reset();
  m_pCert.reset();
  m_pContent.reset();
  ReleaseEngines();
  ERR_clear_error();
  OPENSSL_cleanse(m_szPin, sizeof m_szPin);
}

void KeySession::SetInterface(const char* name) noexcept { CopyBounded(m_szInterfaceName, name); }

int KeySession::SetPassword(const char* pin) noexcept {
  CopyBounded(m_szPin, pin);
  return 0;
}

int KeySession::GetCertText(char* out, size_t size) const noexcept {
  if (!out) return -1;
  CopyBounded(out, size, m_szCertText);
  return 0;
}

int KeySession::GetErrorText(char* out, size_t size) const noexcept {
  if (!out) return -1;
  CopyBounded(out, size, m_szError);
  return 0;
}

void KeySession::ReleaseKeyAndCert() noexcept {
  m_pKey.reset();
  m_pCert.reset();
  ReleaseEngines();
}

void KeySession::SetError(const char* message) noexcept { CopyBounded(m_szError, message); }

void KeySession::FormatError(const char* format, ...) noexcept {
  va_list ap;
  va_start(ap, format);
  int r = vsnprintf(m_szError, sizeof m_szError, format, ap);
  va_end(ap);
  if (r < 0) m_szError[0] = '\0';
}

void KeySession::HoldDevices() noexcept {
  static std::recursive_mutex devices;
  if (!m_devicesLock.owns_lock()) m_devicesLock = std::unique_lock(devices);
}

}  // namespace tolmix
