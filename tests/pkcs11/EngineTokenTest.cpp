// The pkcs11_rsa_key engine against a real PKCS#11 module (SoftHSM2): keys
// and certificates by key kind, signatures and decryption on the token,
// certificate reads without login, and the device's own refusals.

#include <cstring>
#include <string>

#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

#include "engine/EngineSlots.h"
#include "platform/DynamicLibrary.h"
#include "tests/pkcs11/TestSupport.h"

#include <p11-kit/pkcs11.h>

namespace tolmix::p11test {
namespace {

class EngineTokenTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    EnsureEngineSlots();
    bed_ = new TokenBed;
    ready_ = bed_->Create();
  }
  static void TearDownTestSuite() {
    bed_->Remove();
    delete bed_;
    bed_ = nullptr;
  }
  void SetUp() override {
    ASSERT_TRUE(ready_) << "SoftHSM2 token could not be provisioned";
    ASSERT_TRUE(bed_->WriteDeviceList({"libsofthsm2.so"}));
    ASSERT_TRUE(engine_.Load()) << DrainErrors();
    ERR_clear_error();
  }
  void TearDown() override {
    cert_.reset();
    key_.reset();  // keys go before the module is unloaded
    engine_.Release();
  }

  // ENGINE_load_ssl_client_cert as the system calls it.
  bool LoadClientCert(int kind) {
    X509* cert = nullptr;
    EVP_PKEY* key = nullptr;
    int ok = ENGINE_load_ssl_client_cert(engine_.get(), nullptr, nullptr, &cert, &key, nullptr,
                                         nullptr, &kind);
    cert_.reset(cert);
    key_.reset(key);
    return ok && cert && key;
  }
  void SetPin(const char* pin) { ENGINE_set_ex_data(engine_.get(), kEngineSlotPin, const_cast<char*>(pin)); }

  static std::string CommonName(X509* cert) {
    char cn[128] = "";
    X509_NAME_get_text_by_NID(X509_get_subject_name(cert), NID_commonName, cn, sizeof cn);
    return cn;
  }

  static TokenBed* bed_;
  static bool ready_;
  LoadedEngine engine_;
  ossl::Ptr<X509> cert_;
  ossl::Ptr<EVP_PKEY> key_;
};

TokenBed* EngineTokenTest::bed_ = nullptr;
bool EngineTokenTest::ready_ = false;

TEST_F(EngineTokenTest, SignatureKeySignsOnTokenAndVerifiesWithCertificateAlone) {
  char pin[32] = "123456";  // the system hands a pointer to its own PIN field
  SetPin(pin);
  ASSERT_TRUE(LoadClientCert(2)) << DrainErrors();
  EXPECT_EQ(CommonName(cert_.get()), "Test Signer");

  // The key OpenSSL holds has no private part: d is absent.
  const RSA* rsa = EVP_PKEY_get0_RSA(key_.get());
  ASSERT_NE(rsa, nullptr);
  const BIGNUM *n = nullptr, *e = nullptr, *d = nullptr;
  RSA_get0_key(rsa, &n, &e, &d);
  EXPECT_NE(n, nullptr);
  EXPECT_EQ(d, nullptr);

  const unsigned char data[] = "content to sign";
  unsigned char sig[512];
  size_t sig_len = sizeof sig;
  ossl::Ptr<EVP_MD_CTX> md(EVP_MD_CTX_new());
  ASSERT_EQ(EVP_DigestSignInit(md.get(), nullptr, EVP_sha1(), nullptr, key_.get()), 1);
  ASSERT_EQ(EVP_DigestSign(md.get(), sig, &sig_len, data, sizeof data), 1) << DrainErrors();
  EXPECT_EQ(sig_len, 256u);

  ossl::Ptr<X509> cert = ReadPemCert(bed_->sign_cert_pem);
  ossl::Ptr<EVP_PKEY> pub(X509_get_pubkey(cert.get()));
  ossl::Ptr<EVP_MD_CTX> vmd(EVP_MD_CTX_new());
  ASSERT_EQ(EVP_DigestVerifyInit(vmd.get(), nullptr, EVP_sha1(), nullptr, pub.get()), 1);
  EXPECT_EQ(EVP_DigestVerify(vmd.get(), sig, sig_len, data, sizeof data), 1);
  unsigned char other[] = "content to sigN";
  ASSERT_EQ(EVP_DigestVerifyInit(vmd.get(), nullptr, EVP_sha1(), nullptr, pub.get()), 1);
  EXPECT_NE(EVP_DigestVerify(vmd.get(), sig, sig_len, other, sizeof other), 1);

  // PKCS#7 signed data through the token key, verified by OpenSSL alone.
  ossl::Ptr<BIO> in(BIO_new_mem_buf(data, sizeof data));
  ossl::Ptr<PKCS7> p7(PKCS7_sign(cert_.get(), key_.get(), nullptr, in.get(), PKCS7_BINARY));
  ASSERT_NE(p7, nullptr) << DrainErrors();
  ossl::Ptr<X509_STORE> store(X509_STORE_new());
  ossl::Ptr<BIO> content(BIO_new(BIO_s_mem()));
  EXPECT_EQ(PKCS7_verify(p7.get(), nullptr, store.get(), nullptr, content.get(),
                         PKCS7_NOVERIFY | PKCS7_BINARY),
            1)
      << DrainErrors();
  char* out = nullptr;
  long out_len = BIO_get_mem_data(content.get(), &out);
  EXPECT_EQ(std::string(out, out_len), std::string(reinterpret_cast<const char*>(data), sizeof data));
}

