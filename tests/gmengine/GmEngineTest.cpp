// gmEngine through OpenSSL's dynamic engine: key lookup by display name,
// PKCS#7 signing as the system signs, verification from the certificate
// alone, envelope decryption, PIN refusal, and the digest for code 11.
#include <cstring>
#include <string>

#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/pkcs7.h>

#include "tests/gmengine/GmTestSupport.h"

namespace gmtest {
namespace {

using tolmix::ossl::Ptr;

constexpr char kContent[] = "content signed through the device";

std::string MemText(BIO* bio) {
  char* p = nullptr;
  long n = BIO_get_mem_data(bio, &p);
  return std::string(p, static_cast<size_t>(n));
}

// The system's PKCS#7 signing: SHA-1, a contentType attribute, the signer
// certificate, attached content.  Returns the PEM text, "" on failure.
std::string SignLikeSystem(EVP_PKEY* key, X509* cert, const std::string& content) {
  Ptr<PKCS7> p7(PKCS7_new());
  if (!PKCS7_set_type(p7.get(), NID_pkcs7_signed)) return "";
  PKCS7_SIGNER_INFO* si = PKCS7_add_signature(p7.get(), cert, key, EVP_sha1());
  if (!si || !PKCS7_add_signed_attribute(si, NID_pkcs9_contentType, V_ASN1_OBJECT,
                                         OBJ_nid2obj(NID_pkcs7_data)) ||
      !PKCS7_add_certificate(p7.get(), cert) || !PKCS7_content_new(p7.get(), NID_pkcs7_data)) {
    return "";
  }
  PKCS7_ctrl(p7.get(), PKCS7_OP_SET_DETACHED_SIGNATURE, 0, nullptr);
  Ptr<BIO> chain(PKCS7_dataInit(p7.get(), nullptr));
  if (!chain || BIO_write(chain.get(), content.data(), static_cast<int>(content.size())) <= 0) {
    return "";
  }
  BIO_flush(chain.get());
  if (!PKCS7_dataFinal(p7.get(), chain.get())) return "";
  Ptr<BIO> out(BIO_new(BIO_s_mem()));
  return PEM_write_bio_PKCS7(out.get(), p7.get()) ? MemText(out.get()) : "";
}

struct Parsed {
  Ptr<PKCS7> p7;
  PKCS7_SIGNER_INFO* si = nullptr;
  X509* cert = nullptr;
};

Parsed Parse(const std::string& pem) {
  Parsed r;
  Ptr<BIO> in(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  r.p7.reset(PEM_read_bio_PKCS7(in.get(), nullptr, nullptr, nullptr));
  if (!r.p7) return r;
  r.si = sk_PKCS7_SIGNER_INFO_value(PKCS7_get_signer_info(r.p7.get()), 0);
  PKCS7_ISSUER_AND_SERIAL* ias = r.si->issuer_and_serial;
  r.cert = X509_find_by_issuer_and_serial(r.p7->d.sign->cert, ias->issuer, ias->serial);
  return r;
}

// The system's engine check of one signer (OpenSSL 1.0's
// PKCS7_signatureVerify with the key from ENGINE_load_public_key(cert)).
// 1 valid; 0 digest mismatch; -1 signature refused or error.
int VerifyWithEngine(ENGINE* e, const std::string& pem, std::string* digest = nullptr) {
  Parsed m = Parse(pem);
  if (!m.p7 || !m.si || !m.cert) return -1;
  Ptr<BIO> chain(PKCS7_dataInit(m.p7.get(), nullptr));
  char buf[1024];
  while (chain && BIO_read(chain.get(), buf, sizeof buf) > 0) {
  }
  BIO* mdbio = chain ? BIO_find_type(chain.get(), BIO_TYPE_MD) : nullptr;
  EVP_MD_CTX* mdc = nullptr;
  if (!mdbio || !BIO_get_md_ctx(mdbio, &mdc)) return -1;
  Ptr<EVP_MD_CTX> ctx(EVP_MD_CTX_new());
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int md_len = 0;
  if (!EVP_MD_CTX_copy_ex(ctx.get(), mdc) || !EVP_DigestFinal_ex(ctx.get(), md, &md_len)) return -1;
  ASN1_TYPE* attr = PKCS7_get_signed_attribute(m.si, NID_pkcs9_messageDigest);
  if (!attr || attr->value.octet_string->length != static_cast<int>(md_len) ||
      memcmp(attr->value.octet_string->data, md, md_len) != 0) {
    return 0;
  }
  if (digest) digest->assign(reinterpret_cast<char*>(md), md_len);
  unsigned char* abuf = nullptr;
  int alen = ASN1_item_i2d(reinterpret_cast<ASN1_VALUE*>(m.si->auth_attr), &abuf,
                           ASN1_ITEM_rptr(PKCS7_ATTR_VERIFY));
  bool ok = alen > 0 && EVP_DigestInit_ex(ctx.get(), EVP_get_digestbynid(NID_sha1), nullptr) &&
            EVP_DigestUpdate(ctx.get(), abuf, alen);
  OPENSSL_free(abuf);
  Ptr<EVP_PKEY> pub(ENGINE_load_public_key(e, nullptr, nullptr, m.cert));
  if (!ok || !pub) return -1;
  int rv = EVP_VerifyFinal(ctx.get(), m.si->enc_digest->data, m.si->enc_digest->length, pub.get());
  return rv > 0 ? 1 : -1;
}

// Independent check with OpenSSL's own SM2: SIG is an SM2 signature (ID
// 1234567812345678, SM3) of the message MSG by CERT's key.
bool OpenSslSm2Accepts(X509* cert, const std::string& msg, const unsigned char* sig, size_t len) {
  EVP_PKEY* pub = X509_get0_pubkey(cert);
  Ptr<EVP_PKEY_CTX> pctx(EVP_PKEY_CTX_new(pub, nullptr));
  Ptr<EVP_MD_CTX> md(EVP_MD_CTX_new());
  EVP_PKEY_CTX_set1_id(pctx.get(), "1234567812345678", 16);
  EVP_MD_CTX_set_pkey_ctx(md.get(), pctx.get());
  return EVP_DigestVerifyInit(md.get(), nullptr, EVP_sm3(), nullptr, pub) == 1 &&
         EVP_DigestVerify(md.get(), sig, len, reinterpret_cast<const unsigned char*>(msg.data()),
                          msg.size()) == 1;
}

TEST_F(GmEngineTest, KeyByDisplayNameIsAnEcTypedDeviceKeyWithoutPrivateScalar) {
  LoadEngine();
  Ptr<EVP_PKEY> key = LoadKey(kUserName);
  ASSERT_TRUE(key) << DrainErrors();
  EXPECT_EQ(EVP_PKEY_get_id(key.get()), EVP_PKEY_EC);
  const EC_KEY* ec = EVP_PKEY_get0_EC_KEY(key.get());
  ASSERT_NE(ec, nullptr);
  EXPECT_EQ(EC_KEY_get0_private_key(ec), nullptr);
  EXPECT_EQ(EC_GROUP_get_curve_name(EC_KEY_get0_group(ec)), NID_sm2);
  // The public part is the signature certificate's (second container).
  unsigned char point[65], cert_point[65];
  size_t cert_len = 0;
  ASSERT_EQ(EC_POINT_point2oct(EC_KEY_get0_group(ec), EC_KEY_get0_public_key(ec),
                               POINT_CONVERSION_UNCOMPRESSED, point, sizeof point, nullptr),
            sizeof point);
  ASSERT_TRUE(EVP_PKEY_get_octet_string_param(X509_get0_pubkey(SignIdentity().cert.get()),
                                              "encoded-pub-key", cert_point, sizeof cert_point,
                                              &cert_len));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(point), sizeof point),
            std::string(reinterpret_cast<char*>(cert_point), cert_len));
  EXPECT_EQ(CountCalls("SKF_VerifyPIN"), 1);

