// CMSEngine::GetExtensionText: identifiers by long name or dotted OID, the
// 200-byte cut, and its error text.
#include <gtest/gtest.h>

#include <string>

#include "TestCerts.h"
#include "engine/CMSEngine.h"

namespace tolmix::test {
namespace {

std::string ErrorOf(const CMSEngine& e) {
  char text[CMSEngine::kErrorTextSize];
  e.GetErrorText(text);
  return text;
}

struct ExtCase {
  const char* name;
  const char* id;
  const char* value;  // null: nothing found, "未获取到对应的OID值!"
};

class ExtensionText : public ::testing::TestWithParam<ExtCase> {};

TEST_P(ExtensionText, Lookup) {
  CertSpec shape = FullSpec();
  shape.keyUsage = "digitalSignature,nonRepudiation";
  std::string pem = MakePem(shape);
  CMSEngine engine;
  ossl::Text text = engine.GetExtensionText(pem.c_str(), GetParam().id, 1);
  if (GetParam().value) {
    ASSERT_TRUE(text);
    EXPECT_STREQ(text.get(), GetParam().value);
    EXPECT_EQ(ErrorOf(engine), "");
  } else {
    EXPECT_FALSE(text);
    EXPECT_EQ(ErrorOf(engine), Gbk("未获取到对应的OID值!"));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ExtensionText,
    ::testing::Values(ExtCase{"KnownByLongName", "X509v3 Key Usage",
                              "Digital Signature, Non Repudiation"},
                      // OpenSSL knows 2.5.29.15, so its text is the name.
                      ExtCase{"KnownNotByDottedOid", "2.5.29.15", nullptr},
                      ExtCase{"ShortNameIsNoMatch", "keyUsage", nullptr},
                      ExtCase{"CaseSensitive", "x509v3 key usage", nullptr},
                      ExtCase{"PrivateByDottedOid", kPrivateOid, kPrivatePrinted},
                      ExtCase{"Empty", "", nullptr}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ExtensionTextCut, LongValueCutAt200Bytes) {
  CertSpec shape;
  shape.privateOid = "1.3.6.1.4.1.99999.1";
  shape.privateValue = std::string(300, 'v');
  std::string pem = MakePem(shape);
  CMSEngine engine;
  ossl::Text text = engine.GetExtensionText(pem.c_str(), shape.privateOid.c_str(), 1);
  ASSERT_TRUE(text);
  EXPECT_EQ(std::string(text.get()), std::string(200, 'v'));
}

TEST(ExtensionTextInput, NotPemLeavesTheErrorText) {
  CertSpec plain;
  std::string pem = MakePem(plain);
  CMSEngine engine;
  EXPECT_FALSE(engine.GetExtensionText(pem.c_str(), "X509v3 Key Usage", 1));  // no extensions
  EXPECT_EQ(ErrorOf(engine), Gbk("未获取到对应的OID值!"));
  CMSEngine fresh;
  EXPECT_FALSE(fresh.GetExtensionText(PemToBase64Body(pem).c_str(), "X509v3 Key Usage", 1));
  EXPECT_FALSE(fresh.GetExtensionText("", "X509v3 Key Usage", 1));
  EXPECT_EQ(ErrorOf(fresh), "");
}

}  // namespace
}  // namespace tolmix::test
