// The check of one PKCS#7 signer with a route's public key
// (engine/SignerVerify.h).
#include "engine/SignerVerify.h"

#include <cstring>

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/objects.h>

#include "engine/GmProfile.h"
#include "engine/OsslPtr.h"

namespace tolmix {
namespace {

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

int SignatureVerifyWithEngine(const KeyRoute& e, BIO* bio, PKCS7* p7, PKCS7_SIGNER_INFO* si,
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
  if (!tmp) return 0;
  // The chain digests with OpenSSL's own digest of the signer's algorithm.
  // Where the route computes that algorithm otherwise (the SKF route's SHA-1
  // is SM3 under the key provider, which cannot replace OpenSSL's SHA-1 as
  // the engine module's digest does), the attached content is digested
  // afresh the route's way.
  const EVP_MD* route_md = e ? e.Digest(md_type) : nullptr;
  if (route_md && EVP_MD_get_type(route_md) != EVP_MD_CTX_get_type(mdc)) {
    PKCS7* inner = p7->d.sign ? p7->d.sign->contents : nullptr;
    ASN1_OCTET_STRING* data = inner && PKCS7_type_is_data(inner) ? inner->d.data : nullptr;
    if (!data) {
      PushError(PKCS7_R_NO_CONTENT);
      return -1;
    }
    if (!EVP_DigestInit_ex(tmp.get(), route_md, nullptr) ||
        !EVP_DigestUpdate(tmp.get(), ASN1_STRING_get0_data(data),
                          static_cast<size_t>(ASN1_STRING_length(data))))
      return 0;
  } else if (!EVP_MD_CTX_copy_ex(tmp.get(), mdc)) {
    return 0;
  }

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

}  // namespace tolmix
