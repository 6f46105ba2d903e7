// Private-key operations of the soft SKF library, checked with OpenSSL
// against nothing but the certificates' public keys.
#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/rsa.h>

#include <cstring>

#include "tests/skfapi/SkfTestSupport.h"

namespace skftest {
namespace {

constexpr char kSm2Id[] = "1234567812345678";  // the default user identity

std::vector<unsigned char> Sm3(const std::vector<unsigned char>& data) {
  unsigned char md[32];
  unsigned int len = 0;
  EVP_Digest(data.data(), data.size(), md, &len, EVP_sm3(), nullptr);
  return std::vector<unsigned char>(md, md + len);
}

void AppendBn(std::vector<unsigned char>* out, const BIGNUM* bn) {
  unsigned char buf[32];
  BN_bn2binpad(bn, buf, 32);
  out->insert(out->end(), buf, buf + 32);
}

// e = SM3(Z || M) with Z = SM3(ENTL || ID || a || b || xG || yG || xA || yA),
// computed here independently of the library and of OpenSSL's signer.
std::vector<unsigned char> Sm2Digest(EVP_PKEY* pub, const std::string& msg) {
  EC_GROUP* group = EC_GROUP_new_by_curve_name(NID_sm2);
  BIGNUM *p = BN_new(), *a = BN_new(), *b = BN_new(), *gx = BN_new(), *gy = BN_new();
  BIGNUM *x = nullptr, *y = nullptr;
  EC_GROUP_get_curve(group, p, a, b, nullptr);
  EC_POINT_get_affine_coordinates(group, EC_GROUP_get0_generator(group), gx, gy, nullptr);
  EVP_PKEY_get_bn_param(pub, "qx", &x);
  EVP_PKEY_get_bn_param(pub, "qy", &y);
  std::vector<unsigned char> z(2 + 16);
  z[1] = 0x80;  // ENTL: the identity's length in bits, big-endian
  memcpy(z.data() + 2, kSm2Id, 16);
  for (const BIGNUM* n : {a, b, gx, gy, x, y}) AppendBn(&z, n);
  std::vector<unsigned char> e = Sm3(z);
  e.insert(e.end(), msg.begin(), msg.end());
  for (BIGNUM* n : {p, a, b, gx, gy, x, y}) BN_free(n);
  EC_GROUP_free(group);
  return Sm3(e);
}

std::vector<unsigned char> SignatureDer(const ECCSIGNATUREBLOB& blob) {
  ECDSA_SIG* sig = ECDSA_SIG_new();
  ECDSA_SIG_set0(sig, BN_bin2bn(blob.r, 64, nullptr), BN_bin2bn(blob.s, 64, nullptr));
  unsigned char* der = nullptr;
  int len = i2d_ECDSA_SIG(sig, &der);
  std::vector<unsigned char> out(der, der + len);
  OPENSSL_free(der);
  ECDSA_SIG_free(sig);
  return out;
}

// OpenSSL's SM2 encryption (DER, C1 C3 C2) of PLAIN to PUB.
std::vector<unsigned char> EncryptTo(EVP_PKEY* pub, const std::string& plain, int padding = 0) {
  EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(pub, nullptr);
  EVP_PKEY_encrypt_init(ctx);
  if (padding) EVP_PKEY_CTX_set_rsa_padding(ctx, padding);
  size_t len = 0;
  auto in = reinterpret_cast<const unsigned char*>(plain.data());
  EVP_PKEY_encrypt(ctx, nullptr, &len, in, plain.size());
  std::vector<unsigned char> out(len);
  EXPECT_GT(EVP_PKEY_encrypt(ctx, out.data(), &len, in, plain.size()), 0);
  out.resize(len);
  EVP_PKEY_CTX_free(ctx);
  return out;
}

// The test's own DER -> ECCCIPHERBLOB conversion (C1 right-aligned in
// 64-byte fields, C3 in HASH, C2 in Cipher).
std::vector<unsigned char> ToCipherBlob(const std::vector<unsigned char>& der) {
  const unsigned char* p = der.data();
  ASN1_SEQUENCE_ANY* seq = d2i_ASN1_SEQUENCE_ANY(nullptr, &p, static_cast<long>(der.size()));
  EXPECT_NE(seq, nullptr);
  EXPECT_EQ(sk_ASN1_TYPE_num(seq), 4);
  const ASN1_STRING* c2 = sk_ASN1_TYPE_value(seq, 3)->value.octet_string;
  std::vector<unsigned char> blob(offsetof(ECCCIPHERBLOB, Cipher) + ASN1_STRING_length(c2));
  auto* b = reinterpret_cast<ECCCIPHERBLOB*>(blob.data());
  for (int i = 0; i < 2; ++i) {
    BIGNUM* n = ASN1_INTEGER_to_BN(sk_ASN1_TYPE_value(seq, i)->value.integer, nullptr);
    BN_bn2binpad(n, (i ? b->YCoordinate : b->XCoordinate) + 32, 32);
    BN_free(n);
  }
  memcpy(b->HASH, ASN1_STRING_get0_data(sk_ASN1_TYPE_value(seq, 2)->value.octet_string), 32);
  b->CipherLen = ASN1_STRING_length(c2);
  memcpy(blob.data() + offsetof(ECCCIPHERBLOB, Cipher), ASN1_STRING_get0_data(c2),
         b->CipherLen);
  sk_ASN1_TYPE_pop_free(seq, ASN1_TYPE_free);
  return blob;
}

class SkfCryptoTest : public SkfTest {
 protected:
  void SetUp() override {
    SkfTest::SetUp();
    Provision();
  }
};

TEST_F(SkfCryptoTest, EccSignatureVerifiesWithCertificateKey) {
  OpenApp(true);
  HCONTAINER c = Open("SM2");
  const std::string msg = "message signed inside the key";
  std::vector<unsigned char> e = Sm2Digest(Sm2Sign().PublicKey(), msg);
  ECCSIGNATUREBLOB blob;
  memset(&blob, 0xEE, sizeof blob);
  EXPECT_EQ(api_->ECCSignData(c, e.data(), 31, &blob), SAR_INDATALENERR);
  ASSERT_EQ(api_->ECCSignData(c, e.data(), 32, &blob), SAR_OK);
  EXPECT_EQ(std::vector<BYTE>(blob.r, blob.r + 32), std::vector<BYTE>(32, 0));
  EXPECT_EQ(std::vector<BYTE>(blob.s, blob.s + 32), std::vector<BYTE>(32, 0));
  std::vector<unsigned char> sig = SignatureDer(blob);

  // Raw SM2 verification of the digest.
  EVP_PKEY_CTX* vctx = EVP_PKEY_CTX_new(Sm2Sign().PublicKey(), nullptr);
  ASSERT_GT(EVP_PKEY_verify_init(vctx), 0);
  EXPECT_EQ(EVP_PKEY_verify(vctx, sig.data(), sig.size(), e.data(), e.size()), 1);
  EVP_PKEY_CTX_free(vctx);

  // And OpenSSL's full SM2-with-SM3 verification of the message: the digest
  // the caller gave already held Z, as the standard has it.
  EVP_MD_CTX* md = EVP_MD_CTX_new();
  EVP_PKEY_CTX* pctx = EVP_PKEY_CTX_new(Sm2Sign().PublicKey(), nullptr);
  EVP_PKEY_CTX_set1_id(pctx, kSm2Id, 16);
  EVP_MD_CTX_set_pkey_ctx(md, pctx);
  ASSERT_GT(EVP_DigestVerifyInit(md, nullptr, EVP_sm3(), nullptr, Sm2Sign().PublicKey()), 0);
  EXPECT_EQ(EVP_DigestVerify(md, sig.data(), sig.size(),
                             reinterpret_cast<const unsigned char*>(msg.data()), msg.size()),
            1);
  EVP_MD_CTX_free(md);
  EVP_PKEY_CTX_free(pctx);

  // An RSA container cannot make an SM2 signature.
  EXPECT_EQ(api_->ECCSignData(Open("RSA"), e.data(), 32, &blob), SAR_KEYINFOTYPEERR);
}

TEST_F(SkfCryptoTest, RsaSignatureOverDigestInfoVerifies) {
  OpenApp(true);
  HCONTAINER c = Open("RSA");
  const std::string msg = "raw PKCS#1 signature";
  // DigestInfo of SHA-256 (RFC 8017), built by the caller as the standard says.
  std::vector<unsigned char> info = {0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                                     0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04, 0x20};
  unsigned char h[32];
  EVP_Digest(msg.data(), msg.size(), h, nullptr, EVP_sha256(), nullptr);
  info.insert(info.end(), h, h + 32);

  ULONG len = 0;
  ASSERT_EQ(api_->RSASignData(c, info.data(), info.size(), nullptr, &len), SAR_OK);
  EXPECT_EQ(len, 256u);
  std::vector<BYTE> sig(len);
  ULONG small = 100;
  EXPECT_EQ(api_->RSASignData(c, info.data(), info.size(), sig.data(), &small),
            SAR_BUFFER_TOO_SMALL);
  ASSERT_EQ(api_->RSASignData(c, info.data(), info.size(), sig.data(), &len), SAR_OK);

  EVP_MD_CTX* md = EVP_MD_CTX_new();
  ASSERT_GT(EVP_DigestVerifyInit(md, nullptr, EVP_sha256(), nullptr, RsaSign().PublicKey()), 0);
  EXPECT_EQ(EVP_DigestVerify(md, sig.data(), len, reinterpret_cast<const BYTE*>(msg.data()),
                             msg.size()),
            1);
  EVP_MD_CTX_free(md);

  std::vector<BYTE> tooLong(246, 1);  // more than modulus size - 11
  len = 256;
  EXPECT_EQ(api_->RSASignData(c, tooLong.data(), tooLong.size(), sig.data(), &len),
            SAR_INDATALENERR);
}

TEST_F(SkfCryptoTest, Sm2DecryptionOfBlobAndDer) {
  OpenApp(true);
  HCONTAINER c = Open("SM2");
  const std::string secret = "24-byte content key.....";
  std::vector<unsigned char> der = EncryptTo(Sm2Enc().PublicKey(), secret);
  std::vector<unsigned char> blob = ToCipherBlob(der);
  auto* cipher = reinterpret_cast<ECCCIPHERBLOB*>(blob.data());

  ULONG len = 0;
  ASSERT_EQ(api_->EccDecrypt(c, FALSE, cipher, nullptr, &len), SAR_OK);
  EXPECT_EQ(len, secret.size());
  std::vector<BYTE> plain(len);
  ASSERT_EQ(api_->EccDecrypt(c, FALSE, cipher, plain.data(), &len), SAR_OK);
  EXPECT_EQ(std::string(plain.begin(), plain.end()), secret);

  len = static_cast<ULONG>(plain.size());
  std::fill(plain.begin(), plain.end(), 0);
  ASSERT_EQ(api_->EccDecryptDer(c, FALSE, der.data(), der.size(), plain.data(), &len), SAR_OK);
  EXPECT_EQ(std::string(plain.begin(), plain.end()), secret);

  // The signature pair is another key; a changed C2 breaks the hash C3.
  len = static_cast<ULONG>(plain.size());
  EXPECT_EQ(api_->EccDecrypt(c, TRUE, cipher, plain.data(), &len), SAR_DECRYPTPADERR);
  cipher->Cipher[0] ^= 1;
  EXPECT_EQ(api_->EccDecrypt(c, FALSE, cipher, plain.data(), &len), SAR_DECRYPTPADERR);
  der.push_back(0);  // trailing garbage
  EXPECT_EQ(api_->EccDecryptDer(c, FALSE, der.data(), der.size(), plain.data(), &len),
            SAR_INDATAERR);
}

TEST_F(SkfCryptoTest, RsaDecryption) {
  OpenApp(true);
  HCONTAINER c = Open("RSA");
  const std::string secret = "RSA wrapped key";
  std::vector<unsigned char> in = EncryptTo(RsaSign().PublicKey(), secret, RSA_PKCS1_PADDING);
  std::vector<BYTE> out(256);
  ULONG len = static_cast<ULONG>(out.size());
  ASSERT_EQ(api_->RsaDecrypt(c, TRUE, in.data(), in.size(), out.data(), &len), SAR_OK);
  EXPECT_EQ(std::string(out.begin(), out.begin() + len), secret);
  len = static_cast<ULONG>(out.size());
  EXPECT_EQ(api_->RsaDecrypt(c, FALSE, in.data(), in.size(), out.data(), &len),
            SAR_KEYNOTFOUNTERR);
  // Each decryption refuses the other algorithm's key.
  std::vector<unsigned char> sm2 = EncryptTo(Sm2Enc().PublicKey(), secret);
  len = static_cast<ULONG>(out.size());
  EXPECT_EQ(api_->EccDecryptDer(c, TRUE, sm2.data(), sm2.size(), out.data(), &len),
            SAR_KEYINFOTYPEERR);
  EXPECT_EQ(api_->RsaDecrypt(Open("SM2"), FALSE, in.data(), in.size(), out.data(), &len),
            SAR_KEYINFOTYPEERR);
}

TEST_F(SkfCryptoTest, PrivateOperationsNeedTheUserPin) {
  OpenApp(false);
  HCONTAINER sm2 = Open("SM2");
  HCONTAINER rsa = Open("RSA");
  BYTE digest[32] = {0};
  ECCSIGNATUREBLOB sig;
  BYTE out[256];
  ULONG len = sizeof out;
  std::vector<unsigned char> der = EncryptTo(Sm2Enc().PublicKey(), "x");
  auto refusedAll = [&] {
    EXPECT_EQ(api_->ECCSignData(sm2, digest, 32, &sig), SAR_USER_NOT_LOGGED_IN);
    EXPECT_EQ(api_->RSASignData(rsa, digest, 32, out, &len), SAR_USER_NOT_LOGGED_IN);
    EXPECT_EQ(api_->EccDecryptDer(sm2, FALSE, der.data(), der.size(), out, &len),
              SAR_USER_NOT_LOGGED_IN);
  };
  refusedAll();
  // The admin PIN does not open private keys; a wrong user PIN neither.
  char so[] = "87654321", wrong[] = "99999999", right[] = "12345678";
  ULONG retries = 0;
  ASSERT_EQ(api_->VerifyPIN(app_, ADMIN_TYPE, so, &retries), SAR_OK);
  refusedAll();
  ASSERT_EQ(api_->VerifyPIN(app_, USER_TYPE, right, &retries), SAR_OK);
  EXPECT_EQ(api_->ECCSignData(sm2, digest, 32, &sig), SAR_OK);
  ASSERT_EQ(api_->ClearSecureState(app_), SAR_OK);
  refusedAll();
  ASSERT_EQ(api_->VerifyPIN(app_, USER_TYPE, right, &retries), SAR_OK);
  EXPECT_EQ(api_->VerifyPIN(app_, USER_TYPE, wrong, &retries), SAR_PIN_INCORRECT);
  refusedAll();
  // Security state belongs to the application handle that verified.
  HAPPLICATION other = nullptr;
  char app[] = "APP1", cname[] = "SM2";
  ASSERT_EQ(api_->VerifyPIN(app_, USER_TYPE, right, &retries), SAR_OK);
  ASSERT_EQ(api_->OpenApplication(dev_, app, &other), SAR_OK);
  HCONTAINER c2 = nullptr;
  ASSERT_EQ(api_->OpenContainer(other, cname, &c2), SAR_OK);
  EXPECT_EQ(api_->ECCSignData(c2, digest, 32, &sig), SAR_USER_NOT_LOGGED_IN);
}

}  // namespace
}  // namespace skftest
