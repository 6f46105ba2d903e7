// KeySession: the key half of the per-call crypto engine (CMSEngine, which
// adds the operations): the interface selector, the PIN, the certificate
// and error texts, the devices lock, and the loading of the user's key and
// certificate through the key back end that CMake picked (engine/KeyRoute.h:
// the engine modules, engine/EngineModules.h, or the key provider).
//
// A control method builds one engine on its stack, hands it the interface
// selector ("CSP", "P11", "SKF") and, where a private key is used, the PIN,
// runs exactly one operation, copies the result or the error text out, and
// destroys the engine.  Nothing survives from one call to the next except
// OpenSSL's global state and the log file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "engine/EngineLog.h"
#if TOLMIX_KEYS_ENGINE
#include "engine/EngineModules.h"
#endif
#include "engine/KeyRoute.h"
#include "engine/OsslPtr.h"
#include "util/FixedText.h"
#include "util/TokenOutcome.h"

namespace tolmix {

class KeySession {
 public:
  // Field sizes, with the NUL.  Callers size their buffers from these.
  static constexpr size_t kInterfaceNameSize = 256;
  static constexpr size_t kCertTextSize = 8192;
  static constexpr size_t kCertDerSize = 8192;
  static constexpr size_t kCertNameSize = 512;
  static constexpr size_t kPinSize = 32;
  static constexpr size_t kErrorTextSize = 512;

  // Key kinds (m_nKeyKind).
  static constexpr int kExchangeKey = 1;   // encryption key pair and certificate
  static constexpr int kSignatureKey = 2;  // signature key pair and certificate

  // Zero-fills every field, sets the key kind to kExchangeKey, creates the
  // logger of "keyapi.log" (none when that fails: logging is then skipped)
  // and makes OpenSSL ready: error strings loaded, all ciphers and digests
  // findable by name and by identifier.
  KeySession();

  // Frees everything the engine holds and cleans up the OpenSSL engines the
  // call brought up (see KeySession.cpp for the order).
  virtual ~KeySession();

  KeySession(const KeySession&) = delete;
  KeySession& operator=(const KeySession&) = delete;

  // ---- Interface selector, PIN, results (KeySession.cpp) ----
  //
  // Texts too long for their field are cut, never overflowed: SetInterface
  // keeps 255 bytes, SetPassword 31.  A cut PIN or selector would be a
  // different one, so callers that must refuse instead check FitsInterface /
  // FitsPin first (the control refuses such texts).  Null means empty.

  static bool FitsInterface(const char* text) noexcept { return FitsField<kInterfaceNameSize>(text); }
  static bool FitsPin(const char* text) noexcept { return FitsField<kPinSize>(text); }

  // Sets the interface selector (copied, cut to 255 bytes).
  void SetInterface(const char* name) noexcept;

  // Sets the device PIN (copied, cut to 31 bytes).  Returns 0.
  int SetPassword(const char* pin) noexcept;

  // Copies the certificate text (PEM of the certificate last obtained) into
  // OUT of SIZE bytes, cut to fit.  Returns 0, or -1 when OUT is null.
  int GetCertText(char* out, size_t size) const noexcept;
  template <size_t N>
  int GetCertText(char (&out)[N]) const noexcept {
    static_assert(N >= kCertTextSize, "certificate text needs 8192 bytes");
    return GetCertText(out, N);
  }

  // Copies the error text of the last failure ("" on a fresh engine) into
  // OUT of SIZE bytes, cut to fit.  Returns 0, or -1 when OUT is null.
  int GetErrorText(char* out, size_t size) const noexcept;
  template <size_t N>
  int GetErrorText(char (&out)[N]) const noexcept {
    static_assert(N >= kErrorTextSize, "error text needs 512 bytes");
    return GetErrorText(out, N);
  }

  // The content extracted by the last successful verification, or null.  The
  // engine keeps ownership; the text lives until the engine is destroyed or
  // the next verification.
  const char* GetVerifiedContent() const noexcept { return m_pContent.get(); }

  // Frees the private key and the certificate, then runs the global engine
  // clean-up (ReleaseEngines).  Every key-using operation runs it first.
  void ReleaseKeyAndCert() noexcept;

#if TOLMIX_KEYS_ENGINE
  // ---- Engine modules (EngineKeys.cpp; the engine back end only) ----

  // LoadDynamicEngine brings up the engine module NAME (file "<NAME>.so" in
  // platform::SystemDir(); EngineModules::Load, whose reference rule every
  // engine operation follows).  Returns 0 when it is ready, or when OpenSSL
  // has no dynamic engine (then nothing happens: a later ENGINE_by_id
  // decides); -1 with "加载引擎库<NAME>.dll失败" when the module does not
  // load (also for a module path over 255 bytes, fixed slots that could not
  // be reserved, or more than EngineModules::kMaxEngines engines in one
  // object), or "初始化引擎库<NAME>.dll失败" when it does not initialise.
  int LoadDynamicEngine(const char* name) noexcept;
#endif  // TOLMIX_KEYS_ENGINE

