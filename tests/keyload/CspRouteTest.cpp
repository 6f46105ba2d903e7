// The "CSP" route of key loading: the chooser over the soft store with the
// key-usage filter of the key kind (unattended backend), no SKF probe, and
// the "capi" engine module as the next step.
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "engine/CMSEngine.h"
#include "platform/Store.h"
#include "tests/engine/CMSEngineTestPeer.h"
#include "tests/keyload/KeyLoadBed.h"

namespace tolmix::keyloadtest {
namespace {

using skftest::Identity;

class CspRouteTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    enc_ = new Identity(skftest::MakeRsa("CSP Exchange", "keyEncipherment,dataEncipherment"));
    sign_ = new Identity(skftest::MakeRsa("CSP Signer", "digitalSignature"));
    enc2_ = new Identity(skftest::MakeRsa("CSP Exchange 2", "keyEncipherment,dataEncipherment"));
  }
  static void TearDownTestSuite() {
    delete enc_;
    delete sign_;
    delete enc2_;
  }
  void SetUp() override {
    ASSERT_TRUE(bed_.Create(false));
    // Store order: exchange, signer, second exchange.
    ASSERT_TRUE(platform::ImportToMy(enc_->certDer, "Soft CSP", "cont-enc", nullptr));
    ASSERT_TRUE(platform::ImportToMy(sign_->certDer, "Soft CSP", "cont-sign", nullptr));
    ASSERT_TRUE(platform::ImportToMy(enc2_->certDer, "Soft CSP", "cont-enc2", nullptr));
    // A usable SKF key with an SM2 certificate: the "CSP" route must not
    // look at it.
    ASSERT_TRUE(bed_.ResetSkfToken());
    ASSERT_TRUE(bed_.skf.Import("C1", skftest::MakeSm2("SM2 signer")));
    ASSERT_TRUE(bed_.skf.WriteDeviceList({"SKFAPI.so"}));
    setenv("SKFAPI_MOCK_LOG", (bed_.skf.root + "/calls.log").c_str(), 1);
  }
  void TearDown() override {
    unsetenv("TOLMIX_CHOOSER");
    bed_.Remove();
  }

  // Runs LoadKeyAndCert on "CSP" with key kind KIND and chooser answer ANSWER.
  // The outputs go to *CERT and *KEY when given.
  int Load(CMSEngine& e, int kind, const char* answer, ossl::Ptr<X509>* cert_out = nullptr,
           ossl::Ptr<EVP_PKEY>* key_out = nullptr) {
    setenv("TOLMIX_CHOOSER", answer, 1);
    e.SetInterface("CSP");
    CMSEngineTestPeer(e).KeyKind() = kind;
    ossl::Ptr<X509> cert;
    ossl::Ptr<EVP_PKEY> key;
    KeyRoute engine;
    int r = e.LoadKeyAndCert(&cert, &key, &engine);
    EXPECT_EQ(r != 0, !cert && !key && !engine);
    if (cert_out) *cert_out = std::move(cert);
    if (key_out) *key_out = std::move(key);
    return r;
  }
  std::vector<unsigned char> ChosenDer(CMSEngine& e) {
    CMSEngineTestPeer peer(e);
    return std::vector<unsigned char>(peer.CertDer(), peer.CertDer() + peer.CertDerLen());
  }

  static Identity* enc_;
  static Identity* sign_;
  static Identity* enc2_;
  KeyLoadBed bed_;
};
Identity* CspRouteTest::enc_;
Identity* CspRouteTest::sign_;
Identity* CspRouteTest::enc2_;

TEST_F(CspRouteTest, SigningOffersSigningCertificatesOnly) {
  CMSEngine e;
  CMSEngineTestPeer peer(e);
  EXPECT_EQ(Load(e, 2, "first"), -1);
  EXPECT_EQ(ChosenDer(e), sign_->certDer);
  EXPECT_STREQ(peer.CertName(), "CSP Signer");
  EXPECT_STREQ(peer.InterfaceName(), "CSP");
  // No capi.so in the system directory: the route ends at its load.
  EXPECT_EQ(ErrorUtf8(e), "加载引擎库capi.dll失败");
  EXPECT_EQ(skftest::ReadFileText(bed_.skf.root + "/calls.log"), "");  // no SKF probe
}

TEST_F(CspRouteTest, DecryptionOffersEncryptionCertificatesOnly) {
  CMSEngine e;
  CMSEngineTestPeer peer(e);
  // Row 1 of the encryption filter is the second exchange certificate (of
  // all certificates it would be the signer).
  EXPECT_EQ(Load(e, 1, "row:1"), -1);
  EXPECT_EQ(ChosenDer(e), enc2_->certDer);
  EXPECT_STREQ(peer.CertName(), "CSP Exchange 2");
}

TEST_F(CspRouteTest, CancelFailsWithoutAMessage) {
  CMSEngine e;
  CMSEngineTestPeer peer(e);
  peer.SetError("earlier");
  EXPECT_EQ(Load(e, 2, "cancel"), -1);
  EXPECT_EQ(ErrorUtf8(e), "earlier");
  EXPECT_EQ(peer.CertDerLen(), 0);
  EXPECT_STREQ(peer.InterfaceName(), "CSP");
}

TEST_F(CspRouteTest, KeyComesThroughCapiByContainerName) {
#ifndef CAPI_SO
  GTEST_SKIP() << "capi module not built";
#else
  ASSERT_TRUE(platform::AddSoftProvider("Soft CSP"));
  ASSERT_TRUE(platform::PutContainerKey("Soft CSP", "cont-sign", sign_->key.get()));
  ASSERT_TRUE(LinkRouteModule(bed_.skf.system_dir, "capi", CAPI_SO));
  CMSEngine e;
  CMSEngineTestPeer peer(e);
  ossl::Ptr<X509> cert;
  ossl::Ptr<EVP_PKEY> key;
  ASSERT_EQ(Load(e, 2, "first", &cert, &key), 0) << ErrorUtf8(e);
  EXPECT_EQ(skftest::PemOf(cert.get()), sign_->certPem);
  EXPECT_EQ(std::string(peer.CertText()), sign_->certPem);
  // The key is the container's: its public half is the certificate's.
  EXPECT_EQ(EVP_PKEY_eq(key.get(), X509_get0_pubkey(cert.get())), 1);
  const unsigned char digest[32] = {1, 2, 3};
  unsigned char sig[512];
  size_t len = sizeof sig;
  ossl::Ptr<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new(key.get(), nullptr));
  ASSERT_EQ(EVP_PKEY_sign_init(ctx.get()), 1);
  ASSERT_EQ(EVP_PKEY_CTX_set_signature_md(ctx.get(), EVP_sha256()), 1);
  ASSERT_EQ(EVP_PKEY_sign(ctx.get(), sig, &len, digest, sizeof digest), 1);
  ossl::Ptr<EVP_PKEY_CTX> vctx(EVP_PKEY_CTX_new(X509_get0_pubkey(cert.get()), nullptr));
  ASSERT_EQ(EVP_PKEY_verify_init(vctx.get()), 1);
  ASSERT_EQ(EVP_PKEY_CTX_set_signature_md(vctx.get(), EVP_sha256()), 1);
  EXPECT_EQ(EVP_PKEY_verify(vctx.get(), sig, len, digest, sizeof digest), 1);
  key.reset();
#endif
}

}  // namespace
}  // namespace tolmix::keyloadtest
