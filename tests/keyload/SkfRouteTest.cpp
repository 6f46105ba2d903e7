// The SKF probe and the "SKF" route of key loading on a soft SKF token: the
// interface settled by the certificate's signature algorithm, the probe's
// messages, its container walk and its console lines.
#include <cstdio>
#include <filesystem>
#include <string>

#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/obj_mac.h>

#include <gtest/gtest.h>

#include "engine/CMSEngine.h"
#include "tests/engine/CMSEngineTestPeer.h"
#include "tests/keyload/KeyLoadBed.h"

namespace tolmix::keyloadtest {
namespace {

using skftest::CaptureStdout;
using skftest::Identity;

class SkfRouteTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    sm2_sign_ = new Identity(skftest::MakeSm2("SM2 signer"));
    sm2_enc_ = new Identity(skftest::MakeSm2("SM2 encipherer"));
    rsa_sign_ = new Identity(skftest::MakeRsa("RSA on key"));
  }
  static void TearDownTestSuite() {
    delete sm2_sign_;
    delete sm2_enc_;
    delete rsa_sign_;
  }
  void SetUp() override {
    ASSERT_TRUE(bed_.Create(false));
    ASSERT_TRUE(bed_.ResetSkfToken());
    ASSERT_TRUE(bed_.skf.WriteDeviceList({"SKFAPI.so"}));
  }
  void TearDown() override { bed_.Remove(); }

  // An engine with the user PIN, interface SELECTOR and key kind KIND.
  void Prepare(CMSEngine& e, const char* selector, int kind, const char* pin = skftest::kUserPin) {
    e.SetInterface(selector);
    e.SetPassword(pin);
    CMSEngineTestPeer(e).KeyKind() = kind;
  }
  std::string Calls() const { return skftest::ReadFileText(bed_.skf.root + "/calls.log"); }
  void Record() const { setenv("SKFAPI_MOCK_LOG", (bed_.skf.root + "/calls.log").c_str(), 1); }

  static Identity* sm2_sign_;
  static Identity* sm2_enc_;
  static Identity* rsa_sign_;
  KeyLoadBed bed_;
};
Identity* SkfRouteTest::sm2_sign_;
Identity* SkfRouteTest::sm2_enc_;
Identity* SkfRouteTest::rsa_sign_;

TEST_F(SkfRouteTest, Sm2CertificateSettlesSkfAndGoesToGmEngine) {
  ASSERT_TRUE(bed_.skf.Import("C1", *sm2_sign_, sm2_enc_));
  for (int kind : {2, 1}) {
    const Identity& want = kind == 2 ? *sm2_sign_ : *sm2_enc_;
    CMSEngine e;
    CMSEngineTestPeer peer(e);
    Prepare(e, "P11", kind);
    ossl::Ptr<X509> cert;
    ossl::Ptr<EVP_PKEY> key;
    KeyRoute engine;
    std::string out = CaptureStdout([&] { EXPECT_EQ(e.LoadKeyAndCert(&cert, &key, &engine), -1); });
    EXPECT_STREQ(peer.InterfaceName(), "SKF");
    // No gmEngine.so in the system directory: the route ends at its load.
    EXPECT_EQ(ErrorUtf8(e), "加载引擎库gmEngine.dll失败");
    EXPECT_FALSE(cert || key || engine);
    EXPECT_EQ(std::string(peer.CertText()), want.certPem);
    ASSERT_EQ(peer.CertDerLen(), static_cast<int32_t>(want.certDer.size()));
    EXPECT_EQ(0, memcmp(peer.CertDer(), want.certDer.data(), want.certDer.size()));
    EXPECT_STREQ(peer.CertName(), kind == 2 ? "SM2 signer" : "SM2 encipherer");
    EXPECT_EQ(out,
              "SKF_ConnectDev success...\n"
              "SKF_EnumApplication success...\n"
              "SKF_OpenApplication success...\n"
              "SKF_VerifyPin success...\n"
              "SKF_EnumContainer success...\n"
              "SKF_EnumContainer success...\n"
              "SKF_CreateContainer success...\n"
              "SKF_ExportCertificate success...\n");
  }
}

TEST_F(SkfRouteTest, Sm2KeyComesThroughGmEngineByDisplayName) {
#ifndef GMENGINE_SO
  GTEST_SKIP() << "gmEngine module not built";
#else
  ASSERT_TRUE(bed_.skf.Import("C1", *sm2_sign_, sm2_enc_));
  ASSERT_TRUE(LinkRouteModule(bed_.skf.system_dir, "gmEngine", GMENGINE_SO));
  CMSEngine e;
  CMSEngineTestPeer peer(e);
  Prepare(e, "P11", 2);
  ossl::Ptr<X509> cert;
  ossl::Ptr<EVP_PKEY> key;
  KeyRoute engine;
  CaptureStdout([&] { ASSERT_EQ(e.LoadKeyAndCert(&cert, &key, &engine), 0) << ErrorUtf8(e); });
  ASSERT_TRUE(cert && key && engine);
  EXPECT_STREQ(peer.InterfaceName(), "SKF");
  EXPECT_EQ(RouteModule(engine), "gmEngine");
  EXPECT_EQ(skftest::PemOf(cert.get()), sm2_sign_->certPem);
  // The device key's public half is the certificate's (compared as the
  // point: the device's key may be typed EC where the certificate's is SM2,
  // and the key provider's keys have no encoder of their own).
  auto point = [](EVP_PKEY* k) {
    unsigned char buf[133];
    size_t n = 0;
    if (!EVP_PKEY_get_octet_string_param(k, OSSL_PKEY_PARAM_PUB_KEY, buf, sizeof buf, &n)) n = 0;
    // Uncompressed, whichever form the key gives.
    EC_GROUP* group = EC_GROUP_new_by_curve_name(NID_sm2);
    EC_POINT* p = group ? EC_POINT_new(group) : nullptr;
    if (p && n && EC_POINT_oct2point(group, p, buf, n, nullptr)) {
      n = EC_POINT_point2oct(group, p, POINT_CONVERSION_UNCOMPRESSED, buf, sizeof buf, nullptr);
    } else {
      n = 0;
    }
    EC_POINT_free(p);
    EC_GROUP_free(group);
    return std::string(reinterpret_cast<char*>(buf), n);
  };
  EXPECT_EQ(point(key.get()), point(X509_get0_pubkey(cert.get())));
  EXPECT_EQ(point(key.get()).size(), 65u);
  key.reset();
#endif
}