  // ---- PKCS#11 PIN check (ProviderBringUp.cpp) ----

  // LoginP11Device checks the PIN on the PKCS#11 token that a key load
  // would use: the first candidate token of the modules listed in
  // P11_SKF.ini (docs/devices.md, "Which PKCS#11 token"), chosen and logged
  // into by the "pkcs11_rsa_key" engine.  Returns 0 on a good login;
  // C_Login's CKR value when the token refuses (e.g. CKR_PIN_INCORRECT
  // 0xA0) with "登录UKEY失败,...", or CKR_PIN_LOCKED with the locked
  // message; -1 for an empty PIN ("密码为空,请输入密码!") and every other
  // failure.  A missing list file, a DeviceCount that is not a positive
  // number and an empty DLLName leave the error text unchanged.
  int LoginP11Device() noexcept;

  // SetPassword(PIN), then LoginP11Device.
  int SetPasswordAndLoginP11(const char* pin) noexcept;

  // P11TokenPresent makes LoginP11Device's choice and tells whether a
  // token is a candidate.  No PIN is presented; the error text is left as
  // it was.
  bool P11TokenPresent() noexcept;


  // ---- Key and certificate loading (KeyLoading.cpp) ----

  // ProbeSkfCert reads the certificate of the key kind (m_nKeyKind 2: the
  // signature certificate, else the encryption one) from the first container
  // that has one on the first SKF key of GM_SKF.ini, logging in with
  // m_szPin where the PIN rule allows (docs/devices.md): an empty PIN is
  // never presented, a key with no tries left is not asked again, and
  // unless m_szInterfaceName is "SKF" the key keeps its last two tries
  // while a PKCS#11 token is plugged in too (the probe then fails without
  // a message, and the call settles on "P11").  It fills m_abCertDer /
  // m_nCertDerLen, m_szCertText (PEM) and m_szCertName (subject's simple
  // display name).  Returns 1 when the certificate is signed with SM2
  // ("1.2.156.10197.1.501"), 0 when signed otherwise, -1 on failure (with
  // the message of the failing step, if it has one).  The library is
  // unloaded before it returns.
  int ProbeSkfCert() noexcept;

  // LoadKeyAndCert settles the interface ("CSP" stays; anything else becomes
  // "SKF" when ProbeSkfCert finds an SM2 certificate, else "P11") and loads
  // the user's certificate and private key of m_nKeyKind through the
  // route's engine ("capi", "gmEngine", "pkcs11_rsa_key").  Returns 0 with
  // *CERT, *KEY (ownership moves to the caller) and *ENGINE (a structural
  // reference the caller releases before its operation returns) set, and
  // m_szCertText holding the certificate's PEM; -1 on failure, the outputs
  // untouched.  The caller runs ReleaseKeyAndCert first.  When "SKF" was
  // named and the key refused the PIN (or has no tries left) the call ends
  // with the key's message, the PIN not sent on to a PKCS#11 token; an
  // empty PIN on the "SKF" route fails with "密码为空,请输入密码!" before
  // any device sees it (the "P11" route's login gives the same message).
  int LoadKeyAndCert(ossl::Ptr<X509>* cert, ossl::Ptr<EVP_PKEY>* key, KeyRoute* route) noexcept;

  // ReadDeviceCert puts the PEM of the device certificate of key kind KIND
  // into m_szCertText: from the SKF key when it holds an SM2 certificate,
  // else from the PKCS#11 token.  No PIN is presented to either device.
  // Returns 0, or -1.
  int ReadDeviceCert(int kind) noexcept;

 protected:
  // Everything below is the operations' (CMSEngine) and its test peer's.

  // ---- Error text (KeySession.cpp) ----
  // Both replace the previous text and stay within the 512-byte field.
  void SetError(const char* message) noexcept;
  void FormatError(const char* format, ...) noexcept __attribute__((format(printf, 2, 3)));

  // ---- Provider bring-up (ProviderBringUp.cpp) ----
  // The walk of LoginP11Device: the first module of P11_SKF.ini with a
  // token; with LOGIN the PIN check on it, without it 0 as soon as the
  // token is found.
  int FindP11Token(bool login) noexcept;
  // Says in m_szError what the token's last choice and login came to
  // (OUTCOME); the result as LoginP11Device's.
  int ReportP11Outcome(const TokenOutcome& outcome) noexcept;
  // Whether P11_SKF.ini names a module at all: without one the "P11" route
  // fails without a message of its own.
  bool P11ListNamesModules() noexcept;

