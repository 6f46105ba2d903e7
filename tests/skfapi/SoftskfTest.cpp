// The softskf provisioning command, run as a separate process.
#include <sys/wait.h>

#include <cstdio>
#include <fstream>

#include "tests/skfapi/SkfTestSupport.h"

namespace skftest {
namespace {

class SoftskfTest : public SkfTest {
 protected:
  // Runs softskf with ARGS; returns the exit status, output in *out.
  int Run(const std::string& args, std::string* out = nullptr) {
    std::string cmd = std::string(SOFTSKF_EXE) + " " + args + " 2>&1";
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) return -1;
    std::string text;
    char buf[256];
    while (size_t n = fread(buf, 1, sizeof buf, p)) text.append(buf, n);
    int status = pclose(p);
    if (out) *out = text;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  std::string Write(const char* name, const std::string& text) {
    std::string path = token_ + "." + name;
    std::ofstream(path) << text;
    return path;
  }
};

TEST_F(SoftskfTest, InitImportListAndRepeat) {
  std::string sk = Write("sk", Sm2Sign().keyPem), sc = Write("sc", Sm2Sign().certPem);
  std::string ek = Write("ek", Sm2Enc().keyPem), ec = Write("ec", Sm2Enc().certPem);
  std::string rk = Write("rk", RsaSign().keyPem);
  for (int round = 0; round < 2; ++round) {  // the same commands twice: same result
    ASSERT_EQ(Run("init KEY1 APP1 12345678 87654321 3"), 0);
    ASSERT_EQ(Run("import KEY1 APP1 C1 --sign-key " + sk + " --sign-cert " + sc + " --enc-key " +
                  ek + " --enc-cert " + ec),
              0);
  }
  std::string out;
  EXPECT_EQ(Run("import KEY1 APP1 C2 --sign-key " + rk + " --sign-cert " + sc, &out), 1);
  EXPECT_NE(out.find("0x0A00000A"), std::string::npos) << out;
  EXPECT_EQ(Run("import KEY1 APP1 C2 --sign-key " + rk), 2);
  EXPECT_EQ(Run("init KEY1 APP1 12345678 87654321 0"), 2);
  EXPECT_EQ(Run("frobnicate"), 2);

  ASSERT_EQ(Run("list", &out), 0);
  EXPECT_NE(out.find("device KEY1\n"), std::string::npos) << out;
  EXPECT_NE(out.find("application APP1: user PIN 3/3 tries left"), std::string::npos) << out;
  EXPECT_NE(out.find("container C1\n      sign: SM2 /CN=SM2 signer\n      enc : SM2 /CN=SM2 "
                     "encipherer\n"),
            std::string::npos)
      << out;
  EXPECT_EQ(out.find("C2"), std::string::npos) << out;

  // The library sees what softskf provisioned.
  OpenApp(true);
  HCONTAINER c = Open("C1");
  ULONG len = 0;
  EXPECT_EQ(api_->ExportCertificate(c, FALSE, nullptr, &len), SAR_OK);
  EXPECT_EQ(len, Sm2Enc().certDer.size());
}

}  // namespace
}  // namespace skftest
