// Which token of several gets the PIN, through p11-kit's proxy as the
// package sets it up: SoftHSM2 (an uninitialised slot beside the sandbox's
// token), a tpm2-pkcs11 token on a software TPM (scripts/tpm-token.sh) and
// p11-kit's trust module.  The traces of the P11 route ($TOLMIX_DEBUG) name
// each refused login, so a count of them is a count of PINs presented.
#include <signal.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/e2e_support/E2eBed.h"

namespace tolmix::e2e {
namespace {

constexpr char kProxy[] = "/usr/lib/x86_64-linux-gnu/p11-kit-proxy.so";
constexpr char kTpmPin[] = "654321";
constexpr char kWrongPin[] = "登录UKEY失败,密码错误,重复次数过多会锁死UKEY.";

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

struct Case {
  const char* what;
  const char* token;  // Token= of the proxy's [Device_1], "" for none
  std::vector<std::vector<std::string>> members;
  std::string shape;          // Results() shape of the members
  std::vector<std::string> want;  // per member; "tpm" / "soft": that token's certificate
  size_t refusals;            // logins refused in the whole call
};

TEST(TokenChoice, ThePinGoesToTheChosenTokenOnly) {
  if (access(kProxy, R_OK) != 0) GTEST_SKIP() << kProxy << " missing (Debian package p11-kit-modules)";
  Bed bed(TOLMIX_HOST);
  ASSERT_TRUE(bed.Ok()) << bed.Problem();
  const std::string system = bed.Var("TOLMIX_SYSTEM_DIR");
  const std::string keys = std::filesystem::path(system).parent_path().string() + "/keys";
  const std::string tpmDir = bed.Scratch("tpm");
  Outcome made = Shell("bash " + Quoted(TOLMIX_SOURCE_DIR "/scripts/tpm-token.sh") + " " +
                           Quoted(tpmDir) + " tpmtok " + kTpmPin + " 87654321 " +
                           Quoted(keys + "/ca-orvarsa.key") + " " + Quoted(bed.Pki("ca-orvarsa.pem")),
                       bed.Scratch("tpm.err"));
  if (made.status == 77) GTEST_SKIP() << "no software TPM: " << made.err;
  ASSERT_EQ(made.status, 0) << made.err;
  Env env = bed.NoSkf();
  env["TOLMIX_DEBUG"] = "1";
  std::string swtpmPid;
  std::istringstream lines(made.out);
  for (std::string line; std::getline(lines, line);) {
    const size_t eq = line.find('=');
    if (line.starts_with("SWTPM_PID=")) swtpmPid = line.substr(eq + 1);
    else if (eq != std::string::npos) env[line.substr(0, eq)] = line.substr(eq + 1);
  }
  std::error_code ec;
  std::filesystem::create_symlink(kProxy, system + "/p11-kit-proxy.so", ec);
  const std::string softPin = bed.Var("TOLMIX_SANDBOX_P11_PIN");
  const std::string tpmCert = ReadFile(env["TPM_CERT"]);
  const std::string softCert = ReadFile(bed.Pki("p11-sign.pem"));

  const Case cases[] = {
      // The first candidate in the proxy's order is the sandbox's SoftHSM2
      // token: the uninitialised slot and the trust module are passed over.
      {"first candidate, its PIN", "", {{"Initialize", "P11", softPin}, {"Sign", "x"}, {"GetCert"}},
       "llp", {"true", "true", "soft"}, 0},
      // Another token's PIN is refused once there and never presented
      // again, to that token or the next one: the later calls end with the
      // wrong-PIN message without a login.
      {"first candidate, another token's PIN", "",
       {{"SetPasswd", "P11", kTpmPin, "1"}, {"Sign", "x"}, {"Sign", "y"}, {"GetLastErrorInfo", "0"}},
       "llll", {"false", "false", "false", kWrongPin}, 1},
      {"a refusal inside Sign", "", {{"Initialize", "P11", "000000"}, {"Sign", "x"},
       {"GetLastErrorInfo", "0"}, {"Sign", "y"}, {"GetLastErrorInfo", "0"}},
       "lllll", {"true", "false", kWrongPin, "false", kWrongPin}, 1},
      // Token= pins either token.
      {"Token= the TPM", "pkcs11:token=tpmtok",
       {{"SetPasswd", "P11", kTpmPin, "1"}, {"Sign", "x"}, {"P1Sign", "x"}, {"GetCert"}}, "lllp",
       {"true", "true", "true", "tpm"}, 0},
      {"Token= SoftHSM2", "pkcs11:token=Tolmix%20Sandbox%20P11;manufacturer=SoftHSM%20project",
       {{"Initialize", "P11", softPin}, {"Sign", "x"}, {"GetCert"}}, "llp", {"true", "true", "soft"}, 0},
      {"Token= no such token", "pkcs11:token=nosuch",
       {{"Initialize", "P11", softPin}, {"Sign", "x"}, {"GetLastErrorInfo", "0"}}, "lll",
       {"true", "false", "未发现UKEY设备"}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::string list = "[DeviceCount]\nDeviceCount=1\n\n[Device_1]\nDLLName=p11-kit-proxy.so\n";
    if (*c.token) list += std::string("Token=") + c.token + "\n";
    WriteFile(system + "/P11_SKF.ini", list);
    Outcome run = bed.Call(c.members, env);
    ASSERT_EQ(run.status, 0) << run.err;
    std::vector<std::string> out = Results(run.out, c.shape);
    for (size_t i = 0; i < c.want.size(); ++i) {
      const std::string want = c.want[i] == std::string("tpm")    ? tpmCert
                               : c.want[i] == std::string("soft") ? softCert
                                                                  : c.want[i];
      EXPECT_EQ(out[i], want) << "member " << i;
    }
    EXPECT_EQ(Count(run.err, "refused the login"), c.refusals) << run.err;
  }

  // A TPM that stops answering: `--timeout` ends the call, and the next
  // call works once it answers again.
  WriteFile(system + "/P11_SKF.ini",
            "[DeviceCount]\nDeviceCount=1\n\n[Device_1]\nDLLName=p11-kit-proxy.so\n"
            "Token=pkcs11:token=tpmtok\n");
  ASSERT_FALSE(swtpmPid.empty());
  kill(std::stoi(swtpmPid), SIGSTOP);
  const auto start = std::chrono::steady_clock::now();
  Outcome hung = bed.Tolmix({"call", "--timeout", "3", "Initialize", "P11", kTpmPin, "--", "Sign", "x"}, env);
  const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  kill(std::stoi(swtpmPid), SIGCONT);
  EXPECT_EQ(hung.status, 1);
  EXPECT_NE(hung.err.find("--timeout"), std::string::npos) << hung.err;
  EXPECT_GE(took, 2.9);
  EXPECT_LT(took, 6.0);
  Outcome after = bed.Call({{"Initialize", "P11", kTpmPin}, {"Sign", "x"}}, env);
  EXPECT_EQ(Results(after.out, "ll")[1], "true") << after.err;

  // The TPM's own counter: it locks after 3 wrong PINs.  Each call below
  // spends exactly one (else the second would already see the lock), and
  // the locked token is told apart from a wrong PIN.
  for (const char* pin : {"000001", "000002", "000003", "000004"}) {
    SCOPED_TRACE(pin);
    Outcome r = bed.Call({{"SetPasswd", "P11", pin, "1"}, {"GetLastErrorInfo", "0"}, {"Sign", "x"},
                          {"Sign", "y"}}, env);
    std::vector<std::string> out = Results(r.out, "llll");
    EXPECT_EQ(out[1], pin == std::string("000004") ? "登录设备失败，口令是否正确,您还有0次尝试机会!!!!!!" : kWrongPin) << r.err;
    EXPECT_EQ(out[3], "false");
  }
  kill(std::stoi(swtpmPid), SIGTERM);
}

}  // namespace
}  // namespace tolmix::e2e
