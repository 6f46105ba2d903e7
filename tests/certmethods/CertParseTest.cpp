// CertParse, the getters and the certificate in use.
#include <gtest/gtest.h>

#include <string>

#include "TestCerts.h"
#include "control/CertText.h"
#include "util/FixedText.h"

namespace tolmix::test {
namespace {

using Peer = CTOLMIXCtrlTestPeer;

std::string Error(CTOLMIXCtrl& c) { return c.GetLastErrorInfo(0); }

TEST(Getters, RsaCertificateWithEveryElement) {
  CtrlPtr c = NewControl();
  ASSERT_TRUE(c->CertParse(MakePem(FullSpec()).c_str()));
  EXPECT_EQ(c->GetCertVersion(), "2");
  EXPECT_EQ(c->GetSerialNumber(), "00ff0102");
  EXPECT_EQ(c->GetSignatureAlgorithm(), "1.2.840.113549.1.1.11");
  EXPECT_EQ(c->GetSubject(), Gbk(kFullSubject));
  EXPECT_EQ(c->GetIssuer(), Gbk(kFullIssuer));
  EXPECT_EQ(c->GetNotBefore(), "2020-01-15 20:00:00");
  EXPECT_EQ(c->GetNotAfter(), "2030-07-15 20:00:00");
  EXPECT_EQ(c->GetKeyUsage(), "32992");
  EXPECT_EQ(c->GetSubjectEx("cn"), Gbk("张三 + E=zhang@example.cn"));
  EXPECT_EQ(c->GetSubjectEx("Email"), "zhang@example.cn");
  EXPECT_EQ(c->GetIssuerEx("CN"), "ORVA");
  EXPECT_EQ(c->GetIssuerEx(std::string(63, 'C').c_str()), "");
  EXPECT_EQ(Error(*c), "");
}

TEST(Getters, Sm2CertificateWithoutKeyUsage) {
  CertSpec shape;
  shape.key = KeyKind::kSm2;
  shape.subject = {{"CN", "李四"}};
  shape.issuer = {{"CN", "ORVASM2"}};
  shape.serialHex = "7F";
  CtrlPtr c = NewControl();
  ASSERT_TRUE(c->CertParse(MakePem(shape).c_str()));
  EXPECT_EQ(c->GetSignatureAlgorithm(), "1.2.156.10197.1.501");
  EXPECT_EQ(c->GetSerialNumber(), "7f");
  EXPECT_EQ(c->GetKeyUsage(), "0");
  EXPECT_EQ(c->GetSubject(), Gbk("CN=李四"));
}

// FileTimeToLocalFileTime applies the offset in force now to every date.
TEST(Getters, DatesUseTodaysOffsetInEverySeason) {
  setenv("TZ", "EST5EDT,M3.2.0,M11.1.0", 1);
  tzset();
  CertSpec shape;
  shape.notBefore = 1579089600;  // 2020-01-15 12:00:00Z, standard time
  shape.notAfter = 1910347200;   // 2030-07-15 12:00:00Z, daylight time
  CtrlPtr c = NewControl();
  ASSERT_TRUE(c->CertParse(MakePem(shape).c_str()));
  std::string before = c->GetNotBefore(), after = c->GetNotAfter();
  setenv("TZ", "CST-8", 1);
  tzset();
  EXPECT_EQ(before.substr(11), after.substr(11)) << before << " / " << after;
  EXPECT_TRUE(before.substr(11) == "07:00:00" || before.substr(11) == "08:00:00") << before;
}

TEST(Getters, OverlongSerialIsRefusedNotOverflowed) {
  CertSpec shape;
  shape.serialHex = std::string(260, '7');  // 130 bytes
  CtrlPtr c = NewControl();
  ASSERT_TRUE(c->CertParse(MakePem(shape).c_str()));
  EXPECT_EQ(c->GetSerialNumber(), "");
  EXPECT_EQ(Error(*c), control::kMsgCertParseFailed);
}

struct FormCase {
  const char* name;
  std::string (*form)(const std::string& pem);
  bool parses;
};

class ParseForms : public ::testing::TestWithParam<FormCase> {};

TEST_P(ParseForms, Result) {
  CtrlPtr c = NewControl();
  EXPECT_EQ(c->CertParse(GetParam().form(MakePem(FullSpec())).c_str()), GetParam().parses);
  EXPECT_EQ(c->GetIssuerEx("cn"), GetParam().parses ? "ORVA" : "");
}

std::string OneLine(const std::string& pem) {
  std::string body = PemToBase64Body(pem);
  std::erase(body, '\n');
  return "-----BEGIN CERTIFICATE-----" + body + "-----END CERTIFICATE-----";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ParseForms,
    ::testing::Values(
        FormCase{"Pem", [](const std::string& p) { return p; }, true},
        FormCase{"TextAround", [](const std::string& p) { return "Cert:\n" + p + "trailer"; },
                 true},
        FormCase{"CrLf",
                 [](const std::string& p) {
                   std::string out;
                   for (char ch : p) out += ch == '\n' ? std::string("\r\n") : std::string(1, ch);
                   return out;
                 },
                 true},
        FormCase{"BareBase64", PemToBase64Body, true},
        FormCase{"OneLine", OneLine, true},
        FormCase{"NoEndMarker",
                 [](const std::string& p) { return p.substr(0, p.find("-----END")); }, false},
        FormCase{"TooLong", [](const std::string& p) { return p + std::string(8192, ' '); },
                 false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(CertParse, FailedDecodeKeepsAndNonCertificateDropsTheParsedOne) {
  CtrlPtr c = NewControl();
  ASSERT_TRUE(c->CertParse(MakePem(FullSpec()).c_str()));
  EXPECT_FALSE(c->CertParse(""));
  EXPECT_FALSE(c->CertParse("%%%% not base64"));
  EXPECT_EQ(c->GetIssuerEx("CN"), "ORVA");

  EXPECT_FALSE(c->CertParse("QUJDRA=="));  // decodes to "ABCD"
  EXPECT_FALSE(Peer::HasParsed(*c));
  // The next getter falls back to the current certificate text.
  CertSpec b;
  b.subject = {{"CN", "B"}};
  Peer::CurrentCert(*c) = MakePem(b);
  EXPECT_EQ(c->GetSubject(), "CN=B");
  EXPECT_TRUE(Peer::HasParsed(*c));
}

TEST(CertInUse, ParsedCertificateWinsOverCurrentText) {
  CertSpec b;
  b.subject = {{"CN", "B"}};
  b.keyUsage = "keyCertSign";
  CtrlPtr c = NewControl();
  ASSERT_TRUE(c->CertParse(MakePem(FullSpec()).c_str()));
  Peer::CurrentCert(*c) = MakePem(b);  // as a later Sign would leave it
  EXPECT_EQ(c->GetSubjectEx("CN"), Gbk("张三 + E=zhang@example.cn"));
  EXPECT_EQ(c->GetKeyUsage(), "32992");
  EXPECT_EQ(c->GetCert(), Peer::CurrentCert(*c));
  // The extension lookup reads the current text: B has key usage only.
  EXPECT_EQ(c->GetExtensionInfo("X509v3 Key Usage"), "Certificate Sign");
  EXPECT_EQ(c->GetExtensionInfo(kPrivateOid), "");
  EXPECT_EQ(Error(*c), control::kMsgExtensionFailed);
}

TEST(CertInUse, WithoutAnyCertificate) {
  CtrlPtr c = NewControl();
  CopyBounded(Peer::LastError(*c), 512, "previous");
  EXPECT_EQ(c->GetSubject(), "");
  EXPECT_EQ(c->GetCert(), "");
  EXPECT_EQ(Error(*c), "previous");

  Peer::CurrentCert(*c) = "-----BEGIN CERTIFICATE-----\nnot a certificate\n";
  EXPECT_EQ(c->GetSerialNumber(), "");
  EXPECT_EQ(Error(*c), control::kMsgCertParseFailed);
  EXPECT_EQ(c->GetExtensionInfo("X509v3 Key Usage"), "");
  EXPECT_EQ(Error(*c), control::kMsgExtensionFailed);
}

}  // namespace
}  // namespace tolmix::test