  EXPECT_TRUE(LoadKey("Other")) << "a name of the first container";
  EXPECT_FALSE(LoadKey("Nobody"));
  EXPECT_NE(DrainErrors().find("103:gmEngine: no SM2 certificate named \"Nobody\""), std::string::npos);
}

TEST_F(GmEngineTest, SignsPkcs7LikeTheSystemAndVerifiesFromTheCertificateAlone) {
  LoadEngine();
  Ptr<EVP_PKEY> key = LoadKey(kUserName);
  ASSERT_TRUE(key) << DrainErrors();
  ClearCalls();
  std::string pem = SignLikeSystem(key.get(), SignIdentity().cert.get(), kContent);
  ASSERT_FALSE(pem.empty()) << DrainErrors();
  EXPECT_EQ(CountCalls("SKF_ECCSignData"), 1);

  std::string digest;
  EXPECT_EQ(VerifyWithEngine(engine_, pem, &digest), 1) << DrainErrors();
  // While the engine is loaded, the SHA-1 method is SM3: 32 bytes.
  EXPECT_EQ(digest.size(), 32u);
  // The signature is a plain SM2 signature of the attributes' digest.
  Parsed m = Parse(pem);
  unsigned char* abuf = nullptr;
  int alen = ASN1_item_i2d(reinterpret_cast<ASN1_VALUE*>(m.si->auth_attr), &abuf,
                           ASN1_ITEM_rptr(PKCS7_ATTR_VERIFY));
  ASSERT_GT(alen, 0);
  unsigned char attr_digest[EVP_MAX_MD_SIZE];
  unsigned int n = 0;
  ASSERT_TRUE(EVP_Digest(abuf, alen, attr_digest, &n, EVP_sm3(), nullptr));
  OPENSSL_free(abuf);
  EXPECT_TRUE(OpenSslSm2Accepts(m.cert, std::string(reinterpret_cast<char*>(attr_digest), n),
                                m.si->enc_digest->data, m.si->enc_digest->length));

  // Altered content fails at the digest; an altered signature fails at the key.
  std::string altered = SignLikeSystem(key.get(), SignIdentity().cert.get(), "other content");
  ASSERT_FALSE(altered.empty());
  Parsed a = Parse(altered);
  Parsed b = Parse(pem);
  ASN1_OCTET_STRING_set(b.si->enc_digest, a.si->enc_digest->data, a.si->enc_digest->length);
  Ptr<BIO> out(BIO_new(BIO_s_mem()));
  ASSERT_TRUE(PEM_write_bio_PKCS7(out.get(), b.p7.get()));
  EXPECT_EQ(VerifyWithEngine(engine_, MemText(out.get())), -1);
  ERR_clear_error();
}

TEST_F(GmEngineTest, SignsAndVerifiesAPlainTwentyByteSha1Digest) {
  LoadEngine();
  Ptr<EVP_PKEY> key = LoadKey(kUserName);
  ASSERT_TRUE(key) << DrainErrors();
  const std::string d(20, '\x5A');  // a SHA-1 sized value handed to the key
  const auto* tbs = reinterpret_cast<const unsigned char*>(d.data());
  Ptr<EVP_PKEY_CTX> sctx(EVP_PKEY_CTX_new(key.get(), nullptr));
  unsigned char sig[128];
  size_t sig_len = sizeof sig;
  ASSERT_EQ(EVP_PKEY_sign_init(sctx.get()), 1);
  ASSERT_EQ(EVP_PKEY_sign(sctx.get(), sig, &sig_len, tbs, d.size()), 1) << DrainErrors();

  EXPECT_TRUE(OpenSslSm2Accepts(SignIdentity().cert.get(), d, sig, sig_len));
  Ptr<EVP_PKEY> pub(ENGINE_load_public_key(engine_, nullptr, nullptr, SignIdentity().cert.get()));
  ASSERT_TRUE(pub);
  Ptr<EVP_PKEY_CTX> vctx(EVP_PKEY_CTX_new(pub.get(), nullptr));
  ASSERT_EQ(EVP_PKEY_verify_init(vctx.get()), 1);
  EXPECT_EQ(EVP_PKEY_verify(vctx.get(), sig, sig_len, tbs, d.size()), 1);
  const std::string other(20, '\x5B');
  EXPECT_NE(EVP_PKEY_verify(vctx.get(), sig, sig_len,
                            reinterpret_cast<const unsigned char*>(other.data()), other.size()), 1);
  // Another certificate's key refuses it.
  Ptr<EVP_PKEY> wrong(ENGINE_load_public_key(engine_, nullptr, nullptr, EncIdentity().cert.get()));
  Ptr<EVP_PKEY_CTX> wctx(EVP_PKEY_CTX_new(wrong.get(), nullptr));
  ASSERT_EQ(EVP_PKEY_verify_init(wctx.get()), 1);
  EXPECT_NE(EVP_PKEY_verify(wctx.get(), sig, sig_len, tbs, d.size()), 1);
  ERR_clear_error();
}

TEST_F(GmEngineTest, DigestSignWithSm3IsTheStandardSm2SignatureOfTheMessage) {
  LoadEngine();
  Ptr<EVP_PKEY> key = LoadKey(kUserName);
  ASSERT_TRUE(key) << DrainErrors();
  for (const std::string& msg : {std::string(), std::string("abc"), std::string(70000, 'm')}) {
    ClearCalls();
    Ptr<EVP_MD_CTX> sctx(EVP_MD_CTX_new());
    unsigned char sig[128];
    size_t sig_len = sizeof sig;
    const auto* data = reinterpret_cast<const unsigned char*>(msg.data());
    ASSERT_EQ(EVP_DigestSignInit(sctx.get(), nullptr, EVP_sm3(), nullptr, key.get()), 1);
    ASSERT_EQ(EVP_DigestSign(sctx.get(), sig, &sig_len, data, msg.size()), 1) << DrainErrors();
    EXPECT_EQ(CountCalls("SKF_ECCSignData"), 1);
    // e = SM3(Z || message): OpenSSL's own SM2 accepts it over the message.
    EXPECT_TRUE(OpenSslSm2Accepts(SignIdentity().cert.get(), msg, sig, sig_len)) << msg.size();

    // The device key checks it the same way, and refuses another message.
    Ptr<EVP_MD_CTX> vctx(EVP_MD_CTX_new());
    ASSERT_EQ(EVP_DigestVerifyInit(vctx.get(), nullptr, EVP_sm3(), nullptr, key.get()), 1);
    EXPECT_EQ(EVP_DigestVerify(vctx.get(), sig, sig_len, data, msg.size()), 1);
    Ptr<EVP_MD_CTX> wctx(EVP_MD_CTX_new());
    const std::string other = msg + "x";
    ASSERT_EQ(EVP_DigestVerifyInit(wctx.get(), nullptr, EVP_sm3(), nullptr, key.get()), 1);
    EXPECT_NE(EVP_DigestVerify(wctx.get(), sig, sig_len,
                               reinterpret_cast<const unsigned char*>(other.data()), other.size()),
              1);
  }
  ERR_clear_error();
}

TEST_F(GmEngineTest, PublicKeysSignNothing) {
  LoadEngine();
  Ptr<EVP_PKEY> pub(ENGINE_load_public_key(engine_, nullptr, nullptr, SignIdentity().cert.get()));
  ASSERT_TRUE(pub);
  Ptr<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new(pub.get(), nullptr));
  unsigned char tbs[32] = {}, sig[128];
  size_t sig_len = sizeof sig;
  ASSERT_EQ(EVP_PKEY_sign_init(ctx.get()), 1);
  EXPECT_NE(EVP_PKEY_sign(ctx.get(), sig, &sig_len, tbs, sizeof tbs), 1);
  EXPECT_NE(DrainErrors().find("106:gmEngine: signing needs a key"), std::string::npos);
  EXPECT_FALSE(ENGINE_load_public_key(engine_, nullptr, nullptr, nullptr));
  ERR_clear_error();
}

TEST_F(GmEngineTest, WrongPinGivesTheDeviceRefusalAndRemainingTries) {
  LoadEngine();
  EXPECT_FALSE(LoadKey(kUserName, "00000000"));
  EXPECT_NE(DrainErrors().find("102:gmEngine: SKF_VerifyPIN refused: SAR 0x0A000024, 4 tries left"),
            std::string::npos);
  EXPECT_EQ(CountCalls("SKF_VerifyPIN"), 1);
  // An empty PIN does not spend a try.
  EXPECT_FALSE(LoadKey(kUserName, ""));
  EXPECT_NE(DrainErrors().find("101:"), std::string::npos);
  EXPECT_EQ(CountCalls("SKF_VerifyPIN"), 1);
  EXPECT_TRUE(LoadKey(kUserName)) << DrainErrors();
}

}  // namespace
}  // namespace gmtest
