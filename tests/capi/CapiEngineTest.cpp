// The capi engine over a soft store: keys by key container name whose
// private half stays in the module, signatures and envelope decryption
// checked with the certificates alone, refusals queued on OpenSSL's error
// queue, and nothing left behind when the engine and its keys are released.
#include <dlfcn.h>

#include <cstring>
#include <string>

#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

#include "engine/EngineSlots.h"
#include "platform/Store.h"
#include "tests/capi/CapiTestBed.h"

namespace tolmix::capitest {
namespace {

class CapiEngineTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    EnsureEngineSlots();
    bed_ = new StoreBed;
    ready_ = bed_->Create();
  }
  static void TearDownTestSuite() {
    bed_->Remove();
    delete bed_;
    bed_ = nullptr;
  }
  void SetUp() override {
    ASSERT_TRUE(ready_) << "soft store could not be made";
    ASSERT_TRUE(engine_.Load()) << DrainErrors();
    ERR_clear_error();
  }
  void TearDown() override {
    engine_.Release();
    ERR_clear_error();
  }

  // ENGINE_load_private_key as the system calls it: no UI, no callback data.
  ossl::Ptr<EVP_PKEY> LoadKey(const char* container) {
    return ossl::Ptr<EVP_PKEY>(ENGINE_load_private_key(engine_.get(), container, nullptr, nullptr));
  }

  // True when KEY's RSA has the certificate's modulus and no private exponent.
  static void ExpectPublicOnly(EVP_PKEY* key, X509* cert) {
    const RSA* rsa = EVP_PKEY_get0_RSA(key);
    ASSERT_NE(rsa, nullptr);
    const BIGNUM *n = nullptr, *e = nullptr, *d = nullptr;
    RSA_get0_key(rsa, &n, &e, &d);
    EXPECT_EQ(d, nullptr);
    const BIGNUM *p = nullptr, *q = nullptr;
    RSA_get0_factors(rsa, &p, &q);
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(q, nullptr);
    ossl::Ptr<EVP_PKEY> pub(X509_get_pubkey(cert));
    EXPECT_EQ(EVP_PKEY_eq(pub.get(), key), 1);
  }

  static StoreBed* bed_;
  static bool ready_;
  LoadedEngine engine_;
};

StoreBed* CapiEngineTest::bed_ = nullptr;
bool CapiEngineTest::ready_ = false;

