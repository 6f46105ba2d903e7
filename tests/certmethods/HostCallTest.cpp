// The certificate methods through `tolmix call`, as a script reaches them:
// names looked up in the dispatch table, text converted at the boundary,
// results printed as UTF-8.  The control is created by ProgID, so the
// tests register the server in a registry file of their own.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "TestCerts.h"

namespace tolmix::test {
namespace {

class RegisteredServer : public ::testing::Environment {
 public:
  void SetUp() override {
    char dir[] = "/tmp/h14-registry-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    dir_ = dir;
    setenv("TOLMIX_REGISTRY", (dir_ + "/registry.ini").c_str(), 1);
    std::string cmd = std::string("'") + TOLMIX_HOST_BINARY + "' register >/dev/null";
    ASSERT_EQ(system(cmd.c_str()), 0) << "tolmix register";
  }
  void TearDown() override { EXPECT_EQ(system(("rm -rf '" + dir_ + "'").c_str()), 0); }

 private:
  std::string dir_;
};

[[maybe_unused]] ::testing::Environment* const kRegistered =
    ::testing::AddGlobalTestEnvironment(new RegisteredServer);

// Runs `tolmix ARGS` through the shell; standard output only.
std::string Tolmix(const std::string& args) {
  std::string out;
  FILE* p = popen((std::string(TOLMIX_HOST_BINARY) + " " + args + " 2>/dev/null").c_str(), "r");
  if (p == nullptr) return out;
  char buf[512];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  pclose(p);
  return out;
}

class CertFile {
 public:
  explicit CertFile(const std::string& pem) {
    char name[] = "/tmp/h14-cert-XXXXXX";
    close(mkstemp(name));
    path_ = name;
    std::ofstream(path_) << pem;
  }
  ~CertFile() { unlink(path_.c_str()); }
  std::string Arg() const { return "@" + path_; }

 private:
  std::string path_;
};

TEST(HostCall, ParseThenGetters) {
  CertFile cert(MakePem(FullSpec()));
  EXPECT_EQ(Tolmix("call CertParse " + cert.Arg() + " -- GetSubject -- GetSerialNumber" +
                   " -- GetCertInfo '' 2011 ''"),
            "true\n" + std::string(kFullSubject) + "\n00ff0102\nca@orva.cn\n");
}

TEST(HostCall, VerifyCertMessage) {
  CertSpec spec;
  spec.issuer = {{"CN", "Other CA"}};
  CertFile cert(MakePem(spec));
  EXPECT_EQ(Tolmix("call VerifyCert " + cert.Arg() + " -- GetLastErrorInfo 0"),
            "false\n证书验证不通过,证书不为ORVA签发.\n");
}

}  // namespace
}  // namespace tolmix::test
