// CMSEngine: the per-call crypto engine of the control.
//
// A control method builds one engine on its stack, hands it the interface
// selector ("CSP", "P11", "SKF") and, where a private key is used, the PIN,
// runs exactly one operation, copies the result or the error text out, and
// destroys the engine.  Nothing survives from one call to the next except
// OpenSSL's global state and the log file.
//
// Operations return 0 on success and non-zero (as a rule -1) on failure,
// leaving one GBK message in the error text (GetErrorText); a failure without
// a message of its own leaves the previous text in place.
//
// Operations are all declared here, grouped by concern; each concern is
// implemented in its own file engine/<Concern>.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "engine/EngineLog.h"
#include "engine/OsslPtr.h"
#include "util/FixedText.h"

namespace tolmix {

class CMSEngineTestPeer;

class CMSEngine {
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
  CMSEngine();

  // Frees everything the engine holds and cleans up the OpenSSL engines the
  // call brought up (see CMSEngine.cpp for the order).
  virtual ~CMSEngine();

  CMSEngine(const CMSEngine&) = delete;
  CMSEngine& operator=(const CMSEngine&) = delete;

  // ---- Interface selector, PIN, results (CMSEngine.cpp) ----
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
  // clean-up (CleanupEngines).  Every key-using operation runs it first.
  void ReleaseKeyAndCert() noexcept;

  // ---- Provider bring-up ----
  // ---- Key and certificate loading ----
  // ---- PKCS#7 signing ----
  // ---- Signature verification ----
  // ---- Digest ----
  // ---- Envelope encryption and decryption ----
  // ---- Raw PKCS#1 signatures and public-key helpers ----

 private:
  friend class CMSEngineTestPeer;

  // ---- Error text (CMSEngine.cpp) ----
  // Both replace the previous text and stay within the 512-byte field.
  void SetError(const char* message) noexcept;
  void FormatError(const char* format, ...) noexcept __attribute__((format(printf, 2, 3)));

  // ---- OpenSSL engine list (CMSEngine.cpp) ----

  // The engine listed under ID, with a structural reference the caller now
  // owns; null when none is listed.  Unlike ENGINE_by_id it never tries to
  // load a module for an unknown id and leaves nothing on the error queue.
  static ossl::Ptr<ENGINE> FindListedEngine(const char* id) noexcept;

  // The global engine clean-up, run by ReleaseKeyAndCert and the destructor.
  static void CleanupEngines() noexcept;

  // Destructor step for "pkcs11_rsa_key": releases the lookup reference and
  // the ENGINE_init reference that LoadDynamicEngine left.  Contract with
  // LoadDynamicEngine: a listed "pkcs11_rsa_key" engine holds exactly one
  // ENGINE_init reference from it (its own lookup reference released, and an
  // engine that failed to initialise not left in the list).
  static void ReleasePkcs11Engine() noexcept;

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

  static_assert(sizeof(m_pKey) == sizeof(void*) && sizeof(m_pCert) == sizeof(void*));
  static_assert(sizeof(m_szInterfaceName) == 256);
  static_assert(sizeof(m_szCertText) == 8192);
  static_assert(sizeof(m_abCertDer) == 8192);
  static_assert(sizeof(m_szCertName) == 512);
  static_assert(sizeof(m_szPin) == 32);
  static_assert(sizeof(m_szError) == 512);
};

}  // namespace tolmix
