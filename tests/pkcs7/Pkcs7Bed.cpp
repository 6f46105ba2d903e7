#include "tests/pkcs7/Pkcs7Bed.h"

#include <stdlib.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>

#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/pem.h>

#include "platform/CodePage.h"
#include "tests/engine/CMSEngineTestPeer.h"

namespace tolmix::pkcs7test {
namespace fs = std::filesystem;
namespace {

std::string g_root;     // mkdtemp folder, removed at the end
std::string g_sandbox;  // g_root/sandbox
int g_scratch = 0;

std::string Quoted(const std::string& text) {
  std::string out = "'";
  for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

// Runs COMMAND through sh; its standard output, and its exit status in *STATUS.
std::string Run(const std::string& command, int* status) {
  std::string out;
  FILE* p = popen(command.c_str(), "r");
  if (!p) {
    *status = -1;
    return out;
  }
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  int s = pclose(p);
  *status = WIFEXITED(s) ? WEXITSTATUS(s) : -1;
  return out;
}

std::string Utf8(const char* gbk) {
  std::string utf8;
  return platform::GbkToUtf8(gbk ? gbk : "", &utf8) ? utf8 : "?";
}

// One sandbox for the program, its variables exported as a user would.
class SandboxEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    char tmpl[] = "/tmp/tolmix-pkcs7-test-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    g_root = tmpl;
    g_sandbox = g_root + "/sandbox";
    int status = -1;
    std::string out = Run(std::string(TOLMIX_HOST " sandbox ") + Quoted(g_sandbox) +
                              " 2>/dev/null", &status);
    ASSERT_EQ(status, 0) << out;
    std::istringstream lines(out);
    std::string line;
    while (std::getline(lines, line)) {
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

}  // namespace

std::string Pki(const std::string& file) { return g_sandbox + "/pki/" + file; }
std::string ScratchPath(const std::string& name) {
  return g_root + "/" + std::to_string(++g_scratch) + "-" + name;
}

std::string PinOf(const Route& route) {
  const char* pin = getenv(std::string(route.iface) == "SKF" ? "TOLMIX_SANDBOX_SKF_PIN"
                                                             : "TOLMIX_SANDBOX_P11_PIN");
  return pin ? pin : "";
}

SkfKeyHidden::SkfKeyHidden() {
  const char* dir = getenv("TOLMIX_SKF_TOKEN_DIR");
  saved_ = dir ? dir : "";
  setenv("TOLMIX_SKF_TOKEN_DIR", (g_root + "/no-skf").c_str(), 1);
}

SkfKeyHidden::~SkfKeyHidden() { setenv("TOLMIX_SKF_TOKEN_DIR", saved_.c_str(), 1); }

SignResult Sign(const Route& route, const std::string& content, int attached) {
  SignResult r;
  std::optional<SkfKeyHidden> hidden;
  if (std::string(route.iface) == "P11") hidden.emplace();
  {
    CMSEngine engine;
    engine.SetInterface(route.iface);
    engine.SetPassword(PinOf(route).c_str());
    r.result = engine.SignData(content.data(), static_cast<int>(content.size()), attached, &r.pem);
    char error[CMSEngine::kErrorTextSize];
    engine.GetErrorText(error);
    r.error = Utf8(error);
    r.iface = CMSEngineTestPeer(engine).InterfaceName();
    r.cert_text = CMSEngineTestPeer(engine).CertText();
  }
  return r;
}

VerifyResult Verify(const char* iface, const std::string& pem) {
  VerifyResult r;
  CMSEngine engine;
  engine.SetInterface(iface);
  ERR_clear_error();
  r.result = engine.VerifySignedData(0, 0, pem.data(), static_cast<int>(pem.size()));
  r.last_error = ERR_peek_last_error();
  if (const char* c = engine.GetVerifiedContent()) {
    r.has_content = true;
    r.content = c;
  }
  char error[CMSEngine::kErrorTextSize];
  engine.GetErrorText(error);
  r.error = Utf8(error);
  r.iface = CMSEngineTestPeer(engine).InterfaceName();
  return r;
}

std::string WriteFile(const std::string& path, const std::string& data) {
  std::ofstream(path, std::ios::binary) << data;
  return path;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

std::string OpensslVerify(const std::string& pem, const std::string* detached) {
  std::string command = "openssl smime -verify -noverify -binary -inform PEM -in " +
                        Quoted(WriteFile(ScratchPath("in.pem"), pem));
  if (detached) command += " -content " + Quoted(WriteFile(ScratchPath("content"), *detached));
  int status = -1;
  std::string out = Run(command + " 2>/dev/null", &status);
  return status == 0 ? out : "<failed>";
}

std::string OpensslSign(const std::string& content, bool nodetach) {
  std::string command = "openssl smime -sign -binary -outform PEM -signer " +
                        Quoted(Pki("other-rsa.pem")) + " -inkey " + Quoted(Pki("other-rsa.key")) +
                        (nodetach ? " -nodetach" : "") + " -in " +
                        Quoted(WriteFile(ScratchPath("content"), content));
  int status = -1;
  std::string out = Run(command + " 2>/dev/null", &status);
  return status == 0 ? out : "";
}

ossl::Ptr<PKCS7> ParsePem(const std::string& pem) {
  ossl::Ptr<BIO> in(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  return ossl::Ptr<PKCS7>(PEM_read_bio_PKCS7(in.get(), nullptr, nullptr, nullptr));
}

std::string ToPem(PKCS7* p7) {
  ossl::Ptr<BIO> out(BIO_new(BIO_s_mem()));
  if (!PEM_write_bio_PKCS7(out.get(), p7)) return "";
  char* p = nullptr;
  long n = BIO_get_mem_data(out.get(), &p);
  return std::string(p, static_cast<size_t>(n));
}

}  // namespace tolmix::pkcs7test
