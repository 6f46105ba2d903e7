#include "tests/envelope/EnvelopeBed.h"

#include <stdlib.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "engine/CMSEngine.h"
#include "tests/engine/CMSEngineTestPeer.h"

namespace tolmix::envelopetest {
namespace fs = std::filesystem;
namespace {

std::string g_root;     // mkdtemp folder, removed at the end
std::string g_sandbox;  // g_root/sandbox
int g_scratch = 0;

class SandboxEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    char tmpl[] = "/tmp/tolmix-envelope-test-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    g_root = tmpl;
    g_sandbox = g_root + "/sandbox";
    int status = -1;
    std::string out = Run(TOLMIX_HOST " sandbox " + Quoted(g_sandbox) + " 2>/dev/null", &status);
    ASSERT_EQ(status, 0) << out;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
      size_t eq = line.find('=');
      if (eq != std::string::npos) setenv(line.substr(0, eq).c_str(), line.substr(eq + 1).c_str(), 1);
    }
    setenv("TOLMIX_CHOOSER", "first", 1);
    fs::create_directories(g_root + "/no-skf");
  }
  void TearDown() override {
    std::error_code ec;
    if (!g_root.empty()) fs::remove_all(g_root, ec);
  }
};

[[maybe_unused]] ::testing::Environment* const g_env =
    ::testing::AddGlobalTestEnvironment(new SandboxEnvironment);

// Sets up ENGINE for DEVICE, hiding the SKF key while alive on "P11".
class DeviceSession {
 public:
  DeviceSession(CMSEngine& engine, const Device& device) {
    if (std::string(device.iface) == "P11") {
      const char* dir = getenv("TOLMIX_SKF_TOKEN_DIR");
      saved_ = dir ? dir : "";
      setenv("TOLMIX_SKF_TOKEN_DIR", (g_root + "/no-skf").c_str(), 1);
      hidden_ = true;
    }
    engine.SetInterface(device.iface);
    const char* pin = *device.pin_var ? getenv(device.pin_var) : nullptr;
    engine.SetPassword(pin ? pin : "");
  }
  ~DeviceSession() {
    if (hidden_) setenv("TOLMIX_SKF_TOKEN_DIR", saved_.c_str(), 1);
  }

 private:
  std::string saved_;
  bool hidden_ = false;
};

}  // namespace

std::string Pki(const std::string& file) { return g_sandbox + "/pki/" + file; }
std::string Scratch(const std::string& name) {
  return g_root + "/" + std::to_string(++g_scratch) + "-" + name;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

std::string WriteFile(const std::string& path, const std::string& data) {
  std::ofstream(path, std::ios::binary) << data;
  return path;
}

std::string Quoted(const std::string& text) {
  std::string out = "'";
  for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

std::string Run(const std::string& command, int* status) {
  std::string out;
  *status = -1;
  FILE* p = popen(command.c_str(), "r");
  if (!p) return out;
  char buf[4096];
  for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
  int s = pclose(p);
  *status = WIFEXITED(s) ? WEXITSTATUS(s) : -1;
  return out;
}

Outcome Encrypt(const char* iface, const std::string& content, const std::string& cert) {
  Outcome o;
  CMSEngine engine;
  engine.SetInterface(iface);
  std::string pem = ReadFile(Pki(cert));
  o.result = engine.EnvelopeEncrypt(content.data(), static_cast<int>(content.size()), pem.c_str(),
                                    &o.text);
  o.iface = CMSEngineTestPeer(engine).InterfaceName();
  return o;
}

Outcome Decrypt(const Device& device, const std::string& pem) {
  Outcome o;
  CMSEngine engine;
  DeviceSession session(engine, device);
  o.result = engine.EnvelopeDecrypt(pem.data(), static_cast<int>(pem.size()), &o.text);
  o.iface = CMSEngineTestPeer(engine).InterfaceName();
  return o;
}

int DecryptBuffer(const Device& device, const std::string& pem, char* out, unsigned* len) {
  CMSEngine engine;
  DeviceSession session(engine, device);
  return engine.EnvelopeDecrypt(pem.data(), static_cast<int>(pem.size()), out, len);
}

int EncryptFile(const char* iface, const std::string& src, const std::string& dst,
                const std::string& cert) {
  CMSEngine engine;
  engine.SetInterface(iface);
  return engine.EnvelopeEncryptFile(src.c_str(), dst.c_str(), ReadFile(Pki(cert)).c_str());
}

int DecryptFile(const Device& device, const std::string& src, const std::string& dst) {
  CMSEngine engine;
  DeviceSession session(engine, device);
  return engine.EnvelopeDecryptFile(src.c_str(), dst.c_str());
}

std::string OpensslEncrypt(const std::string& content, const std::string& cert) {
  int status = -1;
  std::string out = Run("openssl smime -encrypt -des3 -binary -outform PEM -in " +
                            Quoted(WriteFile(Scratch("content"), content)) + " " +
                            Quoted(Pki(cert)) + " 2>/dev/null",
                        &status);
  return status == 0 ? out : "";
}

std::string OpensslDecryptFile(const std::string& path) {
  int status = -1;
  std::string out = Run("openssl smime -decrypt -binary -inform PEM -in " + Quoted(path) +
                            " -recip " + Quoted(Pki("other-rsa.pem")) + " -inkey " +
                            Quoted(Pki("other-rsa.key")) + " 2>/dev/null",
                        &status);
  return status == 0 ? out : "<failed>";
}

}  // namespace tolmix::envelopetest