TEST_F(SkfRouteTest, RsaCertificateOnTheKeySettlesP11) {
  ASSERT_TRUE(bed_.skf.Import("C1", *rsa_sign_));
  CMSEngine e;
  CMSEngineTestPeer peer(e);
  Prepare(e, "SKF", 2);
  CaptureStdout([&] { EXPECT_EQ(e.ProbeSkfCert(), 0); });
  EXPECT_EQ(std::string(peer.CertText()), rsa_sign_->certPem);

  // LoadKeyAndCert moves on to the PKCS#11 route; without P11_SKF.ini that
  // fails without a message of its own.
  ossl::Ptr<X509> cert;
  ossl::Ptr<EVP_PKEY> key;
  KeyRoute engine;
  peer.SetError("");
  CaptureStdout([&] { EXPECT_EQ(e.LoadKeyAndCert(&cert, &key, &engine), -1); });
  EXPECT_STREQ(peer.InterfaceName(), "P11");
  EXPECT_EQ(ErrorUtf8(e), "");
}

TEST_F(SkfRouteTest, WrongPinReportsTheCountTheKeyGave) {
  ASSERT_TRUE(bed_.skf.Import("C1", *sm2_sign_));
  // Two different wrong PINs: a refused one is not presented to the key again.
  for (int left : {skftest::kRetries - 1, skftest::kRetries - 2}) {
    CMSEngine e;
    Prepare(e, "", 2, left == skftest::kRetries - 1 ? "99999999" : "99999998");
    CaptureStdout([&] { EXPECT_EQ(e.ProbeSkfCert(), -1); });
    EXPECT_EQ(ErrorUtf8(e),
              "登录设备失败，口令是否正确,您还有" + std::to_string(left) + "次尝试机会!!!!!!");
  }
}

TEST_F(SkfRouteTest, ContainerThatCannotBeOpenedEndsTheWalk) {
  ASSERT_TRUE(bed_.skf.Import("A", *sm2_sign_));
  ASSERT_TRUE(bed_.skf.Import("B", *sm2_sign_));
  setenv("SKFAPI_MOCK_FAIL", "SKF_CreateContainer=0x0A000001,SKF_OpenContainer=0x0A000031", 1);
  Record();
  CMSEngine e;
  CMSEngineTestPeer peer(e);
  Prepare(e, "P11", 2);
  peer.SetError("before");
  std::string out = CaptureStdout([&] { EXPECT_EQ(e.ProbeSkfCert(), -1); });
  EXPECT_EQ(ErrorUtf8(e), "before");  // no certificate: no message of its own
  const std::string calls = Calls();
  EXPECT_NE(calls.find("SKF_OpenContainer 0x0A000031\n"), std::string::npos);
  EXPECT_EQ(calls.find("SKF_OpenContainer"), calls.rfind("SKF_OpenContainer")) << calls;
  EXPECT_EQ(calls.find("SKF_ExportCertificate"), std::string::npos);
  EXPECT_NE(out.find("SKF_CreateContainer failed, error code 0xa000031...\n"), std::string::npos);
}

TEST_F(SkfRouteTest, ContainerWithoutTheWantedCertificateIsPassedOver) {
  ASSERT_TRUE(bed_.skf.Import("A", *sm2_sign_));            // no encryption pair
  ASSERT_TRUE(bed_.skf.Import("B", *sm2_sign_, sm2_enc_));
  CMSEngine e;
  CMSEngineTestPeer peer(e);
  Prepare(e, "P11", 1);
  CaptureStdout([&] { EXPECT_EQ(e.ProbeSkfCert(), 1); });
  EXPECT_STREQ(peer.CertName(), "SM2 encipherer");
}

TEST_F(SkfRouteTest, ProbeFailuresCarryTheirMessages) {
  struct Case {
    const char* fail;
    const char* message;
  };
  const Case cases[] = {
      {"SKF_EnumDev=0x0A000023", "加载设备失败!请确认是否插入USBKEY!"},
      {"SKF_EnumApplication=0x0A000001", "打开设备失败!"},
      {"SKF_EnumContainer=0x0A000001", "枚举容器失败!"},
  };
  ASSERT_TRUE(bed_.skf.Import("C1", *sm2_sign_));
  for (const Case& c : cases) {
    setenv("SKFAPI_MOCK_FAIL", c.fail, 1);
    CMSEngine e;
    Prepare(e, "P11", 2);
    CaptureStdout([&] { EXPECT_EQ(e.ProbeSkfCert(), -1) << c.fail; });
    EXPECT_EQ(ErrorUtf8(e), c.message) << c.fail;
  }
}

}  // namespace
}  // namespace tolmix::keyloadtest
