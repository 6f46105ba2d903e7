// One sandbox for the whole test program: `tolmix sandbox` runs twice into
// the same temporary folder (fresh, then again), and the tests check the
// state after both runs plus what changed between them.
#pragma once

#include <openssl/x509.h>

#include <chrono>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace tolmix::sandboxtest {

struct Outcome {
  int status = -1;
  std::string out;  // standard output
  double seconds = 0;
};

// Runs COMMAND through sh with standard output captured.
Outcome RunCommand(const std::string& command);

// Single-quoted for sh.
std::string Quoted(const std::string& text);

std::string ReadFile(const std::string& path);

// NAME=VALUE lines in order.
std::vector<std::pair<std::string, std::string>> ParseVariables(const std::string& out);

// The certificate in the PEM file at PATH, or null.
X509* ReadCert(const std::string& path);

class SandboxTest : public ::testing::Test {
 public:
  static void SetUpTestSuite();
  static void TearDownTestSuite();

 protected:
  static std::string dir_;
  static Outcome first_, second_;
  // pki/*.pem after the first run, by file name.
  static std::map<std::string, std::string> firstPems_;

  std::string Var(const std::string& name) const;
  std::string Pki(const std::string& file) const { return dir_ + "/pki/" + file; }
};

}  // namespace tolmix::sandboxtest