  // ---- Key and certificate loading (KeyLoading.cpp) ----
  // The SKF probe of ProbeSkfCert.  CERTIFICATE_ONLY: no PIN is presented
  // (a certificate read needs no login).  Otherwise the PIN rule of
  // docs/devices.md decides whether m_szPin is presented.  *PIN_REFUSED
  // (may be null) tells whether the key refused the PIN or had no tries
  // left.
  int ProbeSkf(bool certificateOnly, bool* pinRefused) noexcept;

  // ---- Key back end (EngineKeys.cpp or ProviderKeys.cpp, as CMake picked) ----
  // MODULE names the route by its engine module: "gmEngine" (SKF), "capi"
  // (CSP), "pkcs11_rsa_key" (P11).
  // Brings the route up into *ROUTE: 0, or -1 with the bring-up's message.
  int BringUpRoute(const char* module, KeyRoute* route) noexcept;
  // The private key KEY_ID of an SKF ("gmEngine": the certificate's display
  // name, m_szPin) or CSP route ("capi": the key container of soft provider
  // STORE); null when it does not load (no message).
  ossl::Ptr<EVP_PKEY> LoadRouteKey(const KeyRoute& route, const char* keyId,
                                   const char* store) noexcept;
  // The P11 route: certificate and key of m_nKeyKind after one login with
  // m_szPin.  0; -1 when the route does not come up (its message); 1 when
  // the load failed, *OUTCOME saying how far the token came.
  int LoadP11Key(KeyRoute* route, ossl::Ptr<X509>* cert, ossl::Ptr<EVP_PKEY>* key,
                 TokenOutcome* outcome) noexcept;
  // The token choice and, with LOGIN, the PIN check of m_szPin: 0 with
  // *OUTCOME, or -1 when the route does not come up.
  int CheckP11Token(bool login, TokenOutcome* outcome) noexcept;
  // The token's certificate of KIND without a login: 0; -1 when the route
  // does not come up; 1 when no certificate was found.
  int ReadP11Cert(int kind, ossl::Ptr<X509>* cert) noexcept;

  // Releases what the calls' routes brought up; run by ReleaseKeyAndCert
  // and the destructor, after the key that may hold a reference of its own
  // is gone.  Engine back end: EngineModules::ReleaseAll (every engine this
  // object brought up off the default tables, off the list, ENGINE_finish;
  // then the sweep of the module engines).  Provider back end: nothing but
  // the devices lock.
  void ReleaseEngines() noexcept;

  // ---- Devices and the engine list across threads (KeySession.cpp) ----
  // OpenSSL's engine list, a PKCS#11 library (one instance per process,
  // which every user initialises and finalises) and the SKF library are
  // process-wide, and every engine object sweeps the list when it releases
  // its engines.  Controls on different threads would otherwise finalise
  // a token under another thread's login or sweep its engine off the list
  // between bring-up and lookup.  So an object holds one process-wide lock
  // (recursive: objects on one thread may nest) from its first device or
  // engine bring-up -- SKF probe, PKCS#11 login, LoadDynamicEngine -- until
  // ReleaseEngines has finished its sweep; ReleaseEngines takes it too.
  // Device operations of the process therefore run one at a time; digests
  // without an engine and certificate parsing do not take it.
  void HoldDevices() noexcept;

  // ---- State, in this order; every text field starts empty ----
  ossl::Ptr<EVP_PKEY> m_pKey;                 // private key from key loading
  ossl::Ptr<X509> m_pCert;                    // its certificate
  std::unique_ptr<CEngineLog> m_pLog;         // "keyapi.log"; may be null
  char m_szInterfaceName[kInterfaceNameSize]{};  // "CSP", "P11", "SKF" or as handed over
  char m_szCertText[kCertTextSize]{};         // PEM of the certificate last obtained
  unsigned char m_abCertDer[kCertDerSize]{};  // DER of the SKF / chooser certificate
  int32_t m_nCertDerLen = 0;                  // valid bytes in m_abCertDer
  char m_szCertName[kCertNameSize]{};         // its simple display name (key id)
  int32_t m_nKeyKind = kExchangeKey;          // kExchangeKey or kSignatureKey
  char m_szPin[kPinSize]{};                   // device PIN, at most 31 bytes
  char m_szError[kErrorTextSize]{};           // GBK message of the last failure
  ossl::Text m_pContent;                      // verified content (OpenSSL allocator)
#if TOLMIX_KEYS_ENGINE
  EngineModules m_engines;                    // the engines LoadDynamicEngine brought up
#endif
  std::unique_lock<std::recursive_mutex> m_devicesLock;  // see HoldDevices

  static_assert(sizeof(m_pKey) == sizeof(void*) && sizeof(m_pCert) == sizeof(void*));
  static_assert(sizeof(m_szInterfaceName) == 256);
  static_assert(sizeof(m_szCertText) == 8192);
  static_assert(sizeof(m_abCertDer) == 8192);
  static_assert(sizeof(m_szCertName) == 512);
  static_assert(sizeof(m_szPin) == 32);
  static_assert(sizeof(m_szError) == 512);
};

}  // namespace tolmix