TEST_F(CapiEngineTest, SignatureKeySignsSha1InModuleAndVerifiesWithCertificateAlone) {
  ossl::Ptr<EVP_PKEY> key = LoadKey(kSignContainer);
  ASSERT_NE(key, nullptr) << DrainErrors();
  ExpectPublicOnly(key.get(), bed_->sign_cert.get());
  ossl::Ptr<EVP_PKEY> pub(X509_get_pubkey(bed_->sign_cert.get()));

  // EVP_DigestSign with SHA-1 (the method's sign).
  const unsigned char data[] = "content to sign";
  unsigned char sig[512];
  size_t sig_len = sizeof sig;
  ossl::Ptr<EVP_MD_CTX> md(EVP_MD_CTX_new());
  ASSERT_EQ(EVP_DigestSignInit(md.get(), nullptr, EVP_sha1(), nullptr, key.get()), 1);
  ASSERT_EQ(EVP_DigestSign(md.get(), sig, &sig_len, data, sizeof data), 1) << DrainErrors();
  EXPECT_EQ(sig_len, 256u);
  ossl::Ptr<EVP_MD_CTX> vmd(EVP_MD_CTX_new());
  ASSERT_EQ(EVP_DigestVerifyInit(vmd.get(), nullptr, EVP_sha1(), nullptr, pub.get()), 1);
  EXPECT_EQ(EVP_DigestVerify(vmd.get(), sig, sig_len, data, sizeof data), 1);
  const unsigned char other[] = "content to sigN";
  ASSERT_EQ(EVP_DigestVerifyInit(vmd.get(), nullptr, EVP_sha1(), nullptr, pub.get()), 1);
  EXPECT_NE(EVP_DigestVerify(vmd.get(), sig, sig_len, other, sizeof other), 1);

  // The raw-signature route: EVP_SignFinal over a SHA-1 digest.
  unsigned char raw[8192] = {};
  unsigned raw_len = 0;
  ossl::Ptr<EVP_MD_CTX> sctx(EVP_MD_CTX_new());
  ASSERT_EQ(EVP_SignInit(sctx.get(), EVP_sha1()), 1);
  ASSERT_EQ(EVP_SignUpdate(sctx.get(), data, sizeof data), 1);
  ASSERT_EQ(EVP_SignFinal(sctx.get(), raw, &raw_len, key.get()), 1) << DrainErrors();
  ASSERT_EQ(EVP_VerifyInit(sctx.get(), EVP_sha1()), 1);
  ASSERT_EQ(EVP_VerifyUpdate(sctx.get(), data, sizeof data), 1);
  EXPECT_EQ(EVP_VerifyFinal(sctx.get(), raw, raw_len, pub.get()), 1);

  // priv_enc directly: a PKCS#1 type 1 block that the public key opens.
  const unsigned char block[] = "twenty bytes digest!";
  unsigned char enc[256], dec[256];
  RSA* rsa = const_cast<RSA*>(EVP_PKEY_get0_RSA(key.get()));
  int enc_len = RSA_private_encrypt(20, block, enc, rsa, RSA_PKCS1_PADDING);
  ASSERT_EQ(enc_len, 256) << DrainErrors();
  RSA* pub_rsa = const_cast<RSA*>(EVP_PKEY_get0_RSA(pub.get()));
  EXPECT_EQ(RSA_public_decrypt(enc_len, enc, dec, pub_rsa, RSA_PKCS1_PADDING),
            20);
  EXPECT_EQ(memcmp(dec, block, 20), 0);
}

TEST_F(CapiEngineTest, SignedMessageThroughTheKeyVerifiesWithItsCertificate) {
  ossl::Ptr<EVP_PKEY> key = LoadKey(kSignContainer);
  ASSERT_NE(key, nullptr) << DrainErrors();
  const char text[] = "signed text";
  ossl::Ptr<BIO> in(BIO_new_mem_buf(text, sizeof text - 1));
  ossl::Ptr<PKCS7> p7(PKCS7_sign(nullptr, nullptr, nullptr, nullptr, PKCS7_PARTIAL | PKCS7_BINARY));
  ASSERT_NE(p7, nullptr);
  ASSERT_NE(PKCS7_sign_add_signer(p7.get(), bed_->sign_cert.get(), key.get(), EVP_sha1(), 0),
            nullptr);
  ASSERT_EQ(PKCS7_final(p7.get(), in.get(), PKCS7_BINARY), 1) << DrainErrors();

  // As PEM text and back, the form the system hands around.
  ossl::Ptr<BIO> pem(BIO_new(BIO_s_mem()));
  ASSERT_EQ(PEM_write_bio_PKCS7(pem.get(), p7.get()), 1);
  ossl::Ptr<PKCS7> back(PEM_read_bio_PKCS7(pem.get(), nullptr, nullptr, nullptr));
  ASSERT_NE(back, nullptr);
  ossl::Ptr<X509_STORE> store(X509_STORE_new());
  ossl::Ptr<BIO> content(BIO_new(BIO_s_mem()));
  ASSERT_EQ(PKCS7_verify(back.get(), nullptr, store.get(), nullptr, content.get(),
                         PKCS7_NOVERIFY | PKCS7_BINARY),
            1)
      << DrainErrors();
  char* out = nullptr;
  long out_len = BIO_get_mem_data(content.get(), &out);
  EXPECT_EQ(std::string(out, out_len), text);
  PKCS7_SIGNER_INFO* si = sk_PKCS7_SIGNER_INFO_value(PKCS7_get_signer_info(back.get()), 0);
  ASSERT_NE(si, nullptr);
  EXPECT_EQ(OBJ_obj2nid(si->digest_alg->algorithm), NID_sha1);

  // A signature that does not match the content fails.
  ASN1_OCTET_STRING* signature = si->enc_digest;
  signature->data[signature->length / 2] ^= 0x01;
  ossl::Ptr<BIO> ignored(BIO_new(BIO_s_mem()));
  EXPECT_NE(PKCS7_verify(back.get(), nullptr, store.get(), nullptr, ignored.get(),
                         PKCS7_NOVERIFY | PKCS7_BINARY),
            1);
  ERR_clear_error();
}

