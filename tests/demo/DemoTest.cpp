// `tolmix demo DIR` end to end: the page script examples/demo.js signs,
// verifies, envelopes and queries certificates under `tolmix run` on the
// P11, SKF and CSP routes of a fresh sandbox; and the script reports the
// checks that fail.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "tests/e2e_support/E2eBed.h"

namespace tolmix::e2e {
namespace {

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// One `tolmix demo` for the whole program, in a folder removed at exit.
struct DemoRun {
  std::string root, dir;
  Outcome outcome;
  DemoRun() {
    char tmpl[] = "/tmp/tolmix-demo-test-XXXXXX";
    if (!mkdtemp(tmpl)) return;
    root = tmpl;
    dir = root + "/sandbox";
    outcome = Shell(Quoted(TOLMIX_HOST) + " demo " + Quoted(dir), root + "/demo.err");
  }
  ~DemoRun() {
    std::error_code ec;
    if (!root.empty()) std::filesystem::remove_all(root, ec);
  }
};

DemoRun& Demo() {
  static DemoRun run;
  return run;
}

TEST(Demo, EveryRoutePassesAndTheSandboxIsKept) {
  const DemoRun& d = Demo();
  ASSERT_EQ(d.outcome.status, 0) << d.outcome.out << d.outcome.err;
  const std::vector<std::string> lines = Lines(d.outcome.out);
  ASSERT_FALSE(lines.empty());
  int total = -1, failed = -1;
  ASSERT_EQ(sscanf(lines.back().c_str(), "%d passed, %d failed", &total, &failed), 2) << lines.back();
  EXPECT_EQ(failed, 0);

  // Each route ran to its closing line with no failure; together they make the total.
  int sum = 0;
  for (const char* route : {"P11", "SKF", "CSP"}) {
    int passed = -1, routeFailed = -1;
    for (const std::string& line : lines) {
      if (line.rfind(std::string(route) + ": ", 0) == 0) {
        sscanf(line.c_str() + 5, "%d passed, %d failed", &passed, &routeFailed);
      }
    }
    EXPECT_GT(passed, 50) << route;
    EXPECT_EQ(routeFailed, 0) << route;
    sum += passed;
  }
  EXPECT_EQ(sum, total);
  for (const std::string& line : lines) {
    EXPECT_EQ(line.find(" FAIL "), std::string::npos) << line;
    EXPECT_NE(line.rfind("SKF_", 0), 0u) << "the SKF layer's console lines are left out";
  }

  // The script run is the one in examples/; the SKF key is plugged in again.
  EXPECT_EQ(ReadFile(d.dir + "/demo.js"), ReadFile(TOLMIX_DEMO_JS));
  const std::string conf = ReadFile(d.dir + "/skf/TolmixSoftKey/device.conf");
  EXPECT_NE(conf.find("present = 1\n"), std::string::npos) << conf;
  EXPECT_EQ(conf.find("present = 0"), std::string::npos) << conf;
}

TEST(Demo, TheScriptReportsFailedChecksAndQuitsWithStatusOne) {
  // CSP with a chooser that cancels: no key can be used.
  const DemoRun& d = Demo();
  ASSERT_EQ(d.outcome.status, 0) << d.outcome.err;
  const std::string command = ". " + Quoted(d.dir + "/env.sh") + " && TOLMIX_CHOOSER=cancel " +
                              Quoted(TOLMIX_HOST) + " run " + Quoted(d.dir + "/demo.js") +
                              " route=CSP pin=";
  Outcome r = Shell(command, d.root + "/cancel.err");
  EXPECT_EQ(r.status, 1) << r.out << r.err;
  const std::vector<std::string> lines = Lines(WithoutConsoleLines(r.out));
  ASSERT_FALSE(lines.empty());
  int passed = -1, failed = -1;
  ASSERT_EQ(sscanf(lines.back().c_str(), "CSP: %d passed, %d failed", &passed, &failed), 2)
      << lines.back();
  EXPECT_GT(passed, 0) << "the checks that need no key still pass";
  EXPECT_GE(failed, 5);
  bool setPasswdFailed = false;
  for (const std::string& line : lines) {
    setPasswdFailed = setPasswdFailed || (line.rfind("CSP  SetPasswd ", 0) == 0 &&
                                          line.find(" FAIL ") != std::string::npos);
  }
  EXPECT_TRUE(setPasswdFailed) << r.out;
  EXPECT_NE(r.out.find("last error: 使用CSP接口初使化证书失败."), std::string::npos) << r.out;
}

}  // namespace
}  // namespace tolmix::e2e
