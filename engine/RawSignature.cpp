// CMSEngine: raw PKCS#1 signatures -- a SHA-1 signature of the device key in
// a 256-byte area, followed by the signer's PEM certificate, as one-line
// Base64.  An SM2 key writes a standard SM2 signature (SM3 over Z and the
// text, default identity) in DER at the start of the area, zeros after.
#include <cstring>
#include <string>
#include <vector>

#include <openssl/engine.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include "engine/CMSEngine.h"
#include "engine/CertAlgorithms.h"
#include "engine/GmForms.h"
#include "engine/GmProfile.h"
#include "util/Base64.h"

namespace tolmix {
namespace {

// "签名验证失败!"
constexpr char kMsgVerifyFailed[] = "\xC7\xA9\xC3\xFB\xD1\xE9\xD6\xA4\xCA\xA7\xB0\xDC!";
// "从证书获取公钥失败!"
constexpr char kMsgNoPublicKey[] =
    "\xB4\xD3\xD6\xA4\xCA\xE9\xBB\xF1\xC8\xA1\xB9\xAB\xD4\xBF\xCA\xA7\xB0\xDC!";

static_assert(CMSEngine::kRawSignatureTextSize == 10924 + 1);

// The SHA-1 context over DATA up to its NUL.  EVP_sha1() is taken by
// EVP_DigestInit as the default digest for SHA-1: while "gmEngine" is up
// that is the engine's digest, on both the signing and the checking side.
// MD, when given, is the route's own SHA-1 (KeyRoute::Digest), which the
// key provider cannot put in OpenSSL's place.
ossl::Ptr<EVP_MD_CTX> Sha1Of(const char* data, const EVP_MD* md = nullptr) {
  ossl::Ptr<EVP_MD_CTX> ctx(EVP_MD_CTX_new());
  if (!ctx || !EVP_DigestInit(ctx.get(), md ? md : EVP_sha1()) ||
      !EVP_DigestUpdate(ctx.get(), data, strlen(data))) {
    return nullptr;
  }
  return ctx;
}

// The signature's length in the area of a key of KEY_SIZE bytes: the whole
// EVP_PKEY_size for RSA; for SM2 the DER SEQUENCE at its start (OpenSSL
// refuses a DER signature followed by the area's zero bytes), or KEY_SIZE
// when the area starts with none.
unsigned SignatureLength(const unsigned char* area, int keySize, bool gm) {
  if (gm && area[0] == 0x30 && area[1] < 0x80 && area[1] + 2 <= keySize) return area[1] + 2u;
  return static_cast<unsigned>(keySize);
}

// The SM2 signature of DATA up to its NUL by the engine KEY into SIG (room
// for EVP_PKEY_size bytes): EVP_DigestSign with SM3, into which the
// engine's key method feeds Z, so the device signs e = SM3(Z || DATA).
bool Sm2Sign(EVP_PKEY* key, const char* data, unsigned char* sig, unsigned* sigLen) {
  ossl::Ptr<EVP_MD_CTX> ctx(EVP_MD_CTX_new());
  size_t len = static_cast<size_t>(EVP_PKEY_size(key));
  if (!ctx || EVP_DigestSignInit(ctx.get(), nullptr, EVP_sm3(), nullptr, key) <= 0 ||
      EVP_DigestSign(ctx.get(), sig, &len, reinterpret_cast<const unsigned char*>(data),
                     strlen(data)) <= 0) {
    return false;
  }
  *sigLen = static_cast<unsigned>(len);
  return true;
}

}  // namespace

int CMSEngine::RawSign(const char* data, int, int, char* out, unsigned* out_len) noexcept try {
  if (data == nullptr || out_len == nullptr) return -1;
  if (out == nullptr) {
    *out_len = kRawSignatureTextSize;
    return 0;
  }
  std::string text;
  int r = RawSign(data, 0, 0, &text);
  if (r != 0) return r;
  if (text.size() + 1 > *out_len) {
    *out_len = static_cast<unsigned>(text.size() + 1);
    return -1;
  }
  memcpy(out, text.c_str(), text.size() + 1);
  *out_len = static_cast<unsigned>(text.size());
  return 0;
} catch (...) {
  return -1;  // out of memory
}

int CMSEngine::RawSign(const char* data, int, int, std::string* text) noexcept try {
  if (data == nullptr || text == nullptr) return -1;
  m_nKeyKind = kSignatureKey;
  ReleaseKeyAndCert();
  KeyRoute engine;  // released before this call returns
  int r = LoadKeyAndCert(&m_pCert, &m_pKey, &engine);
  if (r != 0) return r;

  // The block format holds a signature of at most 256 bytes: a larger key
  // is refused before anything is signed (EVP_SignFinal writes
  // EVP_PKEY_size bytes).
  const int keySize = EVP_PKEY_size(m_pKey.get());
  if (keySize <= 0 || keySize > static_cast<int>(kRawSignatureAreaSize)) return -1;

  std::vector<unsigned char> block(kRawBlockMax, 0);
  unsigned sigLen = 0;
  bool signedOk = false;
  if (gm_profile::IsSm2Key(m_pKey.get())) {
    signedOk = Sm2Sign(m_pKey.get(), data, block.data(), &sigLen);
  } else {
    ossl::Ptr<EVP_MD_CTX> ctx = Sha1Of(data);
    signedOk = ctx && EVP_SignFinal(ctx.get(), block.data(), &sigLen, m_pKey.get());
  }
  if (!signedOk || sigLen > kRawSignatureAreaSize) {
    ERR_clear_error();
    return -1;
  }

  // The certificate's PEM at offset 256, whatever the signature's length.
  ossl::Ptr<BIO> bio(BIO_new(BIO_s_mem()));
  if (!bio || !PEM_write_bio_X509(bio.get(), m_pCert.get())) return -1;
  char* pem = nullptr;
  long pemLen = BIO_get_mem_data(bio.get(), &pem);
  if (pemLen <= 0 || pem == nullptr || static_cast<unsigned long>(pemLen) > kRawCertTextMax) {
    return -1;
  }
  memcpy(block.data() + kRawSignatureAreaSize, pem, static_cast<size_t>(pemLen));

  const int blockLen = static_cast<int>(kRawSignatureAreaSize + pemLen);
  text->assign(static_cast<size_t>(Base64EncodedLength(blockLen)) + 1, '\0');
  text->resize(static_cast<size_t>(Base64Encode(text->data(), block.data(), blockLen)));
  return 0;
} catch (...) {
  return -1;  // out of memory
}

int CMSEngine::RawVerify(const char* data, int, const char* sig, int) noexcept try {
  ReleaseKeyAndCert();
  if (data == nullptr) return -1;

  // The decoded length is asked for first, so that no text decodes past the
  // 8192-byte block: the format has no room for more, nor a block without
  // its full signature area.
  unsigned decodedLen = 0;
  if (sig == nullptr || Base64Decode(nullptr, sig, &decodedLen) != 0 ||
      decodedLen < kRawSignatureAreaSize || decodedLen > kRawBlockMax) {
    SetError(kMsgVerifyFailed);
    return -1;
  }
  std::vector<unsigned char> block(kRawBlockMax, 0);
  if (Base64Decode(block.data(), sig, &decodedLen) != 0 || decodedLen > kRawBlockMax) {
    SetError(kMsgVerifyFailed);
    return -1;
  }

  // The certificate text ends at its first NUL (or the block's end).
  const char* certText = reinterpret_cast<const char*>(block.data() + kRawSignatureAreaSize);
  const size_t certLen = strnlen(certText, decodedLen - kRawSignatureAreaSize);
  ossl::Ptr<BIO> in(BIO_new_mem_buf(certText, static_cast<int>(certLen)));
  ossl::Ptr<X509> cert(in ? PEM_read_bio_X509(in.get(), nullptr, nullptr, nullptr) : nullptr);
  if (!cert) {
    ERR_clear_error();
    SetError(kMsgVerifyFailed);
    return -1;
  }

  if (ossl::Ptr<X509> loadable = gm_forms::WithLoadableSm2Key(cert.get())) cert = std::move(loadable);
  char algorithm[kAlgorithmNameSize] = {};
  CertInterfaceAlgorithmName(cert.get(), algorithm);
  KeyRoute engine = SelectInterfaceByCertificate(algorithm);
  if (!engine) return -1;

  // An SM2 signature is checked with the key "gmEngine" derives from the
  // certificate: first as a standard SM2 signature of the text (SM3 over Z
  // and the text), then as a block signed before the control followed the
  // GM profile, an SM2 signature of the text's SM3 digest (SM3 standing in
  // for SHA-1), which OpenSSL's own SM2 key would take for a bare digest.
  const bool gm = IsGmAlgorithmName(algorithm);
  ossl::Ptr<EVP_PKEY> key(gm ? engine.PublicKey(cert.get()).release()
                             : X509_get_pubkey(cert.get()));
  if (!key) {
    ERR_clear_error();
    SetError(kMsgNoPublicKey);
    return -1;
  }
  const int keySize = EVP_PKEY_size(key.get());
  if (gm && keySize > 0 && keySize <= static_cast<int>(kRawSignatureAreaSize) &&
      gm_profile::VerifyMessage(key.get(), reinterpret_cast<const unsigned char*>(data),
                                strlen(data), block.data(),
                                SignatureLength(block.data(), keySize, true)) == 1) {
    return 0;
  }
  ERR_clear_error();
  ossl::Ptr<EVP_MD_CTX> ctx = Sha1Of(data, gm ? engine.Digest(NID_sha1) : nullptr);
  const unsigned sigLen =
      keySize > 0 ? SignatureLength(block.data(), keySize, gm) : 0;
  if (keySize <= 0 || keySize > static_cast<int>(kRawSignatureAreaSize) || !ctx ||
      (gm ? engine.VerifyFinal(ctx.get(), block.data(), sigLen, key.get())
          : EVP_VerifyFinal(ctx.get(), block.data(), sigLen, key.get())) < 1) {
    ERR_clear_error();
    SetError(kMsgVerifyFailed);
    return -1;
  }
  return 0;
} catch (...) {
  return -1;  // out of memory
}

}  // namespace tolmix
