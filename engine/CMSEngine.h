// CMSEngine: the per-call crypto engine of the control -- the key session
// (engine/KeySession.h: interface selector, PIN, texts, key loading) and
// the operations that use it.
//
// Operations return 0 on success and non-zero (as a rule -1) on failure,
// leaving one GBK message in the error text (GetErrorText); a failure without
// a message of its own leaves the previous text in place.
//
// Operations are declared here, grouped by concern; each concern is
// implemented in its own file engine/<Concern>.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "engine/KeyRoute.h"
#include "engine/KeySession.h"
#include "engine/OsslPtr.h"

namespace tolmix {

class CMSEngineTestPeer;

class CMSEngine : public KeySession {
 public:
  CMSEngine() = default;
  CMSEngine(const CMSEngine&) = delete;
  CMSEngine& operator=(const CMSEngine&) = delete;

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

  // VerifySignedData parses LEN bytes of PEM text of a PKCS#7 signed-data
  // message, takes its content (kept, NUL-terminated, for
  // GetVerifiedContent) and checks every signer against its certificate in
  // the message.  The first signer's certificate picks interface and engine
  // (SelectInterfaceByCertificate); an RSA certificate under "CSP" is
  // checked by OpenSSL alone, every other through SignatureVerifyWithEngine
  // (engine/SignerVerify.h).
  // The two leading arguments are ignored.  Returns 0 when all signers
  // verify; -1 otherwise: with "签名原文为空!" when no content is carried
  // (detached), "签名验证失败!" when a signer fails (the content is still
  // stored then), the bring-up's message when the engine does not load, and
  // the text unchanged for a text that is no signed message, no signers, or
  // a first signer without its certificate.
  int VerifySignedData(int, int, const char* pem, int len) noexcept;

  // SelectInterfaceByCertificate settles m_szInterfaceName from the
  // certificate algorithm NAME (engine/CertAlgorithms.h: GM -> "SKF"; else
  // "CSP" stays and anything else becomes "P11"), brings up the matching
  // route ("gmEngine", "capi", "pkcs11_rsa_key"; BringUpRoute) and returns
  // it: a structural reference the caller owns.  Null when the bring-up failed
  // (its message is in the error text) or the engine is not listed (text
  // unchanged).
  KeyRoute SelectInterfaceByCertificate(const char* name) noexcept;

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
  // CERT_PEM and writes the PEM text as WriteEnvelopePem does
  // (engine/EnvelopePem.h): into OUT of capacity *OUT_LEN (too small: -1
  // and *OUT_LEN the capacity needed; an envelope cannot be made again
  // identically, so size-unaware callers use the string form), or whole
  // into *PEM.  Returns 0 or -1.
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

  // ---- Envelope decryption (Envelope.cpp) ----
  // Loads the exchange key into m_pCert / m_pKey and opens LEN bytes of
  // envelope PEM into *PLAIN, whole (NUL bytes included).  0 or -1.
  int OpenEnvelopeText(const char* pem, int len, std::string* plain) noexcept;

};

}  // namespace tolmix
