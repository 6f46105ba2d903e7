// CMSEngine envelopes in memory: PKCS#7 enveloped data (RFC 2315) with the
// Triple-DES CBC content cipher, made for a recipient certificate and opened
// with the user's exchange key.
#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/pem.h>

#include "engine/CMSEngine.h"
#include "engine/CertAlgorithms.h"
#include "engine/EnvelopePem.h"
#include "engine/EngineSlots.h"
#include "engine/EnvelopeParts.h"
#include "engine/GmForms.h"
#include "engine/GmProfile.h"
#include "platform/Trace.h"

namespace tolmix {
namespace envelope {
namespace {

// Key-encryption algorithm of an SM2 recipient: SM2 encryption (GM/T 0006).
// The wrapped key is OpenSSL's SM2 ciphertext, a DER SEQUENCE { x, y
// INTEGER, hash, cipher text OCTET STRING }: the SM2Cipher of GM/T 0009
// (C1, C3, C2), which the device unwraps as it is.
constexpr char kSm2EncryptionOid[] = "1.2.156.10197.1.301.3";

// A recipient entry for an SM2 CERT, made as PKCS7_add_recipient makes one
// for RSA (issuer and serial, key-encryption algorithm, the certificate);
// PKCS7_dataInit wraps the content key with the certificate's SM2 key.
bool AddSm2Recipient(PKCS7* p7, X509* cert) {
  PKCS7_RECIP_INFO* ri = PKCS7_RECIP_INFO_new();
  ASN1_OBJECT* alg = OBJ_txt2obj(kSm2EncryptionOid, 1);
  bool ok = ri && alg && ASN1_INTEGER_set(ri->version, 0) &&
            X509_NAME_set(&ri->issuer_and_serial->issuer, X509_get_issuer_name(cert)) &&
            ASN1_STRING_copy(ri->issuer_and_serial->serial, X509_get0_serialNumber(cert)) &&
            X509_ALGOR_set0(ri->key_enc_algor, alg, V_ASN1_UNDEF, nullptr);
  if (ok) alg = nullptr;  // the entry owns it now
  if (ok) {
    X509_up_ref(cert);
    ri->cert = cert;
    ok = PKCS7_add_recipient_info(p7, ri) != 0;
  }
  ASN1_OBJECT_free(alg);
  if (!ok) PKCS7_RECIP_INFO_free(ri);
  return ok;
}

}  // namespace

void SetSlot(const KeyRoute& e, int slot, bool on) noexcept {
  e.SetFlag(slot, on);
}

ossl::Ptr<X509> ParseCertPem(const char* certPem) noexcept {
  ossl::Ptr<BIO> bio(BIO_new_mem_buf(certPem, -1));
  if (!bio) return nullptr;
  ossl::Ptr<X509> cert(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
  ossl::Ptr<X509> loadable = gm_forms::WithLoadableSm2Key(cert.get());
  return loadable ? std::move(loadable) : std::move(cert);
}

ossl::Ptr<PKCS7> NewEnvelope(CMSEngine& self, X509* recipient, KeyRoute* engine) noexcept {
  char name[kAlgorithmNameSize] = {};
  CertInterfaceAlgorithmName(recipient, name);
  *engine = self.SelectInterfaceByCertificate(name);
  if (!*engine) return nullptr;
  // Triple-DES CBC, or SM4-CBC for an SM2 recipient where the SM4 output
  // form is asked for (GmForms.h).
  const bool sm2 = gm_profile::IsSm2Key(X509_get0_pubkey(recipient));
  const EVP_CIPHER* cipher =
      sm2 && gm_forms::OutputForm("sm4") ? EVP_sm4_cbc() : EVP_des_ede3_cbc();
  ossl::Ptr<PKCS7> p7(PKCS7_new());
  if (!p7 || !PKCS7_set_type(p7.get(), NID_pkcs7_enveloped) ||
      !PKCS7_set_cipher(p7.get(), cipher)) {
    return nullptr;
  }
  // OpenSSL 3.0's PKCS7_add_recipient refuses SM2 keys ("encryption not
  // supported for this key type"); RSA keys keep OpenSSL's own entry.
  bool added = sm2
                   ? AddSm2Recipient(p7.get(), recipient)
                   : PKCS7_add_recipient(p7.get(), recipient) != nullptr;
  return added ? std::move(p7) : nullptr;
}

namespace {

// The recipient entry of an enveloped P7 addressed to CERT (issuer and
// serial number), or null.
PKCS7_RECIP_INFO* RecipientFor(PKCS7* p7, X509* cert) noexcept {
  STACK_OF(PKCS7_RECIP_INFO)* list = p7->d.enveloped->recipientinfo;
  for (int i = 0; i < sk_PKCS7_RECIP_INFO_num(list); ++i) {
    PKCS7_RECIP_INFO* ri = sk_PKCS7_RECIP_INFO_value(list, i);
    if (X509_NAME_cmp(ri->issuer_and_serial->issuer, X509_get_issuer_name(cert)) == 0 &&
        ASN1_INTEGER_cmp(ri->issuer_and_serial->serial, X509_get0_serialNumber(cert)) == 0) {
      return ri;
    }
  }
  return nullptr;
}

// One private-key operation of the device: KEY decrypts the bytes IN.
bool DeviceDecrypt(EVP_PKEY* key, const unsigned char* in, size_t inLen, std::string* out) {
  ossl::Ptr<EVP_PKEY_CTX> pctx(EVP_PKEY_CTX_new(key, nullptr));
  size_t len = 0;
  if (!pctx || EVP_PKEY_decrypt_init(pctx.get()) <= 0 ||
      EVP_PKEY_decrypt(pctx.get(), nullptr, &len, in, inLen) <= 0 || len == 0) {
    return false;
  }
  out->assign(len, '\0');
  if (EVP_PKEY_decrypt(pctx.get(), reinterpret_cast<unsigned char*>(out->data()), &len, in,
                       inLen) <= 0) {
    OPENSSL_cleanse(out->data(), out->size());
    out->clear();
    return false;
  }
  out->resize(len);
  return true;
}

// The content key in WRAPPED, unwrapped by the device.  An RSA key takes
// the bytes as they are.  An SM2 key takes each form the SM2 ciphertext may
// have been written in (GmForms.h), in turn, until the device accepts one:
// the device checks C3 (SM3 of C1's point, the key and C2) and refuses a
// ciphertext read in the wrong order, so no key that failed it is used.
bool UnwrapKey(EVP_PKEY* key, const ASN1_OCTET_STRING* wrapped, std::string* ek) {
  if (!gm_profile::IsSm2Key(key)) {
    if (DeviceDecrypt(key, ASN1_STRING_get0_data(wrapped),
                      static_cast<size_t>(ASN1_STRING_length(wrapped)), ek)) {
      return true;
    }
    platform::Trace("envelope: the device refused the wrapped content key");
    return false;
  }
  const std::vector<std::string> forms =
      gm_forms::Sm2CipherCandidates(ASN1_STRING_get0_data(wrapped),
                                    static_cast<size_t>(ASN1_STRING_length(wrapped)));
  for (const std::string& der : forms) {
    ERR_set_mark();
    bool ok = DeviceDecrypt(key, reinterpret_cast<const unsigned char*>(der.data()), der.size(), ek);
    ERR_pop_to_mark();
    if (ok) return true;
  }
  platform::Trace("envelope: the device refused the SM2-wrapped content key in each of its %zu"
                  " readings (C3 check)", forms.size());
  return false;
}

// Opens an enveloped P7 as PKCS7_dataDecode does, with one difference: a
// content key that KEY cannot unwrap is a failure.  OpenSSL 3 goes on with
// a random key in that case (its defence against key oracles), and a random
// key ends on valid padding about once in 256 tries, so a refused or wrong
// key would now and then hand back noise as plaintext.  The chain is the
// same: a cipher BIO over IN or over the message's own encrypted content.
ossl::Ptr<BIO> OpenEnveloped(PKCS7* p7, EVP_PKEY* key, X509* cert, BIO* in) noexcept {
  if (p7->d.enveloped == nullptr) return nullptr;  // no content at all
  PKCS7_ENC_CONTENT* ec = p7->d.enveloped->enc_data;
  const EVP_CIPHER* cipher =
      ec && ec->algorithm ? gm_forms::ContentCipher(ec->algorithm->algorithm) : nullptr;
  PKCS7_RECIP_INFO* ri = cert ? RecipientFor(p7, cert) : nullptr;
  if (!cipher || !ri || !ri->enc_key || (!in && !ec->enc_data)) {
    platform::Trace("envelope: %s", !cipher ? "no known content cipher"
                                    : !ri   ? "no recipient entry for the key's certificate"
                                            : "no wrapped key or no encrypted content");
    return nullptr;
  }

  // The device unwraps the content key.
  std::string ek;
  if (!UnwrapKey(key, ri->enc_key, &ek)) return nullptr;
  size_t len = ek.size();
  auto* ekData = reinterpret_cast<unsigned char*>(ek.data());

  ossl::Ptr<BIO> chain(BIO_new(BIO_f_cipher()));
  EVP_CIPHER_CTX* ctx = nullptr;
  bool ok = chain && BIO_get_cipher_ctx(chain.get(), &ctx) > 0 &&
            EVP_CipherInit_ex(ctx, cipher, nullptr, nullptr, nullptr, 0) &&
            EVP_CIPHER_asn1_to_param(ctx, ec->algorithm->parameter) >= 0 &&
            (static_cast<int>(len) == EVP_CIPHER_CTX_get_key_length(ctx) ||
             EVP_CIPHER_CTX_set_key_length(ctx, static_cast<int>(len))) &&
            EVP_CipherInit_ex(ctx, nullptr, nullptr, ekData, nullptr, 0);
  OPENSSL_cleanse(ek.data(), ek.size());
  if (!ok) return nullptr;

  BIO* source = in;
  if (!source) {
    const int encLen = ASN1_STRING_length(ec->enc_data);
    source = encLen > 0 ? BIO_new_mem_buf(ASN1_STRING_get0_data(ec->enc_data), encLen)
                        : BIO_new(BIO_s_mem());
    if (!source) return nullptr;
    if (ASN1_STRING_length(ec->enc_data) == 0) BIO_set_mem_eof_return(source, 0);
  }
  BIO_push(chain.get(), source);
  return chain;
}

}  // namespace

ossl::Ptr<BIO> OpenDecryptChain(const KeyRoute& e, PKCS7* p7, EVP_PKEY* key, X509* cert, BIO* in) noexcept {
  SetSlot(e, kEngineSlotEnvelopeOpen, true);
  SetSlot(e, kEngineSlotDecrypt, true);
  ossl::Ptr<BIO> chain = PKCS7_type_is_enveloped(p7)
                             ? OpenEnveloped(p7, key, cert, in)
                             : ossl::Ptr<BIO>(PKCS7_dataDecode(p7, key, in, cert));
  if (chain) SetSlot(e, kEngineSlotEnvelopeOpen, false);  // not reset when opening fails
  return chain;
}

bool CipherEndedCleanly(BIO* chain) noexcept {
  BIO* cipher = BIO_find_type(chain, BIO_TYPE_CIPHER);
  return cipher && BIO_get_cipher_status(cipher) == 1;
}

}  // namespace envelope

int CMSEngine::EnvelopeEncrypt(const char* content, int len, const char* certPem,
                               std::string* pem) noexcept {
  if (!content || !certPem || !pem || len < 0) return -1;
  ReleaseKeyAndCert();
  ossl::Ptr<X509> cert = envelope::ParseCertPem(certPem);
  if (!cert) return -1;
  KeyRoute e;
  ossl::Ptr<PKCS7> p7 = envelope::NewEnvelope(*this, cert.get(), &e);
  if (!p7) return -1;

  envelope::SetSlot(e, kEngineSlotEnvelopeOpen, true);
  ossl::Ptr<BIO> chain(PKCS7_dataInit(p7.get(), nullptr));  // the content key is wrapped here
  if (!chain) {
    SetError(envelope::kMsgEncryptInit);
    return -1;
  }
  envelope::SetSlot(e, kEngineSlotEnvelopeOpen, false);
  // One write of the whole content; the chain ends in a memory BIO.
  if ((len > 0 && BIO_write(chain.get(), content, len) != len) || BIO_flush(chain.get()) <= 0 ||
      !PKCS7_dataFinal(p7.get(), chain.get())) {
    SetError(envelope::kMsgEncrypt);
    return -1;
  }
  return WriteEnvelopePem(p7.get(), pem);
}

int CMSEngine::EnvelopeEncrypt(const char* content, int len, const char* certPem, char* out,
                               unsigned* out_len) noexcept try {
  if (!out || !out_len) return -1;
  std::string pem;
  if (EnvelopeEncrypt(content, len, certPem, &pem) != 0) return -1;
  if (pem.size() > *out_len) {
    *out_len = pem.size() > UINT_MAX ? UINT_MAX : static_cast<unsigned>(pem.size());
    return -1;
  }
  memcpy(out, pem.data(), pem.size());
  *out_len = static_cast<unsigned>(pem.size());
  return 0;
} catch (...) {
  return -1;  // out of memory
}

int CMSEngine::OpenEnvelopeText(const char* pem, int len, std::string* plain) noexcept try {
  m_nKeyKind = kExchangeKey;
  ReleaseKeyAndCert();
  KeyRoute e;
  if (LoadKeyAndCert(&m_pCert, &m_pKey, &e) != 0 || !m_pCert || !m_pKey || !e) return -1;

  ossl::Ptr<PKCS7> p7 = gm_forms::ReadMessage(pem, len);  // GmForms.h: armours, GM types
  if (!p7) return -1;
  ossl::Ptr<BIO> chain =
      envelope::OpenDecryptChain(e, p7.get(), m_pKey.get(), m_pCert.get(), nullptr);
  if (!chain) return -1;

  // The plaintext is never longer than the envelope text, which bounds it.
  plain->clear();
  char block[envelope::kMemoryBlock];
  for (int n; (n = BIO_read(chain.get(), block, sizeof block)) > 0;) plain->append(block, n);
  if (!envelope::CipherEndedCleanly(chain.get())) {
    platform::Trace("envelope: the content did not decrypt (padding check)");
    OPENSSL_cleanse(plain->data(), plain->size());
    plain->clear();
    return -1;
  }
  return plain->empty() ? -1 : 0;
} catch (...) {
  TOLMIX_LOG_TEXT(m_pLog.get(), "malloc mem failed...", nullptr);
  return -1;
}

int CMSEngine::EnvelopeDecrypt(const char* pem, int len, std::string* text) noexcept try {
  if (!pem || !text || len < 0) return -1;
  std::string plain;
  if (OpenEnvelopeText(pem, len, &plain) != 0) return -1;
  plain.resize(strnlen(plain.data(), plain.size()));  // the text ends at its first NUL
  *text = std::move(plain);
  return 0;
} catch (...) {
  return -1;  // out of memory
}

int CMSEngine::EnvelopeDecrypt(const char* pem, int len, char* out, unsigned* out_len) noexcept try {
  if (!pem || !out_len || len < 0) return -1;
  std::string plain;
  if (OpenEnvelopeText(pem, len, &plain) != 0) return -1;
  if (!out) {  // room for the Base64 of the plaintext, more than the text needs
    size_t size = (plain.size() + 2) / 3 * 4 + 1;
    *out_len = size > UINT_MAX ? UINT_MAX : static_cast<unsigned>(size);
    return 0;
  }
  size_t n = strnlen(plain.data(), plain.size());
  if (n >= *out_len) {
    *out_len = n >= UINT_MAX ? UINT_MAX : static_cast<unsigned>(n + 1);
    return -1;
  }
  memcpy(out, plain.data(), n);
  out[n] = '\0';
  *out_len = static_cast<unsigned>(n);
  return 0;
} catch (...) {
  return -1;  // out of memory
}

}  // namespace tolmix