TEST_F(EngineTokenTest, ExchangeKeyUnwrapsContentKeyOnToken) {
  SetPin(kPin);
  ASSERT_TRUE(LoadClientCert(1)) << DrainErrors();
  EXPECT_EQ(CommonName(cert_.get()), "Test Exchange");

  // A content key wrapped to the exchange certificate (PKCS#1 v1.5).
  ossl::Ptr<X509> cert = ReadPemCert(bed_->exchange_cert_pem);
  ossl::Ptr<EVP_PKEY> pub(X509_get_pubkey(cert.get()));
  const unsigned char content_key[24] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12,
                                         13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24};
  unsigned char wrapped[256];
  size_t wrapped_len = sizeof wrapped;
  ossl::Ptr<EVP_PKEY_CTX> enc(EVP_PKEY_CTX_new(pub.get(), nullptr));
  ASSERT_EQ(EVP_PKEY_encrypt_init(enc.get()), 1);
  ASSERT_EQ(EVP_PKEY_CTX_set_rsa_padding(enc.get(), RSA_PKCS1_PADDING), 1);
  ASSERT_EQ(EVP_PKEY_encrypt(enc.get(), wrapped, &wrapped_len, content_key, sizeof content_key), 1);

  unsigned char unwrapped[256];
  size_t unwrapped_len = sizeof unwrapped;
  ossl::Ptr<EVP_PKEY_CTX> dec(EVP_PKEY_CTX_new(key_.get(), nullptr));
  ASSERT_EQ(EVP_PKEY_decrypt_init(dec.get()), 1);
  ASSERT_EQ(EVP_PKEY_CTX_set_rsa_padding(dec.get(), RSA_PKCS1_PADDING), 1);
  ASSERT_EQ(EVP_PKEY_decrypt(dec.get(), unwrapped, &unwrapped_len, wrapped, wrapped_len), 1)
      << DrainErrors();
  ASSERT_EQ(unwrapped_len, sizeof content_key);
  EXPECT_EQ(memcmp(unwrapped, content_key, sizeof content_key), 0);

  // The same through a Triple-DES envelope, with slots 6 and 8 set as the
  // system sets them around PKCS7_dataDecode.
  const char text[] = "enveloped text";
  ossl::Ptr<STACK_OF(X509)> recipients(sk_X509_new_null());
  sk_X509_push(recipients.get(), X509_dup(cert.get()));
  ossl::Ptr<BIO> in(BIO_new_mem_buf(text, sizeof text - 1));
  ossl::Ptr<PKCS7> p7(PKCS7_encrypt(recipients.get(), in.get(), EVP_des_ede3_cbc(), PKCS7_BINARY));
  ASSERT_NE(p7, nullptr);
  static const char kOne[] = "1";
  static const char kZero[] = "0";
  ENGINE_set_ex_data(engine_.get(), kEngineSlotEnvelopeOpen, const_cast<char*>(kOne));
  ENGINE_set_ex_data(engine_.get(), kEngineSlotDecrypt, const_cast<char*>(kOne));
  ossl::Ptr<BIO> chain(PKCS7_dataDecode(p7.get(), key_.get(), nullptr, cert_.get()));
  ASSERT_NE(chain, nullptr) << DrainErrors();
  ENGINE_set_ex_data(engine_.get(), kEngineSlotEnvelopeOpen, const_cast<char*>(kZero));
  char plain[64] = {};
  int n = BIO_read(chain.get(), plain, sizeof plain - 1);
  EXPECT_EQ(std::string(plain, n > 0 ? n : 0), text);
}

