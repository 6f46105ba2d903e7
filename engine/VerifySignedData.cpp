// CMSEngine: verification of PKCS#7 signed data, the certificate-driven
// choice of interface and engine, and the signer check with a public key
// from an engine.
#include <strings.h>

#include <cstring>
#include <string_view>

#include <openssl/engine.h>
#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/pem.h>
#include <openssl/pkcs7.h>

#include "engine/CMSEngine.h"
#include "engine/GmForms.h"
#include "engine/GmProfile.h"
#include "platform/Trace.h"

namespace tolmix {
namespace {

constexpr char kCsp[] = "CSP";
constexpr char kSkf[] = "SKF";
constexpr char kP11[] = "P11";

constexpr char kCapiEngine[] = "capi";
constexpr char kGmEngine[] = "gmEngine";
constexpr char kPkcs11Engine[] = "pkcs11_rsa_key";

// Names of the signature algorithms of GM (SM2) certificates.  OpenSSL 1.0
// did not know SM2 with SM3 and printed its dotted OID; OpenSSL 3 prints
// "SM2-with-SM3", which is taken as the same algorithm.
constexpr const char* kGmAlgorithmNames[] = {"1.2.156.10197.1.501", "ecdsa-with-SHA1",
                                             "ecdsa-with-SHA256", "SM2-with-SM3"};

// Read block of the data chain.
constexpr int kReadBlock = 1024;

// GBK messages.
// "签名原文为空!"
constexpr char kMsgNoContent[] = "\xC7\xA9\xC3\xFB\xD4\xAD\xCE\xC4\xCE\xAA\xBF\xD5!";
// "签名验证失败!"
constexpr char kMsgVerifyFailed[] = "\xC7\xA9\xC3\xFB\xD1\xE9\xD6\xA4\xCA\xA7\xB0\xDC!";

// The certificates a signed (or signed-and-enveloped) message carries.
STACK_OF(X509)* MessageCerts(PKCS7* p7) noexcept {
  if (PKCS7_type_is_signed(p7)) return p7->d.sign ? p7->d.sign->cert : nullptr;
  if (PKCS7_type_is_signedAndEnveloped(p7)) {
    return p7->d.signed_and_enveloped ? p7->d.signed_and_enveloped->cert : nullptr;
  }
  return nullptr;
}

// The certificate of signer SI among CERTS, by issuer and serial; borrowed.
X509* SignerCert(STACK_OF(X509)* certs, PKCS7_SIGNER_INFO* si) noexcept {
  if (!certs || !si || !si->issuer_and_serial) return nullptr;
  return X509_find_by_issuer_and_serial(certs, si->issuer_and_serial->issuer,
                                        si->issuer_and_serial->serial);
}

// OpenSSL 3 records no function code: PKCS7err keeps only library and
// reason, where 1.0 also named PKCS7_F_PKCS7_SIGNATUREVERIFY.
void PushError(int reason) noexcept { ERR_raise(ERR_LIB_PKCS7, reason); }

// SI's signature as a standard SM2 signature of LEN bytes of MSG, checked
// with the key engine E hands back for CERT (1 valid, -1 with a PKCS7 error
// when it is not).
int Sm2Checked(const KeyRoute& e, X509* cert, const unsigned char* msg, size_t len,
               PKCS7_SIGNER_INFO* si) noexcept {
  ossl::Ptr<EVP_PKEY> key = e.PublicKey(cert);
  if (!key) return -1;
  ASN1_OCTET_STRING* os = si->enc_digest;
  if (!os || !gm_profile::VerifyMessage(key.get(), msg, len, ASN1_STRING_get0_data(os),
                                        static_cast<size_t>(ASN1_STRING_length(os)))) {
    PushError(PKCS7_R_SIGNATURE_FAILURE);
    return -1;
  }
  return 1;
}

// A GM signer without signed attributes signs the content itself: the
// data of a signed message (enveloped content has none to check here).
int VerifyGmContent(const KeyRoute& e, PKCS7* p7, PKCS7_SIGNER_INFO* si, X509* cert) noexcept {
  PKCS7* inner = PKCS7_type_is_signed(p7) && p7->d.sign ? p7->d.sign->contents : nullptr;
  ASN1_OCTET_STRING* data = inner && PKCS7_type_is_data(inner) ? inner->d.data : nullptr;
  if (!data) {
    PushError(PKCS7_R_NO_CONTENT);
    return -1;
  }
  return Sm2Checked(e, cert, ASN1_STRING_get0_data(data),
                    static_cast<size_t>(ASN1_STRING_length(data)), si);
}

}  // namespace

int CMSEngine::CertSignatureAlgorithmName(X509* cert, char (&out)[kAlgorithmNameSize]) noexcept {
  if (!cert) return 0;
  const X509_ALGOR* alg = X509_get0_tbs_sigalg(cert);
  if (!alg || !alg->algorithm) return 0;
  if (OBJ_obj2nid(alg->algorithm) == NID_SM2_with_SM3) {
    // The text OpenSSL 1.0 printed for it, which the rest of the system
    // (and its callers' scripts) compare with.
    OBJ_obj2txt(out, sizeof out, alg->algorithm, 1);
    out[sizeof out - 1] = '\0';
    return 0;
  }
  ossl::Ptr<BIO> bio(BIO_new(BIO_s_mem()));
  if (!bio || i2a_ASN1_OBJECT(bio.get(), alg->algorithm) <= 0) return 0;
  char* text = nullptr;
  long len = BIO_get_mem_data(bio.get(), &text);
  if (len > 0 && text) CopyBounded(out, std::string_view(text, static_cast<size_t>(len)));
  return 0;
}

int CMSEngine::CertInterfaceAlgorithmName(X509* cert, char (&out)[kAlgorithmNameSize]) noexcept {
  CertSignatureAlgorithmName(cert, out);
  // The key decides for an SM2 key, whatever signed the certificate (an
  // RSA issuer's "sha256WithRSAEncryption" would send it to "P11").
  if (!IsGmAlgorithmName(out) && gm_forms::CertHasSm2Key(cert)) {
    platform::Trace("certificate: SM2 key under a %s signature, taken as SM2", out);
    CopyBounded(out, kGmAlgorithmNames[0]);
  }
  return 0;
}

bool CMSEngine::IsGmAlgorithmName(const char* name) noexcept {
  if (!name) return false;
  for (const char* gm : kGmAlgorithmNames) {
    if (strcasecmp(name, gm) == 0) return true;
  }
  return false;
}

KeyRoute CMSEngine::SelectInterfaceByCertificate(const char* name) noexcept {
  const bool gm = IsGmAlgorithmName(name);
  if (gm) {
    CopyBounded(m_szInterfaceName, kSkf);
  } else if (strcmp(m_szInterfaceName, kCsp) != 0) {
    CopyBounded(m_szInterfaceName, kP11);  // an RSA certificate under "SKF" runs as "P11"
  }
  const char* id = strcmp(m_szInterfaceName, kP11) == 0 ? kPkcs11Engine
                   : !gm                               ? kCapiEngine
                                                       : kGmEngine;
  KeyRoute route;
  BringUpRoute(id, &route);  // its message stays when it fails
  return route;
}

int CMSEngine::SignatureVerifyWithEngine(const KeyRoute& e, BIO* bio, PKCS7* p7, PKCS7_SIGNER_INFO* si,
                                         X509* cert) noexcept {
  if (!p7 || !si) return 0;
  if (!PKCS7_type_is_signed(p7) && !PKCS7_type_is_signedAndEnveloped(p7)) {
    PushError(PKCS7_R_WRONG_PKCS7_TYPE);
    return 0;
  }

  // The digest BIO of the signer's algorithm; the first one wins.  A
  // digest whose public-key type matches is taken too: some signers name
  // the signature algorithm where the digest belongs.
  const int md_type = OBJ_obj2nid(si->digest_alg->algorithm);
  EVP_MD_CTX* mdc = nullptr;
  for (BIO* btmp = bio;; btmp = BIO_next(btmp)) {
    if (!btmp || !(btmp = BIO_find_type(btmp, BIO_TYPE_MD))) {
      PushError(PKCS7_R_UNABLE_TO_FIND_MESSAGE_DIGEST);
      return 0;
    }
    mdc = nullptr;
    BIO_get_md_ctx(btmp, &mdc);
    if (!mdc) {
      PushError(ERR_R_INTERNAL_ERROR);
      return 0;
    }
    const EVP_MD* md = EVP_MD_CTX_get0_md(mdc);
    if (EVP_MD_CTX_get_type(mdc) == md_type || (md && EVP_MD_get_pkey_type(md) == md_type)) break;
  }

  ossl::Ptr<EVP_MD_CTX> tmp(EVP_MD_CTX_new());  // cleaned up on every path
  if (!tmp || !EVP_MD_CTX_copy_ex(tmp.get(), mdc)) return 0;

  // An SM3 signer of an SM2 certificate follows the GM profile: its
  // signature is a standard SM2 one of the attributes (or, without them, of
  // the content), which the engine's key checks with SM3 over Z and the
  // data.  Any other signer is checked as OpenSSL 1.0 did, the SM2 form the
  // control signed before (SHA-1 named, SM3 computed) included.
  const bool gm =
      e && md_type == NID_sm3 && cert && gm_profile::IsSm2Key(X509_get0_pubkey(cert));

  STACK_OF(X509_ATTRIBUTE)* attrs = si->auth_attr;
  if (gm && (!attrs || sk_X509_ATTRIBUTE_num(attrs) == 0)) return VerifyGmContent(e, p7, si, cert);
  if (attrs && sk_X509_ATTRIBUTE_num(attrs) != 0) {
    unsigned char md_dat[EVP_MAX_MD_SIZE];
    unsigned int md_len = 0;
    if (!EVP_DigestFinal_ex(tmp.get(), md_dat, &md_len)) return 0;
    const ASN1_OCTET_STRING* message_digest = PKCS7_digest_from_attributes(attrs);
    if (!message_digest) {
      PushError(PKCS7_R_UNABLE_TO_FIND_MESSAGE_DIGEST);
      return 0;
    }
    if (ASN1_STRING_length(message_digest) != static_cast<int>(md_len) ||
        memcmp(ASN1_STRING_get0_data(message_digest), md_dat, md_len) != 0) {
      PushError(PKCS7_R_DIGEST_FAILURE);
      return -1;
    }
    if (!EVP_DigestInit_ex(tmp.get(), e.Digest(md_type), nullptr)) return 0;
    unsigned char* der = nullptr;
    int der_len = ASN1_item_i2d(reinterpret_cast<ASN1_VALUE*>(attrs), &der,
                                ASN1_ITEM_rptr(PKCS7_ATTR_VERIFY));
    ossl::Bytes owned(der);
    if (der_len <= 0) {
      PushError(ERR_R_ASN1_LIB);
      return -1;
    }
    if (gm) return Sm2Checked(e, cert, der, static_cast<size_t>(der_len), si);
    if (!EVP_VerifyUpdate(tmp.get(), der, static_cast<size_t>(der_len))) return 0;
  }

  // The key of the certificate, from the engine.  A signer without its
  // certificate is refused here: the engine would otherwise answer with a
  // key of its own device.
  if (!e || !cert) return -1;
  ossl::Ptr<EVP_PKEY> pkey = e.PublicKey(cert);
  if (!pkey) return -1;
  ASN1_OCTET_STRING* os = si->enc_digest;
  if (!os || e.VerifyFinal(tmp.get(), ASN1_STRING_get0_data(os),
                           static_cast<unsigned>(ASN1_STRING_length(os)), pkey.get()) <= 0) {
    PushError(PKCS7_R_SIGNATURE_FAILURE);
    return -1;
  }
  return 1;
}

int CMSEngine::VerifySignedData(int, int, const char* pem, int len) noexcept {
  ReleaseKeyAndCert();
  if (!pem || len < 0) return -1;  // a negative length would make the BIO read up to a NUL

  // PEM "PKCS7" or "CMS", or bare Base64 of the DER; GM/T 0010 types read
  // as the PKCS#7 ones.
  ossl::Ptr<PKCS7> p7 = gm_forms::ReadMessage(pem, len);
  if (!p7) return -1;
  STACK_OF(PKCS7_SIGNER_INFO)* signers = PKCS7_get_signer_info(p7.get());
  if (!signers || sk_PKCS7_SIGNER_INFO_num(signers) <= 0) {
    platform::Trace("verify: the message is no signed data, or has no signer");
    return -1;
  }
  STACK_OF(X509)* certs = MessageCerts(p7.get());
  gm_forms::LoadableSm2Keys(certs);
  X509* first = SignerCert(certs, sk_PKCS7_SIGNER_INFO_value(signers, 0));
  if (!first) {
    platform::Trace("verify: the first signer's certificate is not in the message");
    return -1;
  }

  char name[kAlgorithmNameSize] = {};
  CertInterfaceAlgorithmName(first, name);
  KeyRoute engine = SelectInterfaceByCertificate(name);
  if (!engine) {
    platform::Trace("verify: no %s engine for the signer's certificate", m_szInterfaceName);
    return -1;
  }
  // OpenSSL alone checks RSA certificates under "CSP" (the "capi" branch).
  const bool plain = !IsGmAlgorithmName(name) && strcmp(m_szInterfaceName, kCsp) == 0;

  // With the "gmEngine" up, the chain's SHA-1 digest is its SM3, as it
  // was when such a message was signed.
  ossl::Ptr<BIO> chain(PKCS7_dataInit(p7.get(), nullptr));
  if (!chain) {
    platform::Trace("verify: the message's data chain does not open (digest or content)");
    return -1;
  }
  char* data = nullptr;
  long data_len = BIO_get_mem_data(chain.get(), &data);
  if (data_len <= 0 || !data) {
    SetError(kMsgNoContent);
    return -1;
  }
  ossl::Text content(static_cast<char*>(OPENSSL_zalloc(static_cast<size_t>(data_len) + 1)));
  if (!content) return -1;
  memcpy(content.get(), data, static_cast<size_t>(data_len));
  m_pContent = std::move(content);

  // Reading the chain feeds the content through its digest BIOs.
  char block[kReadBlock];
  while (BIO_read(chain.get(), block, sizeof block) > 0) {
  }

  for (int i = 0; i < sk_PKCS7_SIGNER_INFO_num(signers); ++i) {
    PKCS7_SIGNER_INFO* si = sk_PKCS7_SIGNER_INFO_value(signers, i);
    if (!si) return -1;
    X509* cert = SignerCert(certs, si);
    int ok = !cert   ? -1
             : plain ? PKCS7_signatureVerify(chain.get(), p7.get(), si, cert)
                     : SignatureVerifyWithEngine(engine, chain.get(), p7.get(), si, cert);
    if (ok <= 0) {
      const char* why = ERR_reason_error_string(ERR_peek_last_error());
      platform::Trace("verify: signer %d refused: %s", i + 1,
                      !cert ? "its certificate is not in the message"
                      : why ? why
                            : "signature check failed");
      SetError(kMsgVerifyFailed);
      return -1;
    }
  }
  return 0;
}

}  // namespace tolmix
