// Private-key operations and key/certificate files of a container.
#include "modules/SKFAPI/Keys.h"

#include <cstddef>
#include <cstring>

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

#include "modules/SKFAPI/Token.h"

namespace skfapi {
namespace {

// A string that holds key material: wiped before it is freed.
struct SecretText {
  std::string s;
  ~SecretText() { OPENSSL_cleanse(s.data(), s.size()); }
};

Ptr<BIO> MemBio(const void* data, size_t len) {
  return Ptr<BIO>(BIO_new_mem_buf(data, static_cast<int>(len)));
}

Ptr<EVP_PKEY> ParseKey(const BYTE* data, size_t len) {
  if (!data || len == 0 || len > (1u << 20)) return nullptr;
  Ptr<BIO> bio = MemBio(data, len);
  Ptr<EVP_PKEY> key(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr) : nullptr);
  if (key) return key;
  const unsigned char* p = data;
  return Ptr<EVP_PKEY>(d2i_AutoPrivateKey(nullptr, &p, static_cast<long>(len)));
}

Ptr<X509> ParseCert(const BYTE* data, size_t len) {
  if (!data || len == 0 || len > (1u << 20)) return nullptr;
  Ptr<BIO> bio = MemBio(data, len);
  Ptr<X509> cert(bio ? PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr) : nullptr);
  if (cert) return cert;
  const unsigned char* p = data;
  return Ptr<X509>(d2i_X509(nullptr, &p, static_cast<long>(len)));
}

// Big-endian BN right-aligned in a field of FIELD bytes; false if it is longer.
bool PutBn(const BIGNUM* bn, BYTE* field, size_t size) {
  if (!bn || BN_num_bytes(bn) > static_cast<int>(size)) return false;
  return BN_bn2binpad(bn, field, static_cast<int>(size)) == static_cast<int>(size);
}

bool GetBn(EVP_PKEY* key, const char* param, Ptr<BIGNUM>* out) {
  BIGNUM* bn = nullptr;
  if (!EVP_PKEY_get_bn_param(key, param, &bn)) return false;
  out->reset(bn);
  return true;
}

ASN1_TYPE* IntegerItem(const BYTE* be, size_t len) {
  Ptr<BIGNUM> bn(BN_bin2bn(be, static_cast<int>(len), nullptr));
  ASN1_INTEGER* i = bn ? BN_to_ASN1_INTEGER(bn.get(), nullptr) : nullptr;
  if (!i) return nullptr;
  ASN1_TYPE* t = ASN1_TYPE_new();
  if (t) ASN1_TYPE_set(t, V_ASN1_INTEGER, i);
  else ASN1_INTEGER_free(i);
  return t;
}

ASN1_TYPE* OctetItem(const BYTE* data, size_t len) {
  ASN1_OCTET_STRING* o = ASN1_OCTET_STRING_new();
  if (!o || !ASN1_OCTET_STRING_set(o, data, static_cast<int>(len))) {
    ASN1_OCTET_STRING_free(o);
    return nullptr;
  }
  ASN1_TYPE* t = ASN1_TYPE_new();
  if (t) ASN1_TYPE_set(t, V_ASN1_OCTET_STRING, o);
  else ASN1_OCTET_STRING_free(o);
  return t;
}

}  // namespace

KeyAlg AlgOf(const EVP_PKEY* key) {
  if (!key) return KeyAlg::kOther;
  if (EVP_PKEY_is_a(key, "SM2")) return KeyAlg::kSm2;
  if (EVP_PKEY_is_a(key, "RSA")) return KeyAlg::kRsa;
  return KeyAlg::kOther;
}

std::string KeyPath(const std::string& dir, bool sign) {
  return dir + (sign ? "/sign.key" : "/enc.key");
}

std::string CertPath(const std::string& dir, bool sign) {
  return dir + (sign ? "/sign.crt" : "/enc.crt");
}

ULONG LoadCert(const std::string& dir, bool sign, Ptr<X509>* out) {
  std::string text;
  std::string path = CertPath(dir, sign);
  if (!IsFile(path)) return SAR_CERTNOTFOUNTERR;
  if (!ReadFile(path, &text)) return SAR_READFILEERR;
  out->reset(nullptr);
  Ptr<BIO> bio = MemBio(text.data(), text.size());
  if (bio) out->reset(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
  return *out ? SAR_OK : SAR_READFILEERR;
}

ULONG LoadKey(const std::string& dir, bool sign, Ptr<EVP_PKEY>* out) {
  SecretText text;
  std::string path = KeyPath(dir, sign);
  if (!IsFile(path)) return SAR_KEYNOTFOUNTERR;
  if (!ReadFile(path, &text.s)) return SAR_READFILEERR;
  out->reset(nullptr);
  Ptr<BIO> bio = MemBio(text.s.data(), text.s.size());
  if (bio) out->reset(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr));
  return *out ? SAR_OK : SAR_READFILEERR;
}