TEST_F(CapiEngineTest, ExchangeKeyOpensTripleDesEnvelope) {
  ossl::Ptr<EVP_PKEY> key = LoadKey(kExchangeContainer);
  ASSERT_NE(key, nullptr) << DrainErrors();
  ExpectPublicOnly(key.get(), bed_->exchange_cert.get());

  const char text[] = "enveloped text";
  ossl::Ptr<STACK_OF(X509)> recipients(sk_X509_new_null());
  sk_X509_push(recipients.get(), X509_dup(bed_->exchange_cert.get()));
  ossl::Ptr<BIO> in(BIO_new_mem_buf(text, sizeof text - 1));
  ossl::Ptr<PKCS7> made(PKCS7_encrypt(recipients.get(), in.get(), EVP_des_ede3_cbc(), PKCS7_BINARY));
  ASSERT_NE(made, nullptr);
  ossl::Ptr<BIO> pem(BIO_new(BIO_s_mem()));
  ASSERT_EQ(PEM_write_bio_PKCS7(pem.get(), made.get()), 1);
  ossl::Ptr<PKCS7> p7(PEM_read_bio_PKCS7(pem.get(), nullptr, nullptr, nullptr));
  ASSERT_NE(p7, nullptr);
  EXPECT_EQ(OBJ_obj2nid(p7->d.enveloped->enc_data->algorithm->algorithm), NID_des_ede3_cbc);

  // Slots 6 and 8 as the system sets them around PKCS7_dataDecode.
  static const char kOne[] = "1";
  static const char kZero[] = "0";
  ENGINE_set_ex_data(engine_.get(), kEngineSlotEnvelopeOpen, const_cast<char*>(kOne));
  ENGINE_set_ex_data(engine_.get(), kEngineSlotDecrypt, const_cast<char*>(kOne));
  ossl::Ptr<BIO> chain(PKCS7_dataDecode(p7.get(), key.get(), nullptr, bed_->exchange_cert.get()));
  ASSERT_NE(chain, nullptr) << DrainErrors();
  ENGINE_set_ex_data(engine_.get(), kEngineSlotEnvelopeOpen, const_cast<char*>(kZero));
  char plain[64] = {};
  int n = BIO_read(chain.get(), plain, sizeof plain - 1);
  EXPECT_EQ(std::string(plain, n > 0 ? n : 0), text);

  // An envelope made to the signature certificate names no recipient that
  // the exchange certificate matches.
  ossl::Ptr<STACK_OF(X509)> others(sk_X509_new_null());
  sk_X509_push(others.get(), X509_dup(bed_->sign_cert.get()));
  ossl::Ptr<BIO> in2(BIO_new_mem_buf(text, sizeof text - 1));
  ossl::Ptr<PKCS7> foreign(PKCS7_encrypt(others.get(), in2.get(), EVP_des_ede3_cbc(), PKCS7_BINARY));
  ASSERT_NE(foreign, nullptr);
  EXPECT_EQ(ossl::Ptr<BIO>(PKCS7_dataDecode(foreign.get(), key.get(), nullptr,
                                            bed_->exchange_cert.get())),
            nullptr);
  ERR_clear_error();
}

