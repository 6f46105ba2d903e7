// SignEnvelope / VerifySignEnvelope, P1Sign / P1Verify, EncryptFile /
// DecryptFile and GetCertEx through `tolmix call` on the three routes of
// the sandbox: "P11" (SoftHSM2 token, soft SKF key unplugged), "SKF" (soft
// SKF key, SM2) and "CSP" (soft store, unattended chooser).
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <openssl/bio.h>
#include <openssl/pem.h>
#include <openssl/pkcs7.h>

#include "tests/e2e_files/CallBed.h"

namespace tolmix::e2etest {
namespace {

constexpr char kContent[] = "信封原文 envelope text";
// The same text as the control signs it: GBK (iconv -f UTF-8 -t GBK).
constexpr char kContentGbk[] = "\xD0\xC5\xB7\xE2\xD4\xAD\xCE\xC4 envelope text";
constexpr char kVerifyFailed[] = "签名验证失败!";

struct Route {
  std::string selector, pin;
  Env env;
  const char* signCert;     // certificate of the signature key
  const char* encCert;      // certificate of the exchange key (recipient)
  const char* afterLogin;   // current certificate after SetPasswd, or nullptr for none
  const char* certEx[2];    // GetCertEx 1 and 2 after DecryptFile
  bool rsa;                 // the signature can be checked by OpenSSL alone
};

Route P11() {
  return {"P11", "123456", TheBed().NoSkf(), "p11-sign.pem",
          "p11-exchange.pem", nullptr, {"p11-exchange.pem", "p11-sign.pem"}, true};
}
Route Skf() {
  // GetCertEx on a control that is not "P11" answers the current certificate.
  return {"SKF", "888888", {}, "skf-sm2-sign.pem", "skf-sm2-enc.pem", nullptr,
          {"skf-sm2-enc.pem", "skf-sm2-enc.pem"}, false};
}
Route Csp() {
  // "first": csp-sign under the signing filter, csp-enc under the other.
  return {"CSP", "", {{"TOLMIX_CHOOSER", "first"}}, "csp-sign.pem", "csp-enc.pem", "csp-enc.pem",
          {"csp-enc.pem", "csp-enc.pem"}, true};
}

std::string Cert(const char* name) { return name ? PkiText(name) : std::string(); }

// The content of the attached PKCS#7 PEM message, verified by OpenSSL with
// the certificate it carries; "<invalid>" when it does not verify.
std::string OpensslVerifiedContent(const std::string& pem) {
  BIO* in = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
  PKCS7* p7 = PEM_read_bio_PKCS7(in, nullptr, nullptr, nullptr);
  BIO* out = BIO_new(BIO_s_mem());
  std::string content = "<invalid>";
  if (p7 && PKCS7_verify(p7, nullptr, nullptr, nullptr, out, PKCS7_NOVERIFY) == 1) {
    char* data = nullptr;
    long n = BIO_get_mem_data(out, &data);
    content.assign(data, static_cast<size_t>(n));
  }
  PKCS7_free(p7);
  BIO_free(in);
  BIO_free(out);
  return content;
}

void RoundTrip(const Route& r) {
  static constexpr char kPlain[] = "file \0\xFF\xFE body \xC4\xE3\xBA\xC3\n";
  const std::string plain(kPlain, sizeof kPlain - 1);  // NUL and non-text bytes included
  e2e::Bed& bed = TheBed();
  const std::string plainPath = bed.Scratch("plain.bin");
  e2e::WriteFile(plainPath, plain);
  const std::string encPath = bed.Scratch("enc.p7");
  const std::string outPath = bed.Scratch("out.bin");

  std::vector<std::string> a = Call(
      {{"SetPasswd", r.selector, r.pin, "1"},
       {"SignEnvelope", kContent}, {"SignedData"}, {"GetCert"},
       {"P1Sign", kContent}, {"SignedData"}, {"GetCert"},
       {"EncryptFile", plainPath, encPath, "@" + bed.Pki(r.encCert)},
       {"DecryptFile", encPath, outPath}, {"GetCert"},
       {"GetCertEx", "1"}, {"GetCertEx", "2"},
       {"EncryptedData"}, {"DecryptedData"}, {"DigestData"}, {"SignProData"},
       {"GetLastErrorInfo", "0"}},
      r.env);
  EXPECT_EQ(a[0], "true");
  const std::string& envelope = a[1];
  EXPECT_TRUE(envelope.starts_with("-----BEGIN PKCS7-----\n")) << envelope;
  EXPECT_TRUE(envelope.ends_with("-----END PKCS7-----\n")) << envelope;
  EXPECT_EQ(a[2], envelope);
  EXPECT_EQ(a[3], Cert(r.afterLogin)) << "SignEnvelope leaves the current certificate";
  if (r.rsa) {
    EXPECT_EQ(OpensslVerifiedContent(envelope), kContentGbk);
  }

  EXPECT_EQ(a[4], "true");
  const std::string& block = a[5];
  EXPECT_FALSE(block.empty());
  EXPECT_EQ(block.find('\n'), std::string::npos);
  EXPECT_EQ(a[6], Cert(r.signCert));

  EXPECT_EQ(a[7], "true");
  EXPECT_EQ(a[8], "true");
  EXPECT_EQ(e2e::ReadFile(outPath), plain);
  EXPECT_EQ(a[9], Cert(r.encCert));
  EXPECT_EQ(a[10], Cert(r.certEx[0]));
  EXPECT_EQ(a[11], Cert(r.certEx[1]));
  for (int i = 12; i <= 16; ++i) EXPECT_EQ(a[i], "") << i;

  // A second process: the signatures made above are checked.
  std::vector<std::string> b = Call(
      {{"SetPasswd", r.selector, r.pin, "1"},
       {"VerifySignEnvelope", bed.FileArg("envelope.pem", envelope)},
       {"P1Verify", kContent, bed.FileArg("block.txt", block)},
       {"P1Verify", std::string(kContent) + "!", bed.FileArg("block.txt", block)},
       {"GetLastErrorInfo", "0"}, {"SignedData"}, {"SignProData"}, {"GetCert"}},
      r.env);
  EXPECT_EQ(b[0], "true");
  EXPECT_EQ(b[1], kContent);
  EXPECT_EQ(b[2], "true");
  EXPECT_EQ(b[3], "false");
  EXPECT_EQ(b[4], kVerifyFailed);
  EXPECT_EQ(b[5], "");
  EXPECT_EQ(b[6], "");
  EXPECT_EQ(b[7], Cert(r.afterLogin));
}

TEST(FileMethods, RoundTripsOnP11) { RoundTrip(P11()); }
TEST(FileMethods, RoundTripsOnSkf) { RoundTrip(Skf()); }
TEST(FileMethods, RoundTripsOnCsp) { RoundTrip(Csp()); }

// Paths cross the boundary in GBK and reach the file system under their
// UTF-8 names: Chinese folder and file names work on every route, and new
// targets show under the names the page gave.
TEST(FileMethods, ChineseFolderAndFileNamesOnEveryRoute) {
  for (const Route& r : {P11(), Skf(), Csp()}) {
    SCOPED_TRACE(r.selector);
    const std::string dir = TheBed().Scratch("证书");
    std::filesystem::create_directories(dir);
    const std::string plain = "中文文件名 plain text\n";
    e2e::WriteFile(dir + "/明文.txt", plain);
    std::vector<std::string> a =
        Call({{"SetPasswd", r.selector, r.pin, "1"},
              {"EncryptFile", dir + "/明文.txt", dir + "/加密.p7", "@" + TheBed().Pki(r.encCert)},
              {"DecryptFile", dir + "/加密.p7", dir + "/解密.txt"},
              {"GetLastErrorInfo", "0"}},
             r.env);
    EXPECT_EQ(a[1], "true");
    EXPECT_EQ(a[2], "true") << a[3];
    EXPECT_EQ(e2e::ReadFile(dir + "/解密.txt"), plain);
    EXPECT_EQ(Listing(dir), "加密.p7\n明文.txt\n解密.txt\n");
  }
}

TEST(FileMethods, PfxUnderAChineseNameOpens) {
  e2e::Bed& bed = TheBed();
  const std::string dir = bed.Scratch("证书");
  std::filesystem::create_directories(dir);
  const std::string pfx = dir + "/测试.pfx";
  e2e::Outcome made = e2e::Shell("openssl pkcs12 -export -passout pass:secret -in " +
                                     e2e::Quoted(bed.Pki("other-rsa.pem")) + " -inkey " +
                                     e2e::Quoted(bed.Pki("other-rsa.key")) + " -out " +
                                     e2e::Quoted(pfx),
                                 bed.Scratch("openssl.err"));
  ASSERT_EQ(made.status, 0) << made.err;
  std::vector<std::string> a = Call({{"CertParsePfx", pfx, "secret", ""},
                                     {"GetCertInfoPfx", "", "3007", ""},
                                     {"GetCertInfoPfx", pfx, "3007", "secret"},
                                     {"GetCertInfoPfx", dir + "/缺少.pfx", "3007", "secret"},
                                     {"GetLastErrorInfo", "0"}});
  EXPECT_EQ(a[0], "true");
  EXPECT_EQ(a[1], "Tolmix Other Recipient");
  EXPECT_EQ(a[2], "Tolmix Other Recipient");
  EXPECT_EQ(a[3], "");
  EXPECT_EQ(a[4], "pfx证书解析失败.");
}

TEST(FileMethods, WithoutSessionSignEnvelopeReturnsEmptyAndKeepsTheError) {
  const Route r = P11();
  std::vector<std::string> a =
      Call({{"SetPasswd", r.selector, r.pin, "1"}, {"SignEnvelope", kContent}}, r.env);
  ASSERT_TRUE(a[1].starts_with("-----BEGIN PKCS7-----")) << a[1];

  std::vector<std::string> b = Call({{"SetPasswd", r.selector, r.pin, "1"},
                                     {"SignEnvelope", kContent},
                                     {"P1Verify", kContent, "not a block"},
                                     {"ClearPasswd"},
                                     {"SignEnvelope", kContent},
                                     {"VerifySignEnvelope", TheBed().FileArg("envelope.pem", a[1])},
                                     {"GetLastErrorInfo", "0"},
                                     {"SignedData"}},
                                    r.env);
  EXPECT_EQ(b[2], "false");
  EXPECT_EQ(b[3], "true");
  EXPECT_EQ(b[4], "");
  EXPECT_EQ(b[5], "");
  EXPECT_EQ(b[6], kVerifyFailed);
  EXPECT_EQ(b[7], b[1]) << "SignedData keeps the last signature";
}

TEST(FileMethods, FailedDecryptFileKeepsTheTargetAndTheCurrentCertificate) {
  const Route r = P11();
  e2e::Bed& bed = TheBed();
  const std::string plainPath = bed.Scratch("plain.txt");
  e2e::WriteFile(plainPath, "secret");
  const std::string encPath = bed.Scratch("enc.p7");
  const std::string target = bed.Scratch("target.txt");
  e2e::WriteFile(target, "keep me");
  std::vector<std::string> a =
      Call({{"SetPasswd", r.selector, r.pin, "1"},
            {"P1Sign", kContent},
            {"EncryptFile", plainPath, encPath, "@" + bed.Pki("other-rsa.pem")},
            {"DecryptFile", encPath, target},
            {"GetLastErrorInfo", "0"},
            {"DecryptFile", bed.Scratch("missing.p7"), target},
            {"GetCert"}},
           r.env);
  EXPECT_EQ(a[1], "true");
  EXPECT_EQ(a[2], "true");
  EXPECT_EQ(a[3], "false");
  EXPECT_NE(a[4], "");
  EXPECT_EQ(a[5], "false");
  EXPECT_EQ(a[6], PkiText("p11-sign.pem"));
  EXPECT_EQ(e2e::ReadFile(target), "keep me");
}

TEST(FileMethods, FailedGetCertExOnP11KeepsTheCurrentCertificate) {
  // SetPasswd "CSP" makes csp-enc current; "P11" with -1 touches no device.
  // The token cannot be reached, so reading its certificate fails.
  std::vector<std::string> a = Call({{"SetPasswd", "CSP", "", "1"},
                                     {"SetPasswd", "P11", "", "-1"},
                                     {"GetCertEx", "1"},
                                     {"GetLastErrorInfo", "0"},
                                     {"GetCert"}},
                                    {{"TOLMIX_CHOOSER", "first"},
                                     {"TOLMIX_SKF_TOKEN_DIR", TheBed().NoSkf().begin()->second},
                                     {"SOFTHSM2_CONF", TheBed().Scratch("missing.conf")}});
  EXPECT_EQ(a[1], "true");
  EXPECT_EQ(a[2], "");
  EXPECT_EQ(a[3], "加载证书对象失败!");
  EXPECT_EQ(a[4], PkiText("csp-enc.pem"));
}

}  // namespace
}  // namespace tolmix::e2etest
