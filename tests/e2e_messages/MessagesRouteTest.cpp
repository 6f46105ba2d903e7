// Sign, Verify, Encrypt and Decrypt after SetPasswd with lCKType 1, on each
// route: what each method returns, which properties it fills and what it
// does to the current certificate (GetCert).
#include <string>

#include "tests/e2e_messages/MessagesBed.h"

namespace tolmix::e2e {
namespace {

struct Route {
  const char* iface;
  const char* pinVar;    // variable of the sandbox holding its PIN, or ""
  const char* signCert;  // PKI file of the device's signature certificate
  const char* encCert;   // and of its exchange certificate
};

const Route kRoutes[] = {
    {"P11", "TOLMIX_SANDBOX_P11_PIN", "p11-sign.pem", "p11-exchange.pem"},
    {"SKF", "TOLMIX_SANDBOX_SKF_PIN", "skf-sm2-sign.pem", "skf-sm2-enc.pem"},
    {"CSP", "", "csp-sign.pem", "csp-enc.pem"},
};

// GBK text at the boundary both ways: UTF-8 here, UTF-16 to the control.
constexpr char kText[] = "签名原文 content 中文 ~!@#";

class RouteCase : public SandboxCase, public ::testing::WithParamInterface<Route> {
 protected:
  std::vector<std::string> SetPasswd() {
    const Route& r = GetParam();
    return {"SetPasswd", r.iface, *r.pinVar ? bed().Var(r.pinVar) : "", "1"};
  }
  // The P11 route runs with the SKF key out of reach (see E2eBed.h).
  Env RouteEnv() { return std::string(GetParam().iface) == "P11" ? bed().NoSkf() : Env{}; }
};

TEST_P(RouteCase, RoundTripsFillTheirPropertiesAndTheCurrentCertificate) {
  const Route& r = GetParam();
  const std::string signCert = PkiText(r.signCert), encCert = PkiText(r.encCert);
  // "CSP" chooses its certificate in SetPasswd: the first encryption one.
  const std::string setPasswdCert = std::string(r.iface) == "CSP" ? encCert : "";

  Outcome run = bed().Call({SetPasswd(), {"Sign", kText}, {"SignedData"}, {"GetCert"},
                        {"EncryptedData"}, {"DecryptedData"}, {"SignProData"}, {"DigestData"}},
                       RouteEnv());
  ASSERT_EQ(run.status, 0) << run.err;
  auto out = Results(run.out, "llppllll");
  EXPECT_EQ(out[0], "true");
  ASSERT_EQ(out[1], "true") << run.err;
  const std::string signedPem = out[2];
  EXPECT_EQ(signedPem.rfind("-----BEGIN PKCS7-----\n", 0), 0u) << signedPem;
  EXPECT_EQ(out[3], signCert);
  for (size_t i = 4; i < out.size(); ++i) EXPECT_EQ(out[i], "") << "member " << i;

  // Verify: its first argument is ignored; the certificate stays.
  run = bed().Call({SetPasswd(), {"GetCert"},
                    {"Verify", "not the content", bed().FileArg("signed.pem", signedPem)},
                    {"SignProData"}, {"GetCert"}, {"Encrypt", kText, "@" + bed().Pki(r.encCert)},
                    {"GetCert"}, {"EncryptedData"}, {"SignedData"}, {"DecryptedData"}},
                   RouteEnv());
  ASSERT_EQ(run.status, 0) << run.err;
  out = Results(run.out, "lpllplpppl");
  EXPECT_EQ(out[0], "true");
  EXPECT_EQ(out[1], setPasswdCert);
  EXPECT_EQ(out[2], "true");
  EXPECT_EQ(out[3], kText);
  EXPECT_EQ(out[4], setPasswdCert) << "Verify never changes the current certificate";
  ASSERT_EQ(out[5], "true") << "Encrypt";
  EXPECT_EQ(out[6], setPasswdCert) << "Encrypt never changes the current certificate";
  const std::string envelope = out[7];
  EXPECT_EQ(envelope.rfind("-----BEGIN PKCS7-----\n", 0), 0u) << envelope;
  EXPECT_EQ(out[8], "");
  EXPECT_EQ(out[9], "");

  run = bed().Call({SetPasswd(), {"Decrypt", bed().FileArg("envelope.pem", envelope)},
                    {"DecryptedData"}, {"GetCert"}, {"SignedData"}, {"EncryptedData"}},
                   RouteEnv());
  ASSERT_EQ(run.status, 0) << run.err;
  out = Results(run.out, "lllppp");
  EXPECT_EQ(out[0], "true");
  ASSERT_EQ(out[1], "true") << run.err;
  EXPECT_EQ(out[2], kText);
  EXPECT_EQ(out[3], encCert);
  EXPECT_EQ(out[4], "");
  EXPECT_EQ(out[5], "");
}

INSTANTIATE_TEST_SUITE_P(Routes, RouteCase, ::testing::ValuesIn(kRoutes),
                         [](const auto& info) { return std::string(info.param.iface); });

}  // namespace
}  // namespace tolmix::e2e