TEST_F(EngineTokenTest, CertificateReadNeedsNoPin) {
  static const char kReadCert[] = "READCERT";
  ENGINE_set_ex_data(engine_.get(), kEngineSlotReadCert, const_cast<char*>(kReadCert));
  ASSERT_TRUE(LoadClientCert(2)) << DrainErrors();
  EXPECT_EQ(CommonName(cert_.get()), "Test Signer");
  ossl::Ptr<EVP_PKEY> cert_key(X509_get_pubkey(cert_.get()));
  EXPECT_EQ(EVP_PKEY_eq(cert_key.get(), key_.get()), 1);

  // Any kind other than 2 reads the exchange certificate.
  ASSERT_TRUE(LoadClientCert(7)) << DrainErrors();
  EXPECT_EQ(CommonName(cert_.get()), "Test Exchange");
}

TEST_F(EngineTokenTest, WrongPinIsTheDevicesRefusal) {
  SetPin("000000");
  EXPECT_FALSE(LoadClientCert(2));
  EXPECT_EQ(cert_, nullptr);
  EXPECT_EQ(key_, nullptr);
  // C_Login's return value is the reason of an entry of its own;
  // the engine repeats it in its text.
  std::string errors = DrainErrors();
  EXPECT_NE(errors.find("reason=0xA0 "), std::string::npos) << errors;
  EXPECT_NE(errors.find("C_Login refused: CKR 0x000000A0"), std::string::npos) << errors;

  // The right PIN on the same engine then works: each load logs in afresh.
  SetPin(kPin);
  EXPECT_TRUE(LoadClientCert(2)) << DrainErrors();
}

TEST_F(EngineTokenTest, MissingPinFailsBeforeTheDevice) {
  EXPECT_FALSE(LoadClientCert(2));
  EXPECT_NE(DrainErrors().find("no PIN"), std::string::npos);
  SetPin("");
  EXPECT_FALSE(LoadClientCert(1));
}

TEST_F(EngineTokenTest, PrivateKeyByKindIdAndLabel) {
  SetPin(kPin);
  ossl::Ptr<X509> exchange = ReadPemCert(bed_->exchange_cert_pem);
  ossl::Ptr<EVP_PKEY> exchange_pub(X509_get_pubkey(exchange.get()));
  ossl::Ptr<X509> signer = ReadPemCert(bed_->sign_cert_pem);
  ossl::Ptr<EVP_PKEY> signer_pub(X509_get_pubkey(signer.get()));

  struct Case {
    const char* key_id;
    EVP_PKEY* expected;
  } cases[] = {{"1", exchange_pub.get()},      {"2", signer_pub.get()},
               {nullptr, signer_pub.get()},    {"id:02", exchange_pub.get()},
               {"label:signer", signer_pub.get()}};
  for (const Case& c : cases) {
    ossl::Ptr<EVP_PKEY> key(ENGINE_load_private_key(engine_.get(), c.key_id, nullptr, nullptr));
    ASSERT_NE(key, nullptr) << (c.key_id ? c.key_id : "(null)") << DrainErrors();
    EXPECT_EQ(EVP_PKEY_eq(key.get(), c.expected), 1) << (c.key_id ? c.key_id : "(null)");
  }
  for (const char* bad : {"id:03", "label:nobody", "id:0", "3", "id:zz"}) {
    EXPECT_EQ(ENGINE_load_private_key(engine_.get(), bad, nullptr, nullptr), nullptr) << bad;
  }
  ERR_clear_error();
}

