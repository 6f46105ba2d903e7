// Raw signature blocks on the "CSP" route (soft store, capi module), the
// "P11" route (SoftHSM2 token) and the "SKF" route (soft SKF token, SM2),
// the limits of the block format, and the store certificate.
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "engine/CMSEngine.h"
#include "platform/Store.h"
#include "tests/engine/CMSEngineTestPeer.h"
#include "tests/rawsig/RawSigBed.h"

namespace tolmix::rawsigtest {
namespace {

constexpr char kVerifyFailed[] = "签名验证失败!";
constexpr char kData[] = "raw signature test data 原文";
constexpr unsigned kArea = CMSEngine::kRawSignatureAreaSize;

// The sandbox's "MY" holds csp-sign, csp-enc; the suite adds a 1024-bit and
// a 3072-bit signing certificate, so under the signing filter the rows are
// csp-sign, rsa1024, rsa3072.
class RawSignatureTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    rsa1024_ = new Identity(MakeRsaIdentity(1024, "Rawsig RSA 1024", "digitalSignature"));
    rsa3072_ = new Identity(MakeRsaIdentity(3072, "Rawsig RSA 3072", "digitalSignature"));
    ASSERT_TRUE(platform::AddSoftProvider("Rawsig Soft"));
    const std::pair<Identity*, const char*> rows[] = {{rsa1024_, "rsa1024"}, {rsa3072_, "rsa3072"}};
    for (auto [id, container] : rows) {
      ASSERT_TRUE(platform::PutContainerKey("Rawsig Soft", container, id->key.get()));
      ASSERT_TRUE(platform::ImportToMy(id->der, "Rawsig Soft", container, nullptr));
    }
  }
  static void TearDownTestSuite() {
    delete rsa1024_;
    delete rsa3072_;
  }

  // RawSign of DATA on INTERFACE into a buffer of the size the size query
  // gives; "" on failure.
  static std::string Sign(CMSEngine& e, const char* interface, const char* pin,
                          const char* data = kData) {
    e.SetInterface(interface);
    e.SetPassword(pin);
    unsigned size = 0;
    EXPECT_EQ(e.RawSign(data, 0, 1, nullptr, &size), 0);
    EXPECT_EQ(size, 10925u);
    std::string out(size, 'x');
    unsigned len = size;
    if (e.RawSign(data, static_cast<int>(strlen(data)), 1, out.data(), &len) != 0) return "";
    EXPECT_EQ(out[len], '\0');
    out.resize(len);
    return out;
  }
  static int Verify(CMSEngine& e, const char* interface, const std::string& sig,
                    const char* data = kData) {
    e.SetInterface(interface);
    return e.RawVerify(data, static_cast<int>(strlen(data)), sig.c_str(),
                       static_cast<int>(sig.size()));
  }
  // SIG verifies over kData on INTERFACE, which becomes SETTLED, and fails
  // with "签名验证失败!" over kData with one character changed.
  static void ExpectVerifies(const std::string& sig, const char* interface, const char* settled) {
    {
      CMSEngine ok;
      EXPECT_EQ(Verify(ok, interface, sig), 0) << ErrorUtf8(ok);
      EXPECT_STREQ(CMSEngineTestPeer(ok).InterfaceName(), settled);
    }
    std::string changed = kData;
    changed[3] ^= 1;
    CMSEngine bad;
    EXPECT_EQ(Verify(bad, interface, sig, changed.c_str()), -1);
    EXPECT_EQ(ErrorUtf8(bad), kVerifyFailed);
  }
  static std::string Pki(const char* file) { return ReadFile(SandboxDir() + "/pki/" + file); }

  static Identity* rsa1024_;
  static Identity* rsa3072_;
};
Identity* RawSignatureTest::rsa1024_;
Identity* RawSignatureTest::rsa3072_;

TEST_F(RawSignatureTest, Rsa1024BlockOnCspVerifiesAndFailsOnChangedData) {
  ScopedEnv chooser("TOLMIX_CHOOSER", "row:1");
  std::string sig;
  {
    CMSEngine e;
    sig = Sign(e, "CSP", "");
    ASSERT_FALSE(sig.empty()) << ErrorUtf8(e);
    char cert[CMSEngine::kCertTextSize];
    e.GetCertText(cert);
    EXPECT_EQ(cert, rsa1024_->pem);
  }
  EXPECT_EQ(sig.find_first_of("\r\n"), std::string::npos);
  std::vector<unsigned char> block = DecodeB64(sig);
  ASSERT_EQ(block.size(), kArea + rsa1024_->pem.size());
  // 128 signature bytes, 128 zeros, then the PEM.
  EXPECT_TRUE(Sha1SignatureValid(rsa1024_->cert.get(), kData, block.data(), 128));
  EXPECT_EQ(std::vector<unsigned char>(block.begin() + 128, block.begin() + kArea),
            std::vector<unsigned char>(128, 0));
  EXPECT_EQ(std::string(block.begin() + kArea, block.end()), rsa1024_->pem);

  // One engine object at a time, as the control uses them: a module engine
  // cannot be bound twice while another object keeps it up.
  ExpectVerifies(sig, "CSP", "CSP");

  // A block filled up to 8192 bytes still verifies; one byte more is
  // refused before anything is decoded into the block.
  block.resize(CMSEngine::kRawBlockMax, 0);
  {
    CMSEngine full;
    EXPECT_EQ(Verify(full, "CSP", EncodeB64(block)), 0) << ErrorUtf8(full);
  }
  block.push_back(0);
  CMSEngine over;
  EXPECT_EQ(Verify(over, "CSP", EncodeB64(block)), -1);
  EXPECT_EQ(ErrorUtf8(over), kVerifyFailed);
}