// The key is read from its container when loaded and then lives in the
// module: removing the container afterwards does not take it away, but the
// next load fails.
TEST_F(CapiEngineTest, KeyIsReadAtLoadAndKeptInTheModule) {
  constexpr char kContainer[] = "short-lived";
  ossl::Ptr<EVP_PKEY> real(EVP_RSA_gen(1024));
  ASSERT_NE(real, nullptr);
  ASSERT_TRUE(platform::PutContainerKey(kProvider, kContainer, real.get()));
  ossl::Ptr<EVP_PKEY> key = LoadKey(kContainer);
  ASSERT_NE(key, nullptr) << DrainErrors();
  ASSERT_TRUE(platform::RemoveContainerKey(kProvider, kContainer));

  // priv_dec: a content key wrapped with the public key comes back.
  const unsigned char content_key[24] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12,
                                         13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24};
  unsigned char wrapped[128], unwrapped[128];
  size_t wrapped_len = sizeof wrapped, unwrapped_len = sizeof unwrapped;
  ossl::Ptr<EVP_PKEY_CTX> enc(EVP_PKEY_CTX_new(real.get(), nullptr));
  ASSERT_EQ(EVP_PKEY_encrypt_init(enc.get()), 1);
  ASSERT_EQ(EVP_PKEY_CTX_set_rsa_padding(enc.get(), RSA_PKCS1_PADDING), 1);
  ASSERT_EQ(EVP_PKEY_encrypt(enc.get(), wrapped, &wrapped_len, content_key, sizeof content_key), 1);
  ossl::Ptr<EVP_PKEY_CTX> dec(EVP_PKEY_CTX_new(key.get(), nullptr));
  ASSERT_EQ(EVP_PKEY_decrypt_init(dec.get()), 1);
  ASSERT_EQ(EVP_PKEY_CTX_set_rsa_padding(dec.get(), RSA_PKCS1_PADDING), 1);
  ASSERT_EQ(EVP_PKEY_decrypt(dec.get(), unwrapped, &unwrapped_len, wrapped, wrapped_len), 1)
      << DrainErrors();
  ASSERT_EQ(unwrapped_len, sizeof content_key);
  EXPECT_EQ(memcmp(unwrapped, content_key, sizeof content_key), 0);

  EXPECT_EQ(LoadKey(kContainer), nullptr);
  EXPECT_NE(DrainErrors().find("holds no key container"), std::string::npos);
}

TEST_F(CapiEngineTest, MissingContainerOrProviderFailsWithQueuedReason) {
  EXPECT_EQ(LoadKey("no-such-container"), nullptr);
  std::string errors = DrainErrors();
  EXPECT_NE(errors.find("reason=101 capi: provider \"" + std::string(kProvider) +
                        "\" holds no key container \"no-such-container\""),
            std::string::npos)
      << errors;
  EXPECT_EQ(LoadKey(""), nullptr);
  EXPECT_NE(DrainErrors().find("capi: no key container name"), std::string::npos);
  EXPECT_EQ(LoadKey(nullptr), nullptr);
  ERR_clear_error();

  // An installed provider without that container.
  LoadedEngine other;
  engine_.Release();
  ASSERT_TRUE(other.Load(kOtherProvider));
  EXPECT_EQ(ENGINE_load_private_key(other.get(), kSignContainer, nullptr, nullptr), nullptr);
  EXPECT_NE(DrainErrors().find("reason=101 capi: provider \"Tolmix Soft RSA\" holds no key"),
            std::string::npos);

  // A provider that is not installed.
  ASSERT_TRUE(other.Load("Not Installed"));
  EXPECT_EQ(ENGINE_load_private_key(other.get(), kSignContainer, nullptr, nullptr), nullptr);
  errors = DrainErrors();
  EXPECT_NE(errors.find("reason=100 capi: provider \"Not Installed\" is not installed"),
            std::string::npos)
      << errors;
}

