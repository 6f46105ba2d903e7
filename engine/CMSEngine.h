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
#include <mutex>
#include <string>

#include "engine/EngineLog.h"
#include "engine/KeyRoute.h"
#include "engine/OsslPtr.h"
#include "util/TokenOutcome.h"
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
  // clean-up (ReleaseEngines).  Every key-using operation runs it first.
  void ReleaseKeyAndCert() noexcept;

#if TOLMIX_KEYS_ENGINE
  // Most engines one object keeps initialised at once (the system uses 3).
  static constexpr size_t kMaxEngines = 4;

  // ---- Engine modules (EngineKeys.cpp; the engine back end only) ----
  //
  // Engine references -- the one rule every engine operation follows:
  //  * LoadDynamicEngine: on success the new engine is on OpenSSL's engine
  //    list (the list's reference) and THIS OBJECT holds its ENGINE_init
  //    reference; LoadDynamicEngine's own lookup reference is released
  //    before it returns.  On failure nothing stays behind: an engine that
  //    loaded but did not initialise is taken off the list and freed, which
  //    unloads its module.
  //  * Whoever calls ENGINE_by_id (LoadKeyAndCert's out engine, the digest,
  //    the certificate-driven choice) owns that structural reference and
  //    releases it (ossl::Ptr<ENGINE>) before its operation returns; an
  //    ENGINE_init it takes itself it also finishes itself.  A key loaded
  //    through an engine holds its own reference, dropped by EVP_PKEY_free.
  //  * ReleaseKeyAndCert and the destructor free the key and certificate,
  //    then ReleaseEngines: every engine this object initialised is taken
  //    out of OpenSSL's default-method tables and off the list, and its
  //    ENGINE_init reference finished.  With no other holder left, OpenSSL
  //    frees the engine and the dynamic engine's context unloads the module.
  //    A module engine ("capi", "pkcs11_rsa_key", "gmEngine") listed by
  //    anyone else is taken off the tables and the list too (CleanupEngines),
  //    but only references this object took are ever finished.

  // LoadDynamicEngine loads the engine module NAME (file "<NAME>.so" in
  // platform::SystemDir()) through OpenSSL's dynamic engine and initialises
  // it.  Returns 0 when it is ready, or when OpenSSL has no dynamic engine
  // (then nothing happens: a later ENGINE_by_id decides); -1 with
  // "加载引擎库<NAME>.dll失败" when the module does not load (also for a
  // module path over 255 bytes, fixed slots that could not be reserved, or
  // more than kMaxEngines engines in one object), or "初始化引擎库<NAME>.dll
  // 失败" when it does not initialise.  An engine of the same name that this
  // object brought up before is used again (OpenSSL 3 cannot bind a module
  // twice while its engine is alive).
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

  // ---- PKCS#7 signing (SignData.cpp) ----

  // SignData signs LEN bytes of CONTENT with the user's signature key
  // (m_nKeyKind := 2, ReleaseKeyAndCert, LoadKeyAndCert) into a PKCS#7
  // signed-data message: one signer -- RSA with SHA-1, SM2 as the GM
  // profile has it (SM3, signature 1.2.156.10197.1.301.1 over the signed
  // attributes; engine/GmProfile.h) --, signed attributes content type,
  // signing time and message digest, the signer certificate, the content
  // included unless ATTACHED is 0.  The PEM text goes to OUT, whose
  // capacity is *OUT_LEN; *OUT_LEN becomes the bytes written.  No NUL is
  // added.
  // Returns 0; LoadKeyAndCert's result when the key does not load; -1 with a
  // message for a failed PKCS#7 step, -1 without one for a null CONTENT or
  // OUT_LEN, a negative LEN, a null OUT, or a PEM text longer than the
  // capacity: then nothing is cut or written and *OUT_LEN is the capacity
  // needed.  A second signing makes another message (signing time, SM2
  // randomness), so callers that cannot size the buffer up front use the
  // std::string form, which never runs out of room.
  // On success m_szCertText holds the signer certificate's PEM.
  int SignData(const char* content, int len, int attached, char* out, unsigned* out_len) noexcept;
  int SignData(const char* content, int len, int attached, std::string* pem) noexcept;

  // ---- Signature verification (VerifySignedData.cpp) ----

  // Size of the algorithm-name buffer of CertSignatureAlgorithmName.
  static constexpr size_t kAlgorithmNameSize = 128;

  // VerifySignedData parses LEN bytes of PEM text of a PKCS#7 signed-data
  // message, takes its content (kept, NUL-terminated, for
  // GetVerifiedContent) and checks every signer against its certificate in
  // the message.  The first signer's certificate picks interface and engine
  // (SelectInterfaceByCertificate); an RSA certificate under "CSP" is
  // checked by OpenSSL alone, every other through SignatureVerifyWithEngine.
  // The two leading arguments are ignored.  Returns 0 when all signers
  // verify; -1 otherwise: with "签名原文为空!" when no content is carried
  // (detached), "签名验证失败!" when a signer fails (the content is still
  // stored then), the bring-up's message when the engine does not load, and
  // the text unchanged for a text that is no signed message, no signers, or
  // a first signer without its certificate.
  int VerifySignedData(int, int, const char* pem, int len) noexcept;

  // CertSignatureAlgorithmName writes the name of CERT's signature
  // algorithm (the one inside tbsCertificate) into OUT
  // (kAlgorithmNameSize bytes, zero-filled by the caller): OpenSSL's long
  // name, or the dotted OID of an algorithm OpenSSL does not name.  SM2 with
  // SM3 is written as "1.2.156.10197.1.501" (OpenSSL 3 names it
  // "SM2-with-SM3").  Returns 0; writes nothing for a null CERT or OUT.
  static int CertSignatureAlgorithmName(X509* cert, char (&out)[kAlgorithmNameSize]) noexcept;

  // CertSignatureAlgorithmName, except that a certificate with an SM2 key
  // (GmForms.h: CertHasSm2Key) is named "1.2.156.10197.1.501" whatever
  // signed it: the name SelectInterfaceByCertificate takes for verification,
  // encryption and raw verification.
  static int CertInterfaceAlgorithmName(X509* cert, char (&out)[kAlgorithmNameSize]) noexcept;

  // True for the names of GM (SM2) certificates: "1.2.156.10197.1.501",
  // "ecdsa-with-SHA1", "ecdsa-with-SHA256" and OpenSSL 3's "SM2-with-SM3",
  // letter case aside.
  static bool IsGmAlgorithmName(const char* name) noexcept;

  // SelectInterfaceByCertificate settles m_szInterfaceName from the
  // certificate algorithm NAME (GM -> "SKF"; else "CSP" stays and anything
  // else becomes "P11"), brings up the matching engine ("gmEngine",
  // "capi", "pkcs11_rsa_key") with LoadDynamicEngine and returns it: a
  // structural reference the caller owns.  Null when the bring-up failed
  // (its message is in the error text) or the engine is not listed (text
  // unchanged).
  KeyRoute SelectInterfaceByCertificate(const char* name) noexcept;

  // SignatureVerifyWithEngine checks signer SI of P7 as OpenSSL 1.0's
  // PKCS7_signatureVerify does -- digest from the data chain BIO, the
  // messageDigest attribute, the signature over the signed attributes --
  // with the public key that ENGINE_load_public_key(E, CERT) hands back.
  // An SM3 signer of an SM2 CERT follows the GM profile instead: its
  // signature is a standard SM2 one of the signed attributes (or, without
  // them, of the message's content), checked with that key over SM3
  // (engine/GmProfile.h).
  // Returns 1 valid; 0 (wrong type, no digest) or -1 (digest mismatch, no
  // key, bad signature) otherwise, with a PKCS7 error on the queue.
  static int SignatureVerifyWithEngine(const KeyRoute& e, BIO* bio, PKCS7* p7,
                                       PKCS7_SIGNER_INFO* si, X509* cert) noexcept;

  // ---- Digest (Digest.cpp) ----

  // Size of the digest text buffer ComputeDigest needs (88 characters of a
  // 64-byte digest and the NUL fit).
  static constexpr unsigned kDigestTextSize = 128;

  // ComputeDigest writes the one-line Base64 of the digest of LEN bytes of
  // DATA into OUT (kDigestTextSize bytes) and its length into *OUT_LEN.
  // ALGO: 2 MD5, 3 SHA-1, 4 SHA-224, 5 SHA-256, 6 SHA-384, 7 SHA-512,
  // 11 SHA-1 with the "gmEngine" engine brought up first (its digest, when
  // it registers one as the default, is used).  A null OUT is a size query:
  // *OUT_LEN = kDigestTextSize, result 0.  Returns 0, or -1 (a failed
  // LoadDynamicEngine's result for code 11) for a null DATA or OUT_LEN, a
  // negative LEN, an unknown code or an OpenSSL failure; only the engine
  // bring-up writes the error text.  Unknown codes and a failed final step
  // leave a keyapi.log record.
  int ComputeDigest(const char* data, int len, int16_t algo, char* out,
                    unsigned* out_len) noexcept;

  // ---- Envelope encryption and decryption ----

  // WriteEnvelopePem writes P7 as PEM (label PKCS7, 64-character lines) into
  // OUT of capacity *OUT_LEN (EnvelopePem.cpp); *OUT_LEN becomes the bytes
  // written.  No NUL is added.  Returns 0; -1 without a message when the PEM
  // write fails or gives nothing, for a null argument, and when the text is
  // longer than the capacity: nothing is written then (a cut message would
  // be a broken one) and *OUT_LEN is the capacity needed.  The string form
  // returns the whole text.
  static int WriteEnvelopePem(PKCS7* p7, char* out, unsigned* out_len) noexcept;
  static int WriteEnvelopePem(PKCS7* p7, std::string* pem) noexcept;

  // Envelopes are PKCS#7 enveloped-data (RFC 2315) in PEM text, content
  // cipher Triple-DES CBC for every recipient.  Encryption settles the
  // interface and engine from the recipient certificate
  // (SelectInterfaceByCertificate); an RSA recipient is added by OpenSSL, an
  // SM2 one by a recipient entry of our own (OpenSSL 3.0 refuses SM2 in
  // PKCS7_add_recipient) whose key PKCS7_dataInit wraps with SM2.
  // Decryption loads the exchange key (m_nKeyKind := 1, LoadKeyAndCert).
  // Engine slot 6 is "1" while the data chain is opened and "0" after; slot
  // 8 is "1" for a decryption.  A key that is not the recipient's fails:
  // OpenSSL then decrypts with a random content key, and the bad padding at
  // the end is checked (never garbage as plaintext).
  // Messages: "加密初始化失败!" (chain not opened), "加密失败!" (message not
  // closed), and for files "读取源文件失败!", "写加密文件失败!",
  // "读取加密文件失败!", "写解密文件失败!", "转换P7失败!"; key loading's own;
  // all other failures leave the text unchanged.  Null arguments give -1.

  // EnvelopeEncrypt envelopes LEN bytes of CONTENT for the PEM certificate
  // CERT_PEM and writes the PEM text as WriteEnvelopePem does: into OUT of
  // capacity *OUT_LEN (too small: -1 and *OUT_LEN the capacity needed; an
  // envelope cannot be made again identically, so size-unaware callers use
  // the string form), or whole into *PEM.  Returns 0 or -1.
  int EnvelopeEncrypt(const char* content, int len, const char* certPem, char* out,
                      unsigned* out_len) noexcept;
  int EnvelopeEncrypt(const char* content, int len, const char* certPem, std::string* pem) noexcept;

  // EnvelopeDecrypt opens LEN bytes of envelope PEM with the user's
  // exchange key.  The plaintext ends at its first NUL byte.  A null OUT is
  // a size query (after a full decryption): *OUT_LEN = ((n + 2) / 3) * 4 + 1
  // for a plaintext of n bytes, which always holds the text and its NUL.
  // Otherwise *OUT_LEN is OUT's capacity on entry: the text and a NUL are
  // written and *OUT_LEN becomes the text's length; a capacity that does
  // not hold them gives -1, OUT untouched and *OUT_LEN the capacity needed.
  // The string form takes the text whole (one decryption, one key load: on
  // "CSP" one chooser).  An empty plaintext gives -1.
  int EnvelopeDecrypt(const char* pem, int len, char* out, unsigned* out_len) noexcept;
  int EnvelopeDecrypt(const char* pem, int len, std::string* text) noexcept;

  // EnvelopeEncryptFile / EnvelopeDecryptFile envelope the file SRC into DST
  // for CERT_PEM, and open the envelope file SRC into DST (an empty
  // plaintext gives an empty file and 0).  Both stream in 4096-byte blocks:
  // memory use does not grow with the file.  Encryption writes the message
  // with indefinite lengths (BER, as streaming S/MIME tools do); decryption
  // reads definite and indefinite lengths.  DST is written to a new file
  // beside it and renamed into place only when everything succeeded, so a
  // failed call leaves an existing DST as it was.  Returns 0 or -1.
  int EnvelopeEncryptFile(const char* src, const char* dst, const char* certPem) noexcept;
  int EnvelopeDecryptFile(const char* src, const char* dst) noexcept;

  // ---- Raw PKCS#1 signatures and public-key helpers (RawSignature.cpp) ----

  // A raw signature block: a 256-byte signature area (the signature from
  // byte 0, zeros after it) followed by the signer certificate's PEM text,
  // no NUL; at most 8192 bytes, so keys up to 2048 bits and certificate
  // texts up to 7936 bytes.  RawSign returns it, and RawVerify takes it, as
  // one-line Base64.
  static constexpr unsigned kRawSignatureAreaSize = 256;
  static constexpr unsigned kRawBlockMax = 8192;
  static constexpr unsigned kRawCertTextMax = kRawBlockMax - kRawSignatureAreaSize;
  // Capacity that holds every RawSign text and its NUL (10924 + 1 bytes).
  static constexpr unsigned kRawSignatureTextSize = (kRawBlockMax + 2) / 3 * 4 + 1;

  // RawSign signs the text DATA (up to its NUL) with the user's signature
  // key (m_nKeyKind := 2, ReleaseKeyAndCert, LoadKeyAndCert): for RSA a
  // PKCS#1 v1.5 signature over SHA-1 (EVP_SignFinal); for SM2 the standard
  // SM2 signature of DATA (SM3 over Z and DATA, default identity), DER.
  // The Base64 of the block and a NUL go to OUT, whose capacity is
  // *OUT_LEN; *OUT_LEN becomes the text's length.  LEN and FLAG are
  // ignored.  A null OUT is a size query: *OUT_LEN =
  // kRawSignatureTextSize, result 0, no key loaded.  Returns 0;
  // LoadKeyAndCert's result when the key does not load; -1 with the text
  // unchanged for a null DATA or OUT_LEN, a failed signature, a key whose
  // signature does not fit 256 bytes (RSA over 2048 bits), a certificate
  // text over kRawCertTextMax bytes, or a capacity that does not hold the
  // text and its NUL: then OUT is untouched and *OUT_LEN the capacity
  // needed.  The string form takes the text whole.  On success
  // m_szCertText holds the signer certificate's PEM.
  int RawSign(const char* data, int len, int flag, char* out, unsigned* out_len) noexcept;
  int RawSign(const char* data, int len, int flag, std::string* text) noexcept;

  // RawVerify checks the Base64 raw signature block SIG against the text
  // DATA (up to its NUL).  The block's certificate picks interface and
  // engine (SelectInterfaceByCertificate: brought up and found, not used);
  // its public key checks the first EVP_PKEY_size bytes of the signature
  // area over the SHA-1 digest of DATA.  An SM2 block is checked as a
  // standard SM2 signature of DATA first, then as the form signed before
  // (the SM2 signature of the SM3 digest computed under the SHA-1 name).
  // The lengths are ignored.  Returns 0 for a valid signature; -1 with
  // "签名验证失败!" for a SIG that is no Base64, decodes to under 256 or
  // over 8192 bytes or holds no PEM certificate, for a key whose signature
  // is over 256 bytes and for a signature that does not verify; "从证书获取公钥失败!" when the
  // certificate yields no public key; the bring-up's message (or none) when
  // the engine does not come up; none for a null DATA.
  int RawVerify(const char* data, int len, const char* sig, int sig_len) noexcept;

  // ---- Store certificate (StoreCertificate.cpp) ----

  // ChooseStoreCertificate lets the user choose a certificate of "MY" in
  // the chooser (CCertSelectDlg) with key-usage filter m_nKeyKind - 1 and
  // puts its PEM into m_szCertText.  Returns 0 then, and at once with
  // nothing done when m_szInterfaceName is "P11"; -1 with the text
  // unchanged when the chooser is not confirmed; -1 with
  // "证书编码转换失败1[p7_ready]" when the chosen certificate does not
  // decode or its PEM does not fit m_szCertText.
  int ChooseStoreCertificate() noexcept;

  // ---- Certificate helpers (CertHelpers.cpp) ----

  // Longest printed extension value GetExtensionText returns, in bytes.
  static constexpr size_t kExtensionTextMax = 200;

  // GetExtensionText prints the value of the first extension of the PEM
  // certificate CERT_PEM whose identifier text equals OID exactly: OpenSSL's
  // long name for an extension it knows ("X509v3 Key Usage"), the dotted OID
  // for one it does not.  The third argument is ignored (callers pass 1).
  // Returns the text, at most kExtensionTextMax bytes and NUL-terminated,
  // owned by the caller; null when CERT_PEM holds no PEM certificate (error
  // text unchanged) or no extension matches ("未获取到对应的OID值!").
  ossl::Text GetExtensionText(const char* certPem, const char* oid, int unused) noexcept;

 private:
  friend class CMSEngineTestPeer;

  // ---- Error text (CMSEngine.cpp) ----
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

  // ---- Envelope decryption (Envelope.cpp) ----
  // Loads the exchange key into m_pCert / m_pKey and opens LEN bytes of
  // envelope PEM into *PLAIN, whole (NUL bytes included).  0 or -1.
  int OpenEnvelopeText(const char* pem, int len, std::string* plain) noexcept;

  // Releases what the calls' routes brought up; run by ReleaseKeyAndCert
  // and the destructor, after the key that may hold a reference of its own
  // is gone.  Engine back end: every engine in m_apEngines as the rule under
  // "Engine modules" says (off the default tables, off the list,
  // ENGINE_finish), then CleanupEngines.  Provider back end: nothing but the
  // devices lock.
  void ReleaseEngines() noexcept;

