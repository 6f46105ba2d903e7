// Failures of the session and message methods through `tolmix call`: what
// each returns, what it records and what it leaves behind.
#include <string>

#include "tests/e2e_messages/MessagesBed.h"

namespace tolmix::e2e {
namespace {

using Failures = SandboxCase;

TEST_F(Failures, AnUnsupportedSelectorIsRefusedButStaysInTheSession) {
  // The session keeps "SKF-ish" and the SKF PIN: the next Sign probes the
  // SKF key with that PIN and signs, as an empty session could not.
  Outcome run = bed().Call({{"SetPasswd", "skf", bed().Var("TOLMIX_SANDBOX_SKF_PIN"), "1"},
                            {"GetLastErrorInfo", "0"},
                            {"Sign", "x"},
                            {"GetCert"}});
  ASSERT_EQ(run.status, 0) << run.err;
  auto out = Results(run.out, "lllp");
  EXPECT_EQ(out[0], "false");
  EXPECT_EQ(out[1], "不支持的接口标准.");
  EXPECT_EQ(out[2], "true");
  EXPECT_EQ(out[3], PkiText("skf-sm2-sign.pem"));
}

TEST_F(Failures, P11WithMinusOneSkipsTheLogin) {
  Outcome run = bed().Call({{"SetPasswd", "P11", "000000", "-1"},
                            {"SetPasswd", "P11", "000000", "1"},
                            {"GetLastErrorInfo", "0"},
                            {"SetPasswd", "P11", bed().Var("TOLMIX_SANDBOX_P11_PIN"), "0"},
                            {"GetLastErrorInfo", "0"}},
                           bed().NoSkf());
  ASSERT_EQ(run.status, 0) << run.err;
  auto out = Results(run.out, "lllll");
  EXPECT_EQ(out[0], "true") << "a wrong PIN passes when nothing logs in";
  EXPECT_EQ(out[1], "false");
  EXPECT_EQ(out[2].rfind("登录UKEY失败", 0), 0u) << out[2];
  // Any other lCKType logs in with the empty session password.
  EXPECT_EQ(out[3], "false");
  EXPECT_EQ(out[4], "密码为空,请输入密码!");
}

TEST_F(Failures, CancellingTheCspChooserFailsSetPasswd) {
  Outcome run = bed().Call({{"SetPasswd", "CSP", "", "1"}, {"GetLastErrorInfo", "0"}, {"GetCert"}},
                           {{"TOLMIX_CHOOSER", "cancel"}});
  ASSERT_EQ(run.status, 0) << run.err;
  auto out = Results(run.out, "llp");
  EXPECT_EQ(out[0], "false");
  EXPECT_EQ(out[1], "使用CSP接口初使化证书失败.");
  EXPECT_EQ(out[2], "");
}

TEST_F(Failures, AFailingDigestLeavesTheSigningError) {
  // No session and no SKF key: Sign fails on the token.
  Outcome run = bed().Call({{"Sign", "x"},
                            {"GetLastErrorInfo", "0"},
                            {"Digest", "x", "99"},
                            {"GetLastErrorInfo", "0"},
                            {"Digest", "abc", "3"},
                            {"DigestData"},
                            {"SignedData"}},
                           bed().NoSkf());
  ASSERT_EQ(run.status, 0) << run.err;
  auto out = Results(run.out, "lllllll");
  EXPECT_EQ(out[0], "false");
  EXPECT_NE(out[1], "");
  EXPECT_EQ(out[2], "false");
  EXPECT_EQ(out[3], out[1]);
  EXPECT_EQ(out[4], "true");
  EXPECT_EQ(out[5], "qZk+NkcGgWq6PiVxeFDCbJzQ2J0=");  // SHA-1 of "abc"
  EXPECT_EQ(out[6], "");
}

TEST_F(Failures, ARefusedSetPasswdStillEmptiesTheSession) {
  // A password over the engine's 31 bytes, and a selector over its 255,
  // are refused -- after the session has been emptied, as SetPasswd's
  // first step does: a page whose switch failed cannot go on signing with
  // the previous PIN.  Initialize refuses the long password without
  // touching the session.
  const std::string pin = bed().Var("TOLMIX_SANDBOX_SKF_PIN");
  const std::string pin32(32, '8'), pin31(31, '8'), selector256(256, 'S');
  Outcome run = bed().Call({{"SetPasswd", "SKF", pin, "1"},
                            {"SetPasswd", "SKF", pin32, "1"},
                            {"GetLastErrorInfo", "0"},
                            {"Sign", "x"},
                            {"GetLastErrorInfo", "0"},
                            {"SetPasswd", "SKF", pin, "1"},
                            {"SetPasswd", selector256, pin, "1"},
                            {"GetLastErrorInfo", "0"},
                            {"Sign", "x"},
                            {"SetPasswd", "SKF", pin, "1"},
                            {"Initialize", "SKF", pin32},
                            {"Sign", "x"},
                            {"SetPasswd", "SKF", pin31, "0"},
                            {"Initialize", "csp", ""}});
  ASSERT_EQ(run.status, 0) << run.err;
  auto out = Results(run.out, "llllllllllllll");
  EXPECT_EQ(out[0], "true");
  EXPECT_EQ(out[1], "false");
  EXPECT_EQ(out[2], "密码过长,设备口令最多31个字节.");
  EXPECT_EQ(out[3], "false") << "the previous PIN is gone";
  EXPECT_EQ(out[4], "密码为空,请输入密码!");
  EXPECT_EQ(out[5], "true");
  EXPECT_EQ(out[6], "false");
  EXPECT_EQ(out[7], "参数过长.");
  EXPECT_EQ(out[8], "false") << "the previous PIN is gone";
  EXPECT_EQ(out[9], "true");
  EXPECT_EQ(out[10], "false");
  EXPECT_EQ(out[11], "true") << "Initialize's refusal left the session as it was";
  EXPECT_EQ(out[12], "true");
  EXPECT_EQ(out[13], "false") << "selectors are case-sensitive";
}

TEST_F(Failures, VerifiedContentEndsAtItsFirstNul) {
  // Signed by the openssl command: content GBK "中文", a NUL, then more.
  std::string content = "\xD6\xD0\xCE\xC4";
  content += '\0';
  content += "tail";
  std::string in = bed().Scratch("content.bin"), pem = bed().Scratch("signed.pem");
  WriteFile(in, content);
  Outcome s = Shell("openssl smime -sign -nodetach -binary -outform PEM -in " + Quoted(in) +
                        " -signer " + Quoted(bed().Pki("other-rsa.pem")) + " -inkey " +
                        Quoted(bed().Pki("other-rsa.key")) + " -out " + Quoted(pem),
                    bed().Scratch("openssl.err"));
  ASSERT_EQ(s.status, 0) << s.err;
  Outcome run = bed().Call({{"Verify", "", "@" + pem}, {"SignProData"}}, bed().NoSkf());
  ASSERT_EQ(run.status, 0) << run.err;
  auto out = Results(run.out, "ll");
  EXPECT_EQ(out[0], "true");
  EXPECT_EQ(out[1], "中文");
}

}  // namespace
}  // namespace tolmix::e2e
