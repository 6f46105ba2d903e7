// The "P11" route of key loading and the certificate read on a SoftHSM2
// token through the pkcs11_rsa_key engine module.
#include <string>

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include "engine/CMSEngine.h"
#include "tests/engine/CMSEngineTestPeer.h"
#include "tests/keyload/KeyLoadBed.h"

namespace tolmix::keyloadtest {
namespace {

class P11RouteTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    bed_ = new KeyLoadBed;
    ok_ = bed_->Create(true);  // no GM_SKF.ini: the SKF probe finds nothing
  }
  static void TearDownTestSuite() {
    bed_->Remove();
    delete bed_;
  }
  void SetUp() override { ASSERT_TRUE(ok_); }

  static KeyLoadBed* bed_;
  static bool ok_;
};
KeyLoadBed* P11RouteTest::bed_;
bool P11RouteTest::ok_;

// True when a SHA-256 signature made with KEY verifies with CERT's key.
bool SignsForCertificate(EVP_PKEY* key, X509* cert) {
  const unsigned char data[] = "content to be signed";
  ossl::Ptr<EVP_MD_CTX> sign(EVP_MD_CTX_new());
  size_t len = 0;
  if (EVP_DigestSignInit(sign.get(), nullptr, EVP_sha256(), nullptr, key) != 1 ||
      EVP_DigestSign(sign.get(), nullptr, &len, data, sizeof data) != 1)
    return false;
  std::string sig(len, '\0');
  unsigned char* s = reinterpret_cast<unsigned char*>(sig.data());
  if (EVP_DigestSign(sign.get(), s, &len, data, sizeof data) != 1) return false;
  ossl::Ptr<EVP_MD_CTX> verify(EVP_MD_CTX_new());
  return EVP_DigestVerifyInit(verify.get(), nullptr, EVP_sha256(), nullptr,
                              X509_get0_pubkey(cert)) == 1 &&
         EVP_DigestVerify(verify.get(), s, len, data, sizeof data) == 1;
}

TEST_F(P11RouteTest, KeyKindChoosesTheCertificateAndTheKeySignsForIt) {
  for (int kind : {2, 1}) {
    CMSEngine e;
    CMSEngineTestPeer peer(e);
    e.SetInterface("P11");
    e.SetPassword(kP11Pin);
    peer.KeyKind() = kind;
    ossl::Ptr<X509> cert;
    ossl::Ptr<EVP_PKEY> key;
    KeyRoute engine;
    ASSERT_EQ(e.LoadKeyAndCert(&cert, &key, &engine), 0) << ErrorUtf8(e);
    ASSERT_TRUE(cert && key && engine);
    EXPECT_EQ(RouteModule(engine), "pkcs11_rsa_key");
    const std::string& want = kind == 2 ? bed_->p11_sign_pem : bed_->p11_exchange_pem;
    EXPECT_EQ(std::string(peer.CertText()), want) << "kind " << kind;
    EXPECT_EQ(skftest::PemOf(cert.get()), want);
    EXPECT_TRUE(SignsForCertificate(key.get(), cert.get())) << "kind " << kind;
    EXPECT_STREQ(peer.InterfaceName(), "P11");
    key.reset();  // before the engine that made it
  }
}

TEST_F(P11RouteTest, RefusedPinEndsTheRouteWithTheLoginMessage) {
  CMSEngine e;
  e.SetInterface("P11");
  e.SetPassword("000000");
  ossl::Ptr<X509> cert;
  ossl::Ptr<EVP_PKEY> key;
  KeyRoute engine;
  EXPECT_EQ(e.LoadKeyAndCert(&cert, &key, &engine), -1);
  EXPECT_EQ(ErrorUtf8(e), "登录UKEY失败,密码错误,重复次数过多会锁死UKEY.");
  EXPECT_FALSE(cert || key || engine);
}

TEST_F(P11RouteTest, CertificateReadNeedsNoLogin) {
  for (int kind : {2, 1}) {
    CMSEngine e;
    CMSEngineTestPeer peer(e);
    e.SetPassword("wrong PIN");  // never handed over: a login would fail
    ASSERT_EQ(e.ReadDeviceCert(kind), 0) << ErrorUtf8(e);
    EXPECT_STREQ(peer.InterfaceName(), "P11");
    EXPECT_EQ(peer.KeyKind(), kind);
    EXPECT_EQ(std::string(peer.CertText()),
              kind == 2 ? bed_->p11_sign_pem : bed_->p11_exchange_pem);
  }
  // The token still takes the right PIN: nothing was tried against it.
  CMSEngine e;
  EXPECT_EQ(e.SetPasswordAndLoginP11(kP11Pin), 0) << ErrorUtf8(e);
}

}  // namespace
}  // namespace tolmix::keyloadtest
