#include "tests/sandbox/SandboxBed.h"

#include <openssl/pem.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace tolmix::sandboxtest {
namespace fs = std::filesystem;

std::string SandboxTest::dir_;
Outcome SandboxTest::first_, SandboxTest::second_;
std::map<std::string, std::string> SandboxTest::firstPems_;

Outcome RunCommand(const std::string& command) {
  Outcome run;
  auto start = std::chrono::steady_clock::now();
  FILE* p = popen(command.c_str(), "r");
  if (!p) return run;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) run.out.append(buf, n);
  int status = pclose(p);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return run;
}

std::string Quoted(const std::string& text) {
  std::string out = "'";
  for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

std::vector<std::pair<std::string, std::string>> ParseVariables(const std::string& out) {
  std::vector<std::pair<std::string, std::string>> vars;
  std::istringstream in(out);
  std::string line;
  while (std::getline(in, line)) {
    size_t eq = line.find('=');
    vars.emplace_back(line.substr(0, eq), eq == std::string::npos ? "" : line.substr(eq + 1));
  }
  return vars;
}

X509* ReadCert(const std::string& path) {
  FILE* f = fopen(path.c_str(), "r");
  if (!f) return nullptr;
  X509* x = PEM_read_X509(f, nullptr, nullptr, nullptr);
  fclose(f);
  return x;
}

void SandboxTest::SetUpTestSuite() {
  char tmpl[] = "/tmp/tolmix-sandbox-test-XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  // A path with a blank, to catch unquoted uses; the folder does not exist yet.
  dir_ = std::string(tmpl) + "/my sandbox";
  std::string command = std::string(TOLMIX_HOST " sandbox ") + Quoted(dir_);
  first_ = RunCommand(command);
  for (const auto& e : fs::directory_iterator(dir_ + "/pki")) {
    firstPems_[e.path().filename().string()] = ReadFile(e.path().string());
  }
  second_ = RunCommand(command);
  // Later checks run with the sandbox's variables, as a user would.
  for (const auto& [name, value] : ParseVariables(second_.out)) {
    setenv(name.c_str(), value.c_str(), 1);
  }
}

void SandboxTest::TearDownTestSuite() {
  std::error_code ec;
  if (!dir_.empty()) fs::remove_all(fs::path(dir_).parent_path(), ec);
}

std::string SandboxTest::Var(const std::string& name) const {
  for (const auto& [n, v] : ParseVariables(second_.out)) {
    if (n == name) return v;
  }
  return "";
}

}  // namespace tolmix::sandboxtest