ULONG PutBytes(const unsigned char* data, size_t len, BYTE* out, ULONG* outLen) {
  if (!outLen) return SAR_INVALIDPARAMERR;
  if (len > 0xFFFFFFFFu) return SAR_FAIL;
  if (!out) {
    *outLen = static_cast<ULONG>(len);
    return SAR_OK;
  }
  if (*outLen < len) {
    *outLen = static_cast<ULONG>(len);
    return SAR_BUFFER_TOO_SMALL;
  }
  if (len) memcpy(out, data, len);
  *outLen = static_cast<ULONG>(len);
  return SAR_OK;
}

ULONG Sm2SignDigest(EVP_PKEY* key, const BYTE* digest, ULONG len, ECCSIGNATUREBLOB* sig) {
  if (AlgOf(key) != KeyAlg::kSm2) return SAR_KEYINFOTYPEERR;
  if (!digest || !sig) return SAR_INVALIDPARAMERR;
  if (len != 32) return SAR_INDATALENERR;
  // EVP_PKEY_sign on an SM2 key signs the given value as the digest e; the
  // identity digest Z is the caller's part (it is already inside e).
  Ptr<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new(key, nullptr));
  size_t derLen = 0;
  if (!ctx || EVP_PKEY_sign_init(ctx.get()) <= 0 ||
      EVP_PKEY_sign(ctx.get(), nullptr, &derLen, digest, len) <= 0) {
    return SAR_FAIL;
  }
  std::vector<unsigned char> der(derLen);
  if (EVP_PKEY_sign(ctx.get(), der.data(), &derLen, digest, len) <= 0) return SAR_FAIL;
  const unsigned char* p = der.data();
  Ptr<ECDSA_SIG> parsed(d2i_ECDSA_SIG(nullptr, &p, static_cast<long>(derLen)));
  if (!parsed) return SAR_FAIL;
  memset(sig, 0, sizeof *sig);
  if (!PutBn(ECDSA_SIG_get0_r(parsed.get()), sig->r + 32, 32) ||
      !PutBn(ECDSA_SIG_get0_s(parsed.get()), sig->s + 32, 32)) {
    return SAR_FAIL;
  }
  return SAR_OK;
}

ULONG RsaSignRaw(EVP_PKEY* key, const BYTE* data, ULONG len, BYTE* sig, ULONG* sigLen) {
  if (AlgOf(key) != KeyAlg::kRsa) return SAR_KEYINFOTYPEERR;
  if (!data || !sigLen) return SAR_INVALIDPARAMERR;
  size_t modLen = static_cast<size_t>(EVP_PKEY_get_size(key));
  if (len == 0 || len + 11 > modLen) return SAR_INDATALENERR;
  if (!sig) {
    *sigLen = static_cast<ULONG>(modLen);
    return SAR_OK;
  }
  if (*sigLen < modLen) {
    *sigLen = static_cast<ULONG>(modLen);
    return SAR_BUFFER_TOO_SMALL;
  }
  // No digest is set on the context, so OpenSSL pads DATA as it is.
  Ptr<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new(key, nullptr));
  size_t out = *sigLen;
  if (!ctx || EVP_PKEY_sign_init(ctx.get()) <= 0 ||
      EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) <= 0 ||
      EVP_PKEY_sign(ctx.get(), sig, &out, data, len) <= 0) {
    return SAR_RSAENCERR;
  }
  *sigLen = static_cast<ULONG>(out);
  return SAR_OK;
}

ULONG Sm2Decrypt(EVP_PKEY* key, const BYTE* der, size_t derLen, BYTE* out, ULONG* outLen) {
  if (AlgOf(key) != KeyAlg::kSm2) return SAR_KEYINFOTYPEERR;
  if (!der || !outLen) return SAR_INVALIDPARAMERR;
  Ptr<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new(key, nullptr));
  size_t len = 0;
  if (!ctx || EVP_PKEY_decrypt_init(ctx.get()) <= 0 ||
      EVP_PKEY_decrypt(ctx.get(), nullptr, &len, der, derLen) <= 0) {
    return SAR_INDATAERR;
  }
  std::vector<unsigned char> plain(len);
  if (EVP_PKEY_decrypt(ctx.get(), plain.data(), &len, der, derLen) <= 0) return SAR_DECRYPTPADERR;
  ULONG rv = PutBytes(plain.data(), len, out, outLen);
  OPENSSL_cleanse(plain.data(), plain.size());
  return rv;
}

