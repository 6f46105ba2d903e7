// The process-wide session seen by a second control, a 1 MB text through
// Encrypt and Decrypt, and the provider list.
#include <string>

#include "tests/e2e_messages/MessagesBed.h"

namespace tolmix::e2e {
namespace {

using Session = SandboxCase;

TEST_F(Session, ASecondControlSignsWithTheFirstOnesSession) {
  std::string script = bed().Scratch("two.js");
  WriteFile(script,
            "var a = new ActiveXObject('TOLMIX.TOLMIXCtrl.1');\n"
            "WScript.Echo(a.SetPasswd('P11', WScript.Arguments(0), 1));\n"
            "var b = new ActiveXObject('TOLMIX.TOLMIXCtrl.1');\n"
            "WScript.Echo(b.Sign('second'));\n"
            "WScript.Echo(b.GetCert());\n"
            "a.ClearPasswd();\n"
            "WScript.Echo(b.Sign('after ClearPasswd'));\n");
  Outcome run = bed().Tolmix({"run", script, bed().Var("TOLMIX_SANDBOX_P11_PIN")}, bed().NoSkf());
  ASSERT_EQ(run.status, 0) << run.err;
  auto out = Results(run.out, "llpl");
  EXPECT_EQ(out[0], "true");
  EXPECT_EQ(out[1], "true");
  EXPECT_EQ(out[2], PkiText("p11-sign.pem"));
  EXPECT_EQ(out[3], "false") << "ClearPasswd on one control ends the session of all";
}

TEST_F(Session, AMegabyteTextSurvivesEncryptAndDecrypt) {
  // One line of 1 MB and more in GBK (each "中文" is 4 bytes there).
  std::string text;
  while (text.size() < (1u << 20)) text += "中文 text 0123456789 ";
  const size_t gbkBytes = text.size() / 23 * 21;  // 23 UTF-8 bytes a piece, 21 in GBK
  const std::vector<std::string> setPasswd{"SetPasswd", "P11",
                                           bed().Var("TOLMIX_SANDBOX_P11_PIN"), "1"};

  Outcome run = bed().Call({setPasswd,
                            {"Encrypt", bed().FileArg("big.txt", text),
                             "@" + bed().Pki("p11-exchange.pem")},
                            {"EncryptedData"}},
                           bed().NoSkf());
  ASSERT_EQ(run.status, 0) << run.err;
  auto out = Results(run.out, "llp");
  ASSERT_EQ(out[1], "true");
  const std::string envelope = out[2];
  // Longer than the content + 10240 bytes a fixed buffer would give it.
  EXPECT_GT(envelope.size(), gbkBytes + 10240);
  EXPECT_EQ(envelope.substr(envelope.size() - 20), "-----END PKCS7-----\n");

  run = bed().Call({setPasswd, {"Decrypt", bed().FileArg("big.pem", envelope)}, {"DecryptedData"}},
                   bed().NoSkf());
  ASSERT_EQ(run.status, 0) << run.err;
  out = Results(run.out, "lll");
  ASSERT_EQ(out[1], "true");
  EXPECT_TRUE(out[2] == text) << "decrypted " << out[2].size() << " bytes of " << text.size();
}

TEST_F(Session, AllCspListsTheProvidersInOrder) {
  Env store{{"TOLMIX_STORE_DIR", bed().Scratch("store")}};
  auto list = [&] {
    Outcome run = bed().Call({{"GetAllCSPInfo"}, {"AllCSP"}}, store);
    EXPECT_EQ(run.status, 0) << run.err;
    auto out = Results(run.out, "ll");
    EXPECT_EQ(out[0], "true");
    return out[1];
  };
  EXPECT_EQ(list(), "");
  ASSERT_EQ(bed().Tolmix({"store", "add-provider", "Alpha"}, store).status, 0);
  EXPECT_EQ(list(), "Alpha");
  ASSERT_EQ(bed().Tolmix({"store", "add-provider", "中文提供者"}, store).status, 0);
  EXPECT_EQ(list(), "Alpha;中文提供者");
}

}  // namespace
}  // namespace tolmix::e2e