TEST_F(CapiEngineTest, ControlCommandsRefuseWhatTheStoreCannotDo) {
  ENGINE* e = engine_.get();
  EXPECT_EQ(ENGINE_ctrl_cmd_string(e, "lookup_method", "1", 0), 0);
  EXPECT_NE(DrainErrors().find("reason=103 capi: lookup_method 1 is not supported"),
            std::string::npos);
  EXPECT_EQ(ENGINE_ctrl_cmd_string(e, "lookup_method", "2", 0), 0);
  EXPECT_EQ(ENGINE_ctrl_cmd_string(e, "lookup_method", "9", 0), 0);
  EXPECT_EQ(ENGINE_ctrl_cmd_string(e, "key_type", "0", 0), 0);
  EXPECT_EQ(ENGINE_ctrl_cmd_string(e, "key_type", "3", 0), 0);
  EXPECT_EQ(ENGINE_ctrl_cmd_string(e, "csp_name", "bad\tname", 0), 0);
  EXPECT_NE(DrainErrors().find("capi: csp_name"), std::string::npos);

  // Refused values leave the settings as they were: the key still loads by
  // container name from the same provider.
  EXPECT_NE(LoadKey(kExchangeContainer), nullptr) << DrainErrors();

  // Both key types name the container's one key.
  EXPECT_EQ(ENGINE_ctrl_cmd_string(e, "key_type", "2", 0), 1);
  ossl::Ptr<EVP_PKEY> key = LoadKey(kSignContainer);
  ASSERT_NE(key, nullptr) << DrainErrors();
  ExpectPublicOnly(key.get(), bed_->sign_cert.get());
  EXPECT_EQ(ENGINE_ctrl_cmd_string(e, "lookup_method", "3", 0), 1);
}

TEST_F(CapiEngineTest, WithoutCspNameTheFirstProviderIsUsed) {
  engine_.Release();
  LoadedEngine bare;
  ASSERT_TRUE(bare.Load(nullptr)) << DrainErrors();
  ossl::Ptr<EVP_PKEY> key(ENGINE_load_private_key(bare.get(), kSignContainer, nullptr, nullptr));
  ASSERT_NE(key, nullptr) << DrainErrors();
  ExpectPublicOnly(key.get(), bed_->sign_cert.get());
}

bool CapiListed() {
  bool found = false;
  for (ENGINE* e = ENGINE_get_first(); e; e = ENGINE_get_next(e)) {
    if (strcmp(ENGINE_get_id(e), "capi") == 0) found = true;
  }
  return found;
}

bool ModuleMapped() {
  void* handle = dlopen(kEngineModule, RTLD_LAZY | RTLD_NOLOAD);
  if (handle) dlclose(handle);
  return handle != nullptr;
}

// A key holds the engine (and so the module) until it is freed; after the
// engine's release and the key's free nothing of the module is left.
TEST_F(CapiEngineTest, NothingLeftAfterEngineAndKeysAreReleased) {
  ossl::Ptr<EVP_PKEY> key = LoadKey(kSignContainer);
  ASSERT_NE(key, nullptr) << DrainErrors();
  engine_.Release();
  EXPECT_FALSE(CapiListed());
  EXPECT_EQ(ENGINE_by_id("capi"), nullptr);
  ERR_clear_error();
  EXPECT_TRUE(ModuleMapped());

  // The key still signs: the module is still there for it.
  const unsigned char data[] = "late signature";
  unsigned char sig[256];
  size_t sig_len = sizeof sig;
  ossl::Ptr<EVP_MD_CTX> md(EVP_MD_CTX_new());
  ASSERT_EQ(EVP_DigestSignInit(md.get(), nullptr, EVP_sha1(), nullptr, key.get()), 1);
  EXPECT_EQ(EVP_DigestSign(md.get(), sig, &sig_len, data, sizeof data), 1) << DrainErrors();
  md.reset();

  key.reset();
  EXPECT_FALSE(ModuleMapped());

  // Loading again in the same process works, and a release without keys
  // unloads at once.
  ASSERT_TRUE(engine_.Load()) << DrainErrors();
  EXPECT_TRUE(CapiListed());
  engine_.Release();
  EXPECT_FALSE(CapiListed());
  EXPECT_FALSE(ModuleMapped());
}

}  // namespace
}  // namespace tolmix::capitest