ULONG RsaDecrypt(EVP_PKEY* key, const BYTE* in, size_t inLen, BYTE* out, ULONG* outLen) {
  if (AlgOf(key) != KeyAlg::kRsa) return SAR_KEYINFOTYPEERR;
  if (!in || !outLen) return SAR_INVALIDPARAMERR;
  if (inLen != static_cast<size_t>(EVP_PKEY_get_size(key))) return SAR_INDATALENERR;
  Ptr<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new(key, nullptr));
  std::vector<unsigned char> plain(inLen);
  size_t len = plain.size();
  if (!ctx || EVP_PKEY_decrypt_init(ctx.get()) <= 0 ||
      EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) <= 0 ||
      EVP_PKEY_decrypt(ctx.get(), plain.data(), &len, in, inLen) <= 0) {
    return SAR_RSADECERR;
  }
  ULONG rv = PutBytes(plain.data(), len, out, outLen);
  OPENSSL_cleanse(plain.data(), plain.size());
  return rv;
}

ULONG CipherBlobToDer(const ECCCIPHERBLOB* blob, std::vector<unsigned char>* der) {
  if (!blob || blob->CipherLen == 0 || blob->CipherLen > (1u << 20)) return SAR_INDATALENERR;
  Ptr<ASN1_SEQUENCE_ANY> seq(sk_ASN1_TYPE_new_null());
  ASN1_TYPE* items[4] = {IntegerItem(blob->XCoordinate, 64), IntegerItem(blob->YCoordinate, 64),
                         OctetItem(blob->HASH, 32), OctetItem(blob->Cipher, blob->CipherLen)};
  bool ok = seq != nullptr;
  for (ASN1_TYPE* t : items) {
    if (ok && t && sk_ASN1_TYPE_push(seq.get(), t) > 0) continue;
    ok = false;
    ASN1_TYPE_free(t);
  }
  unsigned char* out = nullptr;
  int len = ok ? i2d_ASN1_SEQUENCE_ANY(seq.get(), &out) : -1;
  if (len <= 0) return SAR_FAIL;
  der->assign(out, out + len);
  OPENSSL_free(out);
  return SAR_OK;
}

ULONG DerToCipherBlob(const BYTE* der, size_t derLen, std::vector<unsigned char>* blob) {
  if (!der || derLen == 0 || derLen > (1u << 20)) return SAR_INDATAERR;
  const unsigned char* p = der;
  Ptr<ASN1_SEQUENCE_ANY> seq(d2i_ASN1_SEQUENCE_ANY(nullptr, &p, static_cast<long>(derLen)));
  if (!seq || p != der + derLen || sk_ASN1_TYPE_num(seq.get()) != 4) return SAR_INDATAERR;
  const int kTypes[4] = {V_ASN1_INTEGER, V_ASN1_INTEGER, V_ASN1_OCTET_STRING, V_ASN1_OCTET_STRING};
  for (int i = 0; i < 4; ++i) {
    if (ASN1_TYPE_get(sk_ASN1_TYPE_value(seq.get(), i)) != kTypes[i]) return SAR_INDATAERR;
  }
  const ASN1_OCTET_STRING* hash = sk_ASN1_TYPE_value(seq.get(), 2)->value.octet_string;
  const ASN1_OCTET_STRING* c2 = sk_ASN1_TYPE_value(seq.get(), 3)->value.octet_string;
  if (ASN1_STRING_length(hash) != 32 || ASN1_STRING_length(c2) <= 0) return SAR_INDATAERR;
  size_t c2Len = static_cast<size_t>(ASN1_STRING_length(c2));
  blob->assign(offsetof(ECCCIPHERBLOB, Cipher) + c2Len, 0);
  auto* b = reinterpret_cast<ECCCIPHERBLOB*>(blob->data());
  for (int i = 0; i < 2; ++i) {
    const ASN1_INTEGER* n = sk_ASN1_TYPE_value(seq.get(), i)->value.integer;
    Ptr<BIGNUM> bn(ASN1_INTEGER_to_BN(n, nullptr));
    if (!bn || BN_is_negative(bn.get()) || !PutBn(bn.get(), i == 0 ? b->XCoordinate + 32
                                                                    : b->YCoordinate + 32, 32)) {
      return SAR_INDATAERR;
    }
  }
  memcpy(b->HASH, ASN1_STRING_get0_data(hash), 32);
  b->CipherLen = static_cast<ULONG>(c2Len);
  memcpy(blob->data() + offsetof(ECCCIPHERBLOB, Cipher), ASN1_STRING_get0_data(c2), c2Len);
  return SAR_OK;
}

