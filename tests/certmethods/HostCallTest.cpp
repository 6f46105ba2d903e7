// The certificate methods through `tolmix call`, as a script reaches them:
// names looked up in the dispatch table, text converted at the boundary,
// results printed as UTF-8.  The server is registered in a registry file of
// the program's own (tests/e2e_support/RegisteredServer.h).
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "TestCerts.h"
#include "tests/e2e_support/RegisteredServer.h"

namespace tolmix::test {
namespace {

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
  CertSpec shape;
  shape.issuer = {{"CN", "Other CA"}};
  CertFile cert(MakePem(shape));
  EXPECT_EQ(Tolmix("call VerifyCert " + cert.Arg() + " -- GetLastErrorInfo 0"),
            "false\n证书验证不通过,证书不为ORVA签发.\n");
}

}  // namespace
}  // namespace tolmix::test