#if TOLMIX_KEYS_ENGINE
  // ---- OpenSSL engine list (EngineKeys.cpp) ----

  // The engine listed under ID, with a structural reference the caller now
  // owns; null when none is listed.  Unlike ENGINE_by_id it never tries to
  // load a module for an unknown id and leaves nothing on the error queue.
  static ossl::Ptr<ENGINE> FindListedEngine(const char* id) noexcept;

  // The sweep of the module engines listed by anyone: off the default-method
  // tables and off the list; no reference of another holder is finished.
  static void CleanupEngines() noexcept;


  // Takes E out of every default-method table (dropping the references the
  // tables hold) and off the engine list when it is there (dropping the
  // list's reference).  Finishes and frees nothing; leaves the error queue
  // as it was.
  static void UnlistEngine(ENGINE* e) noexcept;

  // Releases the engine in m_apEngines[I] and empties the slot.
  void ReleaseEngineAt(size_t i) noexcept;

  // Keeps the ENGINE_init reference E in a free slot of m_apEngines.  False
  // when all are taken (E is then left to the caller).
  bool KeepEngine(ENGINE* e) noexcept;
#endif  // TOLMIX_KEYS_ENGINE

  // ---- Devices and the engine list across threads (CMSEngine.cpp) ----
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
  ossl::InitializedEngine m_apEngines[kMaxEngines];  // ENGINE_init references LoadDynamicEngine took
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
