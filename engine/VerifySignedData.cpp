// CMSEngine: verification of PKCS#7 signed data and the certificate-driven
// choice of interface and engine.  The signer check with a route's public
// key is engine/SignerVerify.cpp's.
#include <strings.h>

#include <cstring>
#include <string_view>

#include <openssl/engine.h>
#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/pem.h>
#include <openssl/pkcs7.h>

#include "engine/CMSEngine.h"
#include "engine/CertAlgorithms.h"
#include "engine/GmForms.h"
#include "engine/GmProfile.h"
#include "engine/SignerVerify.h"
#include "platform/Trace.h"

namespace tolmix {
namespace {

constexpr char kCsp[] = "CSP";
constexpr char kSkf[] = "SKF";
constexpr char kP11[] = "P11";

constexpr char kCapiEngine[] = "capi";
constexpr char kGmEngine[] = "gmEngine";
constexpr char kPkcs11Engine[] = "pkcs11_rsa_key";

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

}  // namespace

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