TEST_F(EngineTokenTest, PublicKeyComesFromTheCertificateGiven) {
  ossl::Ptr<X509> cert = ReadPemCert(bed_->exchange_cert_pem);
  ossl::Ptr<EVP_PKEY> expected(X509_get_pubkey(cert.get()));
  ossl::Ptr<EVP_PKEY> key(ENGINE_load_public_key(engine_.get(), nullptr, nullptr, cert.get()));
  ASSERT_NE(key, nullptr) << DrainErrors();
  EXPECT_EQ(EVP_PKEY_eq(key.get(), expected.get()), 1);
}

TEST_F(EngineTokenTest, NoListedModuleWithATokenFails) {
  ASSERT_TRUE(bed_->WriteDeviceList({"missing-module.so"}));
  SetPin(kPin);
  EXPECT_FALSE(LoadClientCert(2));
  EXPECT_NE(DrainErrors().find("no PKCS#11 module with a token"), std::string::npos);

  // The first module that loads and has a token is used.
  engine_.Release();
  ASSERT_TRUE(bed_->WriteDeviceList({"missing-module.so", "libsofthsm2.so"}));
  ASSERT_TRUE(engine_.Load());
  SetPin(kPin);
  EXPECT_TRUE(LoadClientCert(2)) << DrainErrors();
}

// The token keeps its keys: SoftHSM marks them sensitive and not
// extractable, and refuses to reveal the private exponent.  Checked straight
// through the PKCS#11 module, with the engine not loaded.
TEST_F(EngineTokenTest, TokenKeysAreSensitiveAndNotExtractable) {
  engine_.Release();
  platform::DynamicLibrary module;
  ASSERT_TRUE(module.Load(kSoftHsmModule)) << module.Error();
  auto get_list = module.Resolve<CK_RV (*)(CK_FUNCTION_LIST_PTR_PTR)>("C_GetFunctionList");
  ASSERT_NE(get_list, nullptr);
  CK_FUNCTION_LIST_PTR f = nullptr;
  ASSERT_EQ(get_list(&f), CKR_OK);
  ASSERT_EQ(f->C_Initialize(nullptr), CKR_OK);
  CK_SLOT_ID slots[8];
  CK_ULONG slot_count = 8;
  ASSERT_EQ(f->C_GetSlotList(CK_TRUE, slots, &slot_count), CKR_OK);
  ASSERT_GE(slot_count, 1u);
  CK_SESSION_HANDLE session = 0;
  ASSERT_EQ(f->C_OpenSession(slots[0], CKF_SERIAL_SESSION, nullptr, nullptr, &session), CKR_OK);
  ASSERT_EQ(f->C_Login(session, CKU_USER, (CK_UTF8CHAR_PTR)kPin, strlen(kPin)), CKR_OK);

  CK_OBJECT_CLASS klass = CKO_PRIVATE_KEY;
  CK_ATTRIBUTE find[] = {{CKA_CLASS, &klass, sizeof klass}};
  ASSERT_EQ(f->C_FindObjectsInit(session, find, 1), CKR_OK);
  CK_OBJECT_HANDLE keys[8];
  CK_ULONG key_count = 0;
  ASSERT_EQ(f->C_FindObjects(session, keys, 8, &key_count), CKR_OK);
  f->C_FindObjectsFinal(session);
  EXPECT_EQ(key_count, 2u);
  for (CK_ULONG i = 0; i < key_count; ++i) {
    CK_BBOOL sensitive = CK_FALSE, extractable = CK_TRUE;
    CK_ATTRIBUTE flags[] = {{CKA_SENSITIVE, &sensitive, sizeof sensitive},
                            {CKA_EXTRACTABLE, &extractable, sizeof extractable}};
    ASSERT_EQ(f->C_GetAttributeValue(session, keys[i], flags, 2), CKR_OK);
    EXPECT_EQ(sensitive, CK_TRUE);
    EXPECT_EQ(extractable, CK_FALSE);
    unsigned char d[512];
    CK_ATTRIBUTE exponent[] = {{CKA_PRIVATE_EXPONENT, d, sizeof d}};
    EXPECT_EQ(f->C_GetAttributeValue(session, keys[i], exponent, 1), CKR_ATTRIBUTE_SENSITIVE);
  }
  f->C_Logout(session);
  f->C_CloseSession(session);
  f->C_Finalize(nullptr);
}

}  // namespace
}  // namespace tolmix::p11test
