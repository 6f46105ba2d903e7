// PKCS#7 signing on the three routes and verification of our messages and
// of messages made by the openssl command.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/pkcs7.h>

#include "engine/CertAlgorithms.h"
#include "tests/pkcs7/Pkcs7Bed.h"

namespace tolmix::pkcs7test {
namespace {

// "测试" in GBK, then ASCII over two lines: bytes the signature must keep.
const std::string kContent = "\xB2\xE2\xCA\xD4 signed text\nsecond line\n";
constexpr char kNoContent[] = "签名原文为空!";
constexpr char kVerifyFailed[] = "签名验证失败!";

// RSA under "SKF" runs as "P11"; a GM certificate makes "SKF" whatever was set.
const Route kP11{"P11", true, "SKF", "P11"};
const Route kCsp{"CSP", true, "CSP", "CSP"};
const Route kSkf{"SKF", false, "CSP", "SKF"};

// The bytes of S.  The string is opaque from OpenSSL 4.0 on.
std::string Bytes(const ASN1_STRING* s) {
  return std::string(reinterpret_cast<const char*>(ASN1_STRING_get0_data(s)),
                     static_cast<size_t>(ASN1_STRING_length(s)));
}

// S with byte AT XORed with MASK: a changed copy set back into S.
bool FlipByte(ASN1_STRING* s, size_t at, unsigned char mask) {
  std::string bytes = Bytes(s);
  if (at >= bytes.size()) return false;
  bytes[at] = static_cast<char>(bytes[at] ^ mask);
  return ASN1_STRING_set(s, bytes.data(), static_cast<int>(bytes.size())) == 1;
}

PKCS7_SIGNER_INFO* FirstSigner(PKCS7* p7) {
  return sk_PKCS7_SIGNER_INFO_value(PKCS7_get_signer_info(p7), 0);
}

std::vector<int> SignedAttributeNids(PKCS7_SIGNER_INFO* si) {
  std::vector<int> nids;
  for (int i = 0; i < sk_X509_ATTRIBUTE_num(si->auth_attr); ++i) {
    nids.push_back(OBJ_obj2nid(X509_ATTRIBUTE_get0_object(sk_X509_ATTRIBUTE_value(si->auth_attr, i))));
  }
  std::sort(nids.begin(), nids.end());
  return nids;
}

X509* ReadCert(const std::string& pem, ossl::Ptr<X509>* holder) {
  ossl::Ptr<BIO> in(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  holder->reset(PEM_read_bio_X509(in.get(), nullptr, nullptr, nullptr));
  return holder->get();
}

class SignVerifyTest : public ::testing::TestWithParam<Route> {};

TEST_P(SignVerifyTest, AttachedMessageIsWellFormedAndVerifiesHereAndWithOpenssl) {
  const Route& route = GetParam();
  SignResult s = Sign(route, kContent, 1);
  ASSERT_EQ(s.result, 0) << s.error;
  EXPECT_EQ(s.iface, route.iface);
  EXPECT_EQ(s.pem.rfind("-----BEGIN PKCS7-----\n", 0), 0u);

  ossl::Ptr<PKCS7> p7 = ParsePem(s.pem);
  ASSERT_TRUE(p7 && PKCS7_type_is_signed(p7.get()));
  ASN1_OCTET_STRING* data = p7->d.sign->contents->d.data;
  ASSERT_NE(data, nullptr);
  EXPECT_EQ(Bytes(data), kContent);
  ASSERT_EQ(sk_PKCS7_SIGNER_INFO_num(PKCS7_get_signer_info(p7.get())), 1);
  PKCS7_SIGNER_INFO* si = FirstSigner(p7.get());
  // RSA: SHA-1 and OpenSSL's own signature name; SM2: the GM profile.
  char sigAlg[64] = {};
  OBJ_obj2txt(sigAlg, sizeof sigAlg, si->digest_enc_alg->algorithm, 1);
  EXPECT_EQ(OBJ_obj2nid(si->digest_alg->algorithm), route.rsa ? NID_sha1 : NID_sm3);
  EXPECT_STREQ(sigAlg, route.rsa ? "1.2.840.113549.1.1.1" : "1.2.156.10197.1.301.1");
  std::vector<int> expected = {NID_pkcs9_contentType, NID_pkcs9_signingTime,
                               NID_pkcs9_messageDigest};
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(SignedAttributeNids(si), expected);
  // The one certificate carried is the signer's, whose PEM the engine holds.
  ossl::Ptr<X509> signer;
  ASSERT_TRUE(ReadCert(s.cert_text, &signer));
  ASSERT_EQ(sk_X509_num(p7->d.sign->cert), 1);
  EXPECT_EQ(X509_cmp(sk_X509_value(p7->d.sign->cert, 0), signer.get()), 0);

  if (route.rsa) {
    EXPECT_EQ(OpensslVerify(s.pem), kContent);
  }
  VerifyResult v = Verify(route.verify_as, s.pem);
  EXPECT_EQ(v.result, 0) << v.error;
  EXPECT_EQ(v.content, kContent);
  EXPECT_EQ(v.iface, route.verified_iface);

  // A messageDigest that no longer matches the content fails at the digest.
  // OpenSSL 4.0 hands the attribute out const: the test changes it in place all the same.
  ASN1_TYPE* md = const_cast<ASN1_TYPE*>(PKCS7_get_signed_attribute(si, NID_pkcs9_messageDigest));
  ASSERT_TRUE(md && md->type == V_ASN1_OCTET_STRING);
  ASSERT_TRUE(FlipByte(md->value.octet_string, 0, 0x01));
  VerifyResult t = Verify(route.verify_as, ToPem(p7.get()));
  EXPECT_EQ(t.result, -1);
  EXPECT_EQ(t.error, kVerifyFailed);
  EXPECT_EQ(ERR_GET_REASON(t.last_error), PKCS7_R_DIGEST_FAILURE);
}

TEST_P(SignVerifyTest, DetachedSignatureCarriesNoContentAndIsRefusedHere) {
  const Route& route = GetParam();
  SignResult s = Sign(route, kContent, 0);
  ASSERT_EQ(s.result, 0) << s.error;
  ossl::Ptr<PKCS7> p7 = ParsePem(s.pem);
  ASSERT_TRUE(p7);
  EXPECT_TRUE(PKCS7_is_detached(p7.get()));
  if (route.rsa) {
    EXPECT_EQ(OpensslVerify(s.pem, &kContent), kContent);
  }
  VerifyResult v = Verify(route.verify_as, s.pem);
  EXPECT_EQ(v.result, -1);
  EXPECT_EQ(v.error, kNoContent);
  EXPECT_FALSE(v.has_content);
}

INSTANTIATE_TEST_SUITE_P(Routes, SignVerifyTest, ::testing::Values(kP11, kCsp, kSkf),
                         [](const ::testing::TestParamInfo<Route>& info) {
                           return std::string(info.param.iface);
                         });

TEST(SignDataTest, OutputLongerThanTheBufferIsNotCutAndTheNeededSizeIsReported) {
  SkfKeyHidden hidden;
  std::vector<char> buf(4096, '\0');
  unsigned len = 100;
  {
    CMSEngine engine;
    engine.SetInterface("P11");
    engine.SetPassword(PinOf(kP11).c_str());
    EXPECT_EQ(engine.SignData(kContent.data(), static_cast<int>(kContent.size()), 1, buf.data(), &len), -1);
  }
  EXPECT_GT(len, 100u);
  EXPECT_TRUE(std::all_of(buf.begin(), buf.end(), [](char c) { return c == '\0'; }));

  ASSERT_LE(len, buf.size());
  const unsigned needed = len;  // RSA: every signing of this content has this size
  CMSEngine engine;
  engine.SetInterface("P11");
  engine.SetPassword(PinOf(kP11).c_str());
  ASSERT_EQ(engine.SignData(kContent.data(), static_cast<int>(kContent.size()), 1, buf.data(), &len), 0);
  EXPECT_EQ(len, needed);
  const std::string pem(buf.data(), len);
  EXPECT_EQ(pem.substr(pem.size() - 20), "-----END PKCS7-----\n");
  EXPECT_EQ(OpensslVerify(pem), kContent);
  EXPECT_EQ(buf[len], '\0') << "nothing beyond the text";

  // Empty content writes nothing into the data chain.
  std::string out;
  EXPECT_EQ(engine.SignData("", 0, 1, &out), -1);
  char error[CMSEngine::kErrorTextSize];
  engine.GetErrorText(error);
  EXPECT_STREQ(error, "P7\xC7\xA9\xC3\xFB\xD0\xB4\xB2\xD9\xD7\xF7\xCA\xA7\xB0\xDC!");  // P7签名写操作失败!
}

TEST(VerifyTest, OpensslMessageVerifiesUnderEveryInterfaceAndDetachedIsRefused) {
  const std::string pem = OpensslSign(kContent, true);
  ASSERT_FALSE(pem.empty());
  for (auto [iface, settled] : {std::pair{"CSP", "CSP"}, {"SKF", "P11"}, {"P11", "P11"}}) {
    VerifyResult v = Verify(iface, pem);
    EXPECT_EQ(v.result, 0) << iface << ": " << v.error;
    EXPECT_EQ(v.content, kContent) << iface;
    EXPECT_EQ(v.iface, settled);
  }
  const std::string detached = OpensslSign(kContent, false);
  ASSERT_FALSE(detached.empty());
  for (const char* iface : {"CSP", "P11"}) {
    VerifyResult v = Verify(iface, detached);
    EXPECT_EQ(v.result, -1) << iface;
    EXPECT_EQ(v.error, kNoContent) << iface;
  }
}

// Two signers (other-rsa twice, SHA-256); with BREAK the second signature
// is altered.
std::string TwoSignerMessage(bool brk) {
  ossl::Ptr<BIO> cin(BIO_new_file(Pki("other-rsa.pem").c_str(), "r"));
  ossl::Ptr<BIO> kin(BIO_new_file(Pki("other-rsa.key").c_str(), "r"));
  ossl::Ptr<X509> cert(cin ? PEM_read_bio_X509(cin.get(), nullptr, nullptr, nullptr) : nullptr);
  ossl::Ptr<EVP_PKEY> key(kin ? PEM_read_bio_PrivateKey(kin.get(), nullptr, nullptr, nullptr) : nullptr);
  if (!cert || !key) return "";
  ossl::Ptr<PKCS7> p7(PKCS7_sign(nullptr, nullptr, nullptr, nullptr, PKCS7_PARTIAL | PKCS7_BINARY));
  ossl::Ptr<BIO> data(BIO_new_mem_buf(kContent.data(), static_cast<int>(kContent.size())));
  if (!p7 || !PKCS7_sign_add_signer(p7.get(), cert.get(), key.get(), EVP_sha256(), 0) ||
      !PKCS7_sign_add_signer(p7.get(), cert.get(), key.get(), EVP_sha256(), PKCS7_NOCERTS) ||
      !PKCS7_final(p7.get(), data.get(), PKCS7_BINARY)) {
    return "";
  }
  if (brk) {
    ASN1_OCTET_STRING* sig = sk_PKCS7_SIGNER_INFO_value(PKCS7_get_signer_info(p7.get()), 1)->enc_digest;
    if (!FlipByte(sig, static_cast<size_t>(ASN1_STRING_length(sig)) / 2, 0xFF)) return "";
  }
  return ToPem(p7.get());
}

TEST(VerifyTest, BrokenSecondSignerFailsAndTheContentIsStillStored) {
  const std::string good = TwoSignerMessage(false), broken = TwoSignerMessage(true);
  ASSERT_FALSE(good.empty());
  ASSERT_FALSE(broken.empty());
  for (const char* iface : {"CSP", "P11"}) {  // OpenSSL's own check, the engine's
    EXPECT_EQ(Verify(iface, good).result, 0) << iface;
    VerifyResult v = Verify(iface, broken);
    EXPECT_EQ(v.result, -1) << iface;
    EXPECT_EQ(v.error, kVerifyFailed) << iface;
    EXPECT_EQ(v.content, kContent) << iface;
  }
}

TEST(VerifyTest, CertificateAlgorithmNamesAsTheSystemComparesThem) {
  ossl::Ptr<X509> sm2, rsa;
  ASSERT_TRUE(ReadCert(ReadFile(Pki("skf-sm2-sign.pem")), &sm2));
  ASSERT_TRUE(ReadCert(ReadFile(Pki("other-rsa.pem")), &rsa));
  char name[kAlgorithmNameSize] = {};
  CertSignatureAlgorithmName(sm2.get(), name);
  EXPECT_STREQ(name, "1.2.156.10197.1.501");
  char rsa_name[kAlgorithmNameSize] = {};
  CertSignatureAlgorithmName(rsa.get(), rsa_name);
  EXPECT_STREQ(rsa_name, "sha256WithRSAEncryption");
  EXPECT_FALSE(IsGmAlgorithmName(rsa_name));
  EXPECT_TRUE(IsGmAlgorithmName("ECDSA-with-sha256"));
  EXPECT_FALSE(IsGmAlgorithmName("ecdsa-with-SHA384"));
}

}  // namespace
}  // namespace tolmix::pkcs7test