ULONG PublicKeyBlob(EVP_PKEY* pub, BYTE* out, ULONG* outLen) {
  if (!outLen) return SAR_INVALIDPARAMERR;
  if (AlgOf(pub) == KeyAlg::kSm2) {
    ECCPUBLICKEYBLOB blob{};
    Ptr<BIGNUM> x, y;
    if (!GetBn(pub, OSSL_PKEY_PARAM_EC_PUB_X, &x) || !GetBn(pub, OSSL_PKEY_PARAM_EC_PUB_Y, &y) ||
        !PutBn(x.get(), blob.XCoordinate + 32, 32) || !PutBn(y.get(), blob.YCoordinate + 32, 32)) {
      return SAR_FAIL;
    }
    blob.BitLen = 256;
    return PutBytes(reinterpret_cast<BYTE*>(&blob), sizeof blob, out, outLen);
  }
  if (AlgOf(pub) == KeyAlg::kRsa) {
    RSAPUBLICKEYBLOB blob{};
    Ptr<BIGNUM> n, e;
    if (!GetBn(pub, OSSL_PKEY_PARAM_RSA_N, &n) || !GetBn(pub, OSSL_PKEY_PARAM_RSA_E, &e) ||
        !PutBn(n.get(), blob.Modulus, sizeof blob.Modulus) ||
        !PutBn(e.get(), blob.PublicExponent, sizeof blob.PublicExponent)) {
      return SAR_MODULUSLENERR;
    }
    blob.AlgID = SGD_RSA;
    blob.BitLen = static_cast<ULONG>(EVP_PKEY_get_bits(pub));
    return PutBytes(reinterpret_cast<BYTE*>(&blob), sizeof blob, out, outLen);
  }
  return SAR_KEYINFOTYPEERR;
}

ULONG ImportPair(const std::string& dir, bool sign, const BYTE* key, size_t keyLen,
                 const BYTE* cert, size_t certLen) {
  Ptr<EVP_PKEY> k = ParseKey(key, keyLen);
  Ptr<X509> c = ParseCert(cert, certLen);
  if (!k || !c) return SAR_INDATAERR;
  KeyAlg alg = AlgOf(k.get());
  if (alg == KeyAlg::kOther) return SAR_KEYINFOTYPEERR;
  // The blobs of the standard hold a 256-bit SM2 key and at most 2048-bit RSA.
  int bits = EVP_PKEY_get_bits(k.get());
  if ((alg == KeyAlg::kSm2 && bits != 256) || (alg == KeyAlg::kRsa && (bits < 1024 || bits > 2048))) {
    return SAR_MODULUSLENERR;
  }
  if (X509_check_private_key(c.get(), k.get()) != 1) return SAR_KEYUSAGEERR;

  Ptr<BIO> keyBio(BIO_new(BIO_s_mem()));
  Ptr<BIO> certBio(BIO_new(BIO_s_mem()));
  if (!keyBio || !certBio ||
      !PEM_write_bio_PrivateKey(keyBio.get(), k.get(), nullptr, nullptr, 0, nullptr, nullptr) ||
      !PEM_write_bio_X509(certBio.get(), c.get())) {
    return SAR_FAIL;
  }
  char* p = nullptr;
  SecretText keyText;
  long n = BIO_get_mem_data(keyBio.get(), &p);
  keyText.s.assign(p, static_cast<size_t>(n));
  OPENSSL_cleanse(p, static_cast<size_t>(n));
  n = BIO_get_mem_data(certBio.get(), &p);
  std::string certText(p, static_cast<size_t>(n));
  if (!MakeDirs(dir, 0700) || !WriteFileAtomic(KeyPath(dir, sign), keyText.s, 0600) ||
      !WriteFileAtomic(CertPath(dir, sign), certText, 0644)) {
    return SAR_WRITEFILEERR;
  }
  return SAR_OK;
}

}  // namespace skfapi
