// CMSEngine: PKCS#7 signed data (RFC 2315) over a text with the user's
// device key, as PEM text.
#include <cstring>
#include <string>
#include <utility>

#include <openssl/objects.h>
#include <openssl/pkcs7.h>

#include "engine/CMSEngine.h"
#include "engine/EnvelopePem.h"
#include "engine/GmForms.h"
#include "engine/GmProfile.h"

namespace tolmix {
namespace {

// GBK messages.
// "设置签名对象失败!"
constexpr char kMsgSigner[] = "\xC9\xE8\xD6\xC3\xC7\xA9\xC3\xFB\xB6\xD4\xCF\xF3\xCA\xA7\xB0\xDC!";
// "设置签名对象属性失败!"
constexpr char kMsgAttribute[] =
    "\xC9\xE8\xD6\xC3\xC7\xA9\xC3\xFB\xB6\xD4\xCF\xF3\xCA\xF4\xD0\xD4\xCA\xA7\xB0\xDC!";
// "设置签名对象证书失败!"
constexpr char kMsgCertificate[] =
    "\xC9\xE8\xD6\xC3\xC7\xA9\xC3\xFB\xB6\xD4\xCF\xF3\xD6\xA4\xCA\xE9\xCA\xA7\xB0\xDC!";
// "设置P7签名对象证书失败!"
constexpr char kMsgContent[] =
    "\xC9\xE8\xD6\xC3" "P7\xC7\xA9\xC3\xFB\xB6\xD4\xCF\xF3\xD6\xA4\xCA\xE9\xCA\xA7\xB0\xDC!";
// "P7签名初始化失败!"
constexpr char kMsgInit[] = "P7\xC7\xA9\xC3\xFB\xB3\xF5\xCA\xBC\xBB\xAF\xCA\xA7\xB0\xDC!";
// "P7签名写操作失败!"
constexpr char kMsgWrite[] = "P7\xC7\xA9\xC3\xFB\xD0\xB4\xB2\xD9\xD7\xF7\xCA\xA7\xB0\xDC!";
// "P7签名操作失败!"
constexpr char kMsgFinal[] = "P7\xC7\xA9\xC3\xFB\xB2\xD9\xD7\xF7\xCA\xA7\xB0\xDC!";

// The signed-data message over LEN bytes of CONTENT: one signer for CERT /
// KEY and a content-type attribute (OpenSSL adds the signing time and the
// message digest when it finishes a signer that has signed attributes),
// CERT among the certificates, the content included when ATTACHED.  An RSA
// signer signs with SHA-1; an SM2 signer as the GM profile has it
// (GmProfile.h): SM3, and the SM2 signature of the signed attributes,
// which the engine's key makes (e = SM3(Z || attributes)).  The
// private-key operation runs in PKCS7_dataFinal, on the device.  Null with
// *FAILURE set to the failing step's message.
ossl::Ptr<PKCS7> BuildSignedData(X509* cert, EVP_PKEY* key, const char* content, int len,
                                 bool attached, const char** failure) noexcept {
  ossl::Ptr<PKCS7> p7(PKCS7_new());
  // A failed set-up of the message type has no message of its own; the
  // signer step that follows cannot succeed on it.
  if (p7) PKCS7_set_type(p7.get(), NID_pkcs7_signed);
  const bool sm2 = gm_profile::IsSm2Key(key);
  PKCS7_SIGNER_INFO* si =
      p7 ? PKCS7_add_signature(p7.get(), cert, key, sm2 ? EVP_sm3() : EVP_sha1()) : nullptr;
  if (!si || (sm2 && !gm_profile::NameSm2Signer(si))) {
    *failure = kMsgSigner;
    return nullptr;
  }
  // With the GM/T 0010 output form, the content-type attribute names GM
  // data, as the message will (GmForms.h).
  ASN1_OBJECT* type = sm2 && gm_forms::OutputForm("types") ? OBJ_txt2obj("1.2.156.10197.6.1.4.2.1", 1)
                                                           : OBJ_nid2obj(NID_pkcs7_data);
  if (!type || !PKCS7_add_signed_attribute(si, NID_pkcs9_contentType, V_ASN1_OBJECT, type)) {
    *failure = kMsgAttribute;
    return nullptr;
  }
  if (!PKCS7_add_certificate(p7.get(), cert)) {
    *failure = kMsgCertificate;
    return nullptr;
  }
  if (!PKCS7_content_new(p7.get(), NID_pkcs7_data)) {
    *failure = kMsgContent;
    return nullptr;
  }
  PKCS7_ctrl(p7.get(), PKCS7_OP_SET_DETACHED_SIGNATURE, attached ? 0 : 1, nullptr);

  ossl::Ptr<BIO> chain(PKCS7_dataInit(p7.get(), nullptr));
  if (!chain) {
    *failure = kMsgInit;
    return nullptr;
  }
  // An empty content writes nothing and fails here.
  if (BIO_write(chain.get(), content, len) <= 0) {
    *failure = kMsgWrite;
    return nullptr;
  }
  (void)BIO_flush(chain.get());
  if (!PKCS7_dataFinal(p7.get(), chain.get())) {
    *failure = kMsgFinal;
    return nullptr;
  }
  return p7;
}

}  // namespace

int CMSEngine::SignData(const char* content, int len, int attached, std::string* pem) noexcept {
  if (!content || !pem || len < 0) return -1;
  m_nKeyKind = kSignatureKey;
  ReleaseKeyAndCert();

  ossl::Ptr<X509> cert;
  ossl::Ptr<EVP_PKEY> key;
  KeyRoute engine;  // the route's key source, released when this call returns
  int loaded = LoadKeyAndCert(&cert, &key, &engine);
  if (loaded != 0) return loaded;
  m_pCert = std::move(cert);
  m_pKey = std::move(key);

  const char* failure = nullptr;
  ossl::Ptr<PKCS7> p7 =
      BuildSignedData(m_pCert.get(), m_pKey.get(), content, len, attached != 0, &failure);
  if (!p7) {
    SetError(failure);
    return -1;
  }
  if (gm_profile::IsSm2Key(m_pKey.get()) && gm_forms::OutputForm("types")) {
    ossl::Ptr<PKCS7> gm = gm_forms::WithGmTypes(p7.get());
    if (!gm) return -1;
    return WriteEnvelopePem(gm.get(), pem);
  }
  return WriteEnvelopePem(p7.get(), pem);
}

int CMSEngine::SignData(const char* content, int len, int attached, char* out,
                        unsigned* out_len) noexcept try {
  if (!content || !out_len || !out) return -1;
  std::string pem;
  int result = SignData(content, len, attached, &pem);
  if (result != 0) return result;
  if (pem.size() > *out_len) {
    // Never cut: a cut message is a broken one.  The caller learns the
    // capacity it needs.
    *out_len = static_cast<unsigned>(pem.size());
    return -1;
  }
  memcpy(out, pem.data(), pem.size());
  *out_len = static_cast<unsigned>(pem.size());
  return 0;
} catch (...) {
  return -1;  // out of memory
}

}  // namespace tolmix
