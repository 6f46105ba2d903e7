// GetCertInfo and GetCertInfoPfx over every item code, the extension item,
// VerifyCert, and the PFX methods.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <string>

#include "TestCerts.h"
#include "control/CertText.h"
#include "util/FixedText.h"

namespace tolmix::test {
namespace {

using Peer = CTOLMIXCtrlTestPeer;

constexpr char kCurrentText[] = "current certificate text";
const std::string kUnknown = Gbk("未知的参数");

struct ItemCase {
  int32_t item;
  std::string exOid;        // GetCertInfo's szExOid
  std::string expected;     // GBK
  std::string pfxExpected;  // what GetCertInfoPfx gives
  const char* pfxError;     // error text it records; null: unchanged
};

// An item that both queries answer alike.
ItemCase Same(int32_t item, std::string expected, std::string exOid = "") {
  return {item, std::move(exOid), expected, expected, nullptr};
}

std::vector<ItemCase> Items() {
  std::vector<ItemCase> v = {
      Same(1001, "2"),
      Same(1002, "32992"),
      Same(1003, "1.2.840.113549.1.1.11"),
      Same(2001, Gbk(kFullIssuer)),
      Same(2002, "CN"),
      Same(2003, ""),
      Same(2004, ""),
      Same(2005, "ORVA Root"),
      Same(2006, ""),
      Same(2007, "ORVA"),
      Same(2011, "ca@orva.cn"),
      Same(3001, Gbk(kFullSubject)),
      Same(3002, "CN"),
      Same(3003, Gbk("北京市")),
      Same(3004, Gbk("海淀区")),
      Same(3005, "\"Acme"),
      Same(3006, "\"say \"\"hi\"\"\""),
      Same(3007, Gbk("张三 + E=zhang@example.cn")),
      Same(3011, "zhang@example.cn"),
      {3012, "l", Gbk("海淀区"), kUnknown, nullptr},
      {3021, kPrivateOid, kPrivatePrinted, "", control::kMsgExtensionFailed},
      Same(3031, "00ff0102"),
      Same(3041, "2020-01-15 20:00:00"),
      Same(3042, "2030-07-15 20:00:00"),
      Same(3051, kCurrentText),
  };
  for (int32_t unknown : {0, -1, 1000, 1004, 2008, 2010, 2012, 3008, 3013, 3020, 3022, 3044, 3052}) {
    v.push_back(Same(unknown, kUnknown));
  }
  return v;
}

class ItemTable : public ::testing::TestWithParam<ItemCase> {
 protected:
  static void SetUpTestSuite() {
    pem_ = new std::string(MakePem(FullSpec()));
    pfx_ = new std::string(WritePfx(FullSpec(), "secret"));
  }
  static void TearDownTestSuite() {
    unlink(pfx_->c_str());
    delete pem_;
    delete pfx_;
  }
  static std::string* pem_;
  static std::string* pfx_;
};
std::string* ItemTable::pem_ = nullptr;
std::string* ItemTable::pfx_ = nullptr;

TEST_P(ItemTable, GetCertInfo) {
  const ItemCase& p = GetParam();
  CtrlPtr c = NewControl();
  Peer::CurrentCert(*c) = kCurrentText;
  CopyBounded(Peer::LastError(*c), 512, "previous");
  EXPECT_EQ(c->GetCertInfo(pem_->c_str(), p.item, p.exOid.c_str()), p.expected);
  EXPECT_EQ(c->GetLastErrorInfo(0), "previous");
  // The certificate stays parsed: the query without a certificate answers.
  EXPECT_EQ(c->GetCertInfo("", p.item, p.exOid.c_str()), p.item == 3021 ? "" : p.expected);
}

TEST_P(ItemTable, GetCertInfoPfx) {
  const ItemCase& p = GetParam();
  CtrlPtr c = NewControl();
  Peer::CurrentCert(*c) = kCurrentText;
  CopyBounded(Peer::LastError(*c), 512, "previous");
  EXPECT_EQ(c->GetCertInfoPfx(pfx_->c_str(), p.item, "secret"), p.pfxExpected);
  EXPECT_EQ(c->GetLastErrorInfo(0), p.pfxError ? p.pfxError : "previous");
}

INSTANTIATE_TEST_SUITE_P(AllCodes, ItemTable, ::testing::ValuesIn(Items()),
                         [](const auto& info) {
                           return "Item" + std::to_string(info.index) + "_" +
                                  (info.param.item < 0 ? std::string("minus") : std::to_string(info.param.item));
                         });

TEST(GetCertInfo, DaysToExpiryItem) {
  CertSpec shape;
  shape.notAfter = std::time(nullptr) + 30 * 3600;
  CtrlPtr c = NewControl();
  EXPECT_EQ(c->GetCertInfo(MakePem(shape).c_str(), 3043, ""), "1");
  shape.notAfter = std::time(nullptr) - 6 * 3600;
  EXPECT_EQ(c->GetCertInfo(MakePem(shape).c_str(), 3043, ""), "-0");
}

TEST(GetCertInfo, Failures) {
  CtrlPtr c = NewControl();
  Peer::CurrentCert(*c) = kCurrentText;
  EXPECT_EQ(c->GetCertInfo("", 3051, ""), "");
  EXPECT_EQ(c->GetLastErrorInfo(0), control::kMsgNoCertGiven);
  EXPECT_EQ(c->GetCertInfo("garbage!", 1001, ""), "");
  EXPECT_EQ(c->GetLastErrorInfo(0), control::kMsgCertParseFailed);

  // Bare Base64 answers every item but the extension, which needs PEM lines.
  std::string bare = PemToBase64Body(MakePem(FullSpec()));
  EXPECT_EQ(c->GetCertInfo(bare.c_str(), 2007, ""), "ORVA");
  EXPECT_EQ(c->GetCertInfo(bare.c_str(), 3021, kPrivateOid), "");
  EXPECT_EQ(c->GetLastErrorInfo(0), control::kMsgExtensionFailed);
}

TEST(GetCertInfo, QuenmarkIssuerDropsFourBytesOfTheExtension) {
  CertSpec shape = FullSpec();
  shape.issuer = {{"C", "CN"}, {"CN", "Quenmark电子政务证书认证中心"}};
  CtrlPtr c = NewControl();
  EXPECT_EQ(c->GetCertInfo(MakePem(shape).c_str(), 3021, kPrivateOid), "0101199001011234");
  shape.privateValue = "\x13\x01";
  EXPECT_EQ(c->GetCertInfo(MakePem(shape).c_str(), 3021, kPrivateOid), "");
  EXPECT_EQ(c->GetLastErrorInfo(0), "");
}

// "解析base64编码证书失败.", "证书验证不通过,未检索到证书持有者.",
// "证书验证不通过,证书不为ORVA签发."
const char* const kParseMsg = "解析base64编码证书失败.";
const char* const kNoCnMsg = "证书验证不通过,未检索到证书持有者.";
const char* const kNotOrvaMsg = "证书验证不通过,证书不为ORVA签发.";

struct VerifyCase {
  const char* name;
  std::vector<Attr> issuer;
  bool accepted;
  const char* errorUtf8;  // null: unchanged
};

class VerifyCertTest : public ::testing::TestWithParam<VerifyCase> {};

TEST_P(VerifyCertTest, Outcome) {
  CertSpec shape;
  shape.issuer = GetParam().issuer;
  shape.notAfter = 1600000000;  // expired: dates are not checked
  CtrlPtr c = NewControl();
  CopyBounded(Peer::LastError(*c), 512, "previous");
  EXPECT_EQ(c->VerifyCert(MakePem(shape).c_str()), GetParam().accepted);
  EXPECT_EQ(c->GetLastErrorInfo(0),
            GetParam().errorUtf8 ? Gbk(GetParam().errorUtf8) : std::string("previous"));
  EXPECT_EQ(c->GetSubject(), "CN=Tester");  // the checked certificate stays parsed
}

INSTANTIATE_TEST_SUITE_P(
    Cases, VerifyCertTest,
    ::testing::Values(VerifyCase{"Orva", {{"CN", "ORVA"}}, true, nullptr},
                      VerifyCase{"OrvaRsa", {{"O", "X"}, {"CN", "ORVARSA"}}, true, nullptr},
                      VerifyCase{"OrvaSm2", {{"CN", "ORVASM2"}, {"C", "CN"}}, true, nullptr},
                      VerifyCase{"LowerCase", {{"CN", "orva"}}, false, kNotOrvaMsg},
                      VerifyCase{"Prefix", {{"CN", "ORVA2"}}, false, kNotOrvaMsg},
                      VerifyCase{"Suffix", {{"CN", "ORVASM2 CA"}}, false, kNotOrvaMsg},
                      VerifyCase{"NoCommonName", {{"O", "ORVA"}}, false, kNoCnMsg}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(VerifyCert, TextThatDoesNotParse) {
  CtrlPtr c = NewControl();
  EXPECT_FALSE(c->VerifyCert("-----BEGIN CERTIFICATE-----\n@@@\n-----END CERTIFICATE-----"));
  EXPECT_EQ(c->GetLastErrorInfo(0), Gbk(kParseMsg));
}

class PfxPassword : public ::testing::TestWithParam<const char*> {};

TEST_P(PfxPassword, OpensWithTheRightPasswordOnly) {
  std::string path = WritePfx(FullSpec(), GetParam());
  CtrlPtr c = NewControl();
  EXPECT_EQ(c->GetCertInfoPfx(path.c_str(), 3007, Gbk(GetParam()).c_str()),
            Gbk("张三 + E=zhang@example.cn"));
  EXPECT_EQ(c->GetCertInfoPfx(path.c_str(), 3007, "wrong"), "");
  EXPECT_EQ(c->GetLastErrorInfo(0), Gbk("pfx证书解析失败."));
  // The certificate parsed before answers a query without a path.
  EXPECT_EQ(c->GetCertInfoPfx("", 2007, ""), "ORVA");
  unlink(path.c_str());
}

INSTANTIATE_TEST_SUITE_P(Passwords, PfxPassword, ::testing::Values("p@ss word", "中文密码"));

TEST(CertParsePfx, ReplacesTheParsedCertificateOnlyOnSuccess) {
  CertSpec a;
  a.subject = {{"CN", "A"}};
  std::string path = WritePfx(a, "pw");
  std::string keyOnly = WritePfx(a, "pw", false);
  CtrlPtr c = NewControl();
  ASSERT_TRUE(c->CertParse(MakePem(FullSpec()).c_str()));
  EXPECT_FALSE(c->CertParsePfx("/nonexistent/file.pfx", "pw", ""));
  EXPECT_FALSE(c->CertParsePfx("/tmp", "pw", ""));  // a directory
  EXPECT_FALSE(c->CertParsePfx(keyOnly.c_str(), "pw", ""));
  EXPECT_EQ(c->GetIssuerEx("CN"), "ORVA");
  EXPECT_EQ(c->GetLastErrorInfo(0), "");

  EXPECT_TRUE(c->CertParsePfx(path.c_str(), "pw", "ignored"));
  EXPECT_EQ(c->GetSubject(), "CN=A");
  unlink(path.c_str());
  unlink(keyOnly.c_str());
}

TEST(GetCertInfoPfx, WithoutPathOrCertificate) {
  CtrlPtr c = NewControl();
  EXPECT_EQ(c->GetCertInfoPfx("", 3051, "pw"), "");
  EXPECT_EQ(c->GetLastErrorInfo(0), control::kMsgNoCertGiven);
  EXPECT_EQ(c->GetCertInfoPfx("/nonexistent.pfx", 1001, ""), "");
  EXPECT_EQ(c->GetLastErrorInfo(0), Gbk("pfx证书解析失败."));
}

}  // namespace
}  // namespace tolmix::test

namespace tolmix::test {
namespace {

// Sets the iteration count of the certificate part's key derivation
// (PKCS#12 PBE or PBES2 with PBKDF2) to ITER and packs the part again.
void SetCertPartIterations(PKCS12* p12, long iter) {
  STACK_OF(PKCS7)* safes = PKCS12_unpack_authsafes(p12);
  ASSERT_NE(safes, nullptr);
  for (int i = 0; i < sk_PKCS7_num(safes); ++i) {
    PKCS7* p7 = sk_PKCS7_value(safes, i);
    if (OBJ_obj2nid(p7->type) != NID_pkcs7_encrypted) continue;
    X509_ALGOR* alg = p7->d.encrypted->enc_data->algorithm;
    if (OBJ_obj2nid(alg->algorithm) == NID_pbes2) {
      PBE2PARAM* pbe2 = static_cast<PBE2PARAM*>(
          ASN1_TYPE_unpack_sequence(ASN1_ITEM_rptr(PBE2PARAM), alg->parameter));
      ASSERT_NE(pbe2, nullptr);
      PBKDF2PARAM* kdf = static_cast<PBKDF2PARAM*>(
          ASN1_TYPE_unpack_sequence(ASN1_ITEM_rptr(PBKDF2PARAM), pbe2->keyfunc->parameter));
      ASSERT_NE(kdf, nullptr);
      ASN1_INTEGER_set(kdf->iter, iter);
      ASSERT_NE(ASN1_TYPE_pack_sequence(ASN1_ITEM_rptr(PBKDF2PARAM), kdf, &pbe2->keyfunc->parameter),
                nullptr);
      ASSERT_NE(ASN1_TYPE_pack_sequence(ASN1_ITEM_rptr(PBE2PARAM), pbe2, &alg->parameter), nullptr);
      PBKDF2PARAM_free(kdf);
      PBE2PARAM_free(pbe2);
    } else {
      PBEPARAM* pbe = static_cast<PBEPARAM*>(
          ASN1_TYPE_unpack_sequence(ASN1_ITEM_rptr(PBEPARAM), alg->parameter));
      ASSERT_NE(pbe, nullptr);
      ASN1_INTEGER_set(pbe->iter, iter);
      ASSERT_NE(ASN1_TYPE_pack_sequence(ASN1_ITEM_rptr(PBEPARAM), pbe, &alg->parameter), nullptr);
      PBEPARAM_free(pbe);
    }
  }
  ASSERT_EQ(PKCS12_pack_authsafes(p12, safes), 1);
  sk_PKCS7_pop_free(safes, PKCS7_free);
}

// A hostile PFX makes the import derive keys 2^31-1 times per password
// candidate: refused at once with the PFX message.  The same files with the
// counts written back to OpenSSL's default open, so nothing else refuses them.
TEST(PfxWork, IterationCountsAboveTheCapAreRefusedAtOnce) {
  const long kHuge = 0x7FFFFFFF, kDefault = 2048;
  struct Case {
    const char* what;
    int certPbe;
    int macIter;  // -1: no MAC, so the part's derivation is what runs
    bool patchMac;
  } cases[] = {
      {"MAC", 0, 0, true},
      {"PBES2 / PBKDF2 of the certificate part", 0, -1, false},
      {"PKCS#12 PBE of the certificate part", NID_pbe_WithSHA1And3_Key_TripleDES_CBC, -1, false},
  };
  for (const Case& k : cases) {
    for (long iter : {kHuge, kDefault}) {
      SCOPED_TRACE(std::string(k.what) + " " + std::to_string(iter));
      ossl::Ptr<PKCS12> p12 = MakePfx(FullSpec(), "pw", true, k.certPbe, k.macIter);
      if (k.patchMac) {
        const ASN1_INTEGER* macIter = nullptr;
        PKCS12_get0_mac(nullptr, nullptr, nullptr, &macIter, p12.get());
        ASSERT_NE(macIter, nullptr);
        ASN1_INTEGER_set(const_cast<ASN1_INTEGER*>(macIter), iter);
        if (iter == kDefault) {  // the MAC over the content again, at that count
          ASSERT_EQ(PKCS12_set_mac(p12.get(), "pw", -1, nullptr, 0, kDefault, nullptr), 1);
        }
      } else {
        SetCertPartIterations(p12.get(), iter);
      }
      std::string path = SavePfx(p12.get());
      CtrlPtr c = NewControl();
      auto start = std::chrono::steady_clock::now();
      std::string answer = c->GetCertInfoPfx(path.c_str(), 2007, "pw");
      bool parsed = c->CertParsePfx(path.c_str(), "pw", "");
      double seconds =
          std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      if (iter == kHuge) {
        EXPECT_EQ(answer, "");
        EXPECT_EQ(c->GetLastErrorInfo(0), Gbk("pfx证书解析失败."));
        EXPECT_FALSE(parsed);
        EXPECT_LT(seconds, 1.0);
      } else {
        EXPECT_EQ(answer, "ORVA");
        EXPECT_TRUE(parsed);
      }
      unlink(path.c_str());
    }
  }
}

// Counts each within the cap still add up when a file repeats its encrypted
// part: without a MAC every part is tried with every password candidate.  A
// file of eight parts at 1,000,000 is refused at once, whatever the
// password; one part at that count, or eight at the default, still opens.
TEST(PfxWork, ManyPartsWithinTheCapAddUpAndAreRefused) {
  const long kAtCap = 1000000, kDefault = 2048;
  struct Case {
    int parts;
    long iter;
    bool opens;
  } cases[] = {{8, kAtCap, false}, {1, kAtCap, true}, {8, kDefault, true}};
  for (const Case& k : cases) {
    SCOPED_TRACE(std::to_string(k.parts) + " parts at " + std::to_string(k.iter));
    ossl::Ptr<PKCS12> p12 = MakePfx(FullSpec(), "pw", true, NID_pbe_WithSHA1And3_Key_TripleDES_CBC, -1,
                                    static_cast<int>(k.iter));
    STACK_OF(PKCS7)* safes = PKCS12_unpack_authsafes(p12.get());
    ASSERT_NE(safes, nullptr);
    int encrypted = -1;
    for (int i = 0; i < sk_PKCS7_num(safes); ++i) {
      if (OBJ_obj2nid(sk_PKCS7_value(safes, i)->type) == NID_pkcs7_encrypted) encrypted = i;
    }
    ASSERT_GE(encrypted, 0);
    for (int i = 1; i < k.parts; ++i) {
      sk_PKCS7_insert(safes, PKCS7_dup(sk_PKCS7_value(safes, encrypted)), encrypted);
    }
    ASSERT_EQ(PKCS12_pack_authsafes(p12.get(), safes), 1);
    sk_PKCS7_pop_free(safes, PKCS7_free);
    std::string path = SavePfx(p12.get());
    CtrlPtr c = NewControl();
    auto start = std::chrono::steady_clock::now();
    std::string wrong = c->GetCertInfoPfx(path.c_str(), 2007, "not the password");
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(wrong, "");
    EXPECT_EQ(c->GetLastErrorInfo(0), Gbk("pfx证书解析失败."));
    EXPECT_EQ(c->GetCertInfoPfx(path.c_str(), 2007, "pw"), k.opens ? "ORVA" : "");
    if (!k.opens) {
      EXPECT_LT(seconds, 0.5);
    }
    unlink(path.c_str());
  }
}

}  // namespace
}  // namespace tolmix::test