TEST_F(RawSignatureTest, OutputCapacityIsNeverOverrun) {
  ScopedEnv chooser("TOLMIX_CHOOSER", "row:1");
  CMSEngine e;
  e.SetInterface("CSP");
  const size_t need = EncodeB64(std::vector<unsigned char>(kArea + rsa1024_->pem.size())).size();
  std::string out(need + 8, 'x');
  unsigned len = static_cast<unsigned>(need);  // no room for the NUL
  EXPECT_EQ(e.RawSign(kData, 0, 1, out.data(), &len), -1);
  EXPECT_EQ(len, need + 1);
  EXPECT_EQ(out, std::string(need + 8, 'x'));
  EXPECT_EQ(e.RawSign(kData, 0, 1, out.data(), &len), 0);
  EXPECT_EQ(len, need);
  EXPECT_EQ(out[need], '\0');
  EXPECT_EQ(out[need + 1], 'x');
}

TEST_F(RawSignatureTest, KeysOver2048BitsAndMalformedBlocksAreRefused) {
  {
    ScopedEnv chooser("TOLMIX_CHOOSER", "row:2");
    CMSEngine e;
    CMSEngineTestPeer(e).SetError("earlier");
    EXPECT_EQ(Sign(e, "CSP", ""), "");
    EXPECT_EQ(ErrorUtf8(e), "earlier");
  }
  // 3072-bit certificate in a block: its signature cannot be in the area.
  std::vector<unsigned char> big(kArea + rsa3072_->pem.size(), 0x5A);
  memcpy(big.data() + kArea, rsa3072_->pem.data(), rsa3072_->pem.size());
  std::vector<unsigned char> noCert(kArea, 0);
  const std::string pem = rsa1024_->pem;
  std::vector<unsigned char> shortBlock(pem.begin(), pem.end());  // under 256 bytes of area
  shortBlock.resize(kArea - 1);
  for (const std::string& sig :
       {std::string("not Base64 at all!"), EncodeB64(big), EncodeB64(noCert),
        EncodeB64(shortBlock), EncodeB64(std::vector<unsigned char>(20000, 'A'))}) {
    CMSEngine e;
    EXPECT_EQ(Verify(e, "CSP", sig), -1) << sig.substr(0, 40);
    EXPECT_EQ(ErrorUtf8(e), kVerifyFailed) << sig.substr(0, 40);
  }
}

TEST_F(RawSignatureTest, P11TokenKeySignsAndRsaCertificateVerifiesAsP11) {
  // An empty SKF token folder: the SKF probe finds no key, the route is "P11".
  std::string empty = SandboxDir() + "/no-skf";
  std::filesystem::create_directories(empty);
  ScopedEnv skf("TOLMIX_SKF_TOKEN_DIR", empty);
  std::string sig;
  {
    CMSEngine e;
    sig = Sign(e, "P11", "123456");
    ASSERT_FALSE(sig.empty()) << ErrorUtf8(e);
    EXPECT_STREQ(CMSEngineTestPeer(e).InterfaceName(), "P11");
  }
  std::vector<unsigned char> block = DecodeB64(sig);
  ASSERT_GT(block.size(), kArea);
  EXPECT_EQ(std::string(block.begin() + kArea, block.end()), Pki("p11-sign.pem"));

  // An RSA certificate under "SKF" is checked as "P11".
  ExpectVerifies(sig, "SKF", "P11");
}

TEST_F(RawSignatureTest, SkfSm2BlockIsCheckedUnderSkf) {
  std::string sig;
  {
    CMSEngine e;
    sig = Sign(e, "P11", "888888");
    ASSERT_FALSE(sig.empty()) << ErrorUtf8(e);
    EXPECT_STREQ(CMSEngineTestPeer(e).InterfaceName(), "SKF");
  }
  std::vector<unsigned char> block = DecodeB64(sig);
  ASSERT_GT(block.size(), kArea);
  EXPECT_EQ(std::string(block.begin() + kArea, block.end()), Pki("skf-sm2-sign.pem"));

  // Whatever the interface, the SM2 certificate makes it "SKF".
  ExpectVerifies(sig, "CSP", "SKF");
}

TEST_F(RawSignatureTest, StoreCertificateComesFromTheChooser) {
  {
    ScopedEnv chooser("TOLMIX_CHOOSER", "first");
    CMSEngine e;  // key kind 1: certificates fit for encryption
    e.SetInterface("CSP");
    ASSERT_EQ(e.ChooseStoreCertificate(), 0) << ErrorUtf8(e);
    char cert[CMSEngine::kCertTextSize];
    e.GetCertText(cert);
    EXPECT_EQ(cert, Pki("csp-enc.pem"));

    CMSEngine p11;
    p11.SetInterface("P11");
    EXPECT_EQ(p11.ChooseStoreCertificate(), 0);
    p11.GetCertText(cert);
    EXPECT_STREQ(cert, "");
  }
  ScopedEnv chooser("TOLMIX_CHOOSER", "cancel");
  CMSEngine e;
  e.SetInterface("CSP");
  CMSEngineTestPeer(e).SetError("earlier");
  EXPECT_EQ(e.ChooseStoreCertificate(), -1);
  EXPECT_EQ(ErrorUtf8(e), "earlier");
  EXPECT_STREQ(CMSEngineTestPeer(e).CertText(), "");
}

}  // namespace
}  // namespace tolmix::rawsigtest
