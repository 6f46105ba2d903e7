// Four threads, each with its own control, calling SetPasswd, ClearPasswd,
// Sign, Verify and Digest at the same time: engines of several modules are
// brought up and swept off OpenSSL's process-wide engine list concurrently.
// scripts/tsan.sh runs this under ThreadSanitizer.
//
// The session is process-wide, so a thread's Sign uses whatever pair the
// last SetPasswd or ClearPasswd of any thread left: it may sign through the
// other route or fail for want of a session.  What must hold regardless:
// no crash, no data race, every Digest gives the one right value, every
// Verify of a good message succeeds, a failed Sign leaves an error text, and
// a successful Sign yields a message that verifies with the signed text.
//
// The SKF key is unplugged for the whole process: an empty or PKCS#11 PIN
// probing it would count as a wrong SKF PIN.  Routes: P11 and CSP.
#include <atomic>
#include <barrier>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/soak/InProcessBed.h"

namespace tolmix::inproc {
namespace {

constexpr int kThreads = 4;

int Rounds() {
  const char* v = getenv("TOLMIX_THREAD_ROUNDS");
  int n = v ? atoi(v) : 0;
  return n > 0 ? n : 12;
}

struct Shared {
  std::string p11Pin;
  std::string signedP11, signedCsp;  // made before the threads start
  std::string sha256, sm3;           // Digest of kText
};

constexpr char kText[] = "threads";

struct Tally {
  std::atomic<int> signedOk{0}, signFailed{0};
  std::vector<std::string> faults[kThreads];  // per thread, read after join
};

void Worker(int t, const Shared& s, Tally& tally, std::barrier<>& start) {
  CtrlPtr c(CTOLMIXCtrl::Create());
  auto fault = [&](const std::string& what) {
    if (tally.faults[t].size() < 5) tally.faults[t].push_back(what);
  };
  const bool p11 = t % 2 == 0;
  start.arrive_and_wait();
  for (int round = 0, rounds = Rounds(); round < rounds; ++round) {
    const std::string text = "thread " + std::to_string(t) + " round " + std::to_string(round);
    if (Call(*c, u"SetPasswd", {p11 ? "P11" : "CSP", p11 ? s.p11Pin : "", 1}) != "true") {
      fault("SetPasswd: " + Call(*c, u"GetLastErrorInfo", {0}));
    }
    if (Call(*c, u"Sign", {text}) == "true") {
      ++tally.signedOk;
      if (Call(*c, u"Verify", {"", Call(*c, u"SignedData")}) != "true") fault("Verify own");
      if (Call(*c, u"SignProData") != text) fault("SignProData of own message");
    } else {
      ++tally.signFailed;
      if (Call(*c, u"GetLastErrorInfo", {0}).empty()) fault("failed Sign without error text");
    }
    const std::string& good = round % 2 ? s.signedCsp : s.signedP11;
    if (Call(*c, u"Verify", {"", good}) != "true") fault("Verify good message");
    if (Call(*c, u"Digest", {kText, 5}) != "true" ||
        Call(*c, u"DigestData") != s.sha256) {
      fault("Digest SHA-256");
    }
    if (Call(*c, u"Digest", {kText, 11}) != "true" || Call(*c, u"DigestData") != s.sm3) {
      fault("Digest SM3");
    }
    if (round % 3 == 2 && Call(*c, u"ClearPasswd") != "true") fault("ClearPasswd");
  }
}

TEST(Threads, FourControlsAtOnce) {
  Bed bed(TOLMIX_HOST, Devices::kNoSkf);
  ASSERT_TRUE(bed.Ok()) << bed.Problem();
  Shared s;
  s.p11Pin = bed.Var("TOLMIX_SANDBOX_P11_PIN");
  {  // reference values, one thread
    CtrlPtr c(CTOLMIXCtrl::Create());
    ASSERT_EQ(Call(*c, u"SetPasswd", {"P11", s.p11Pin, 1}), "true");
    ASSERT_EQ(Call(*c, u"Sign", {"p11 message"}), "true");
    s.signedP11 = Call(*c, u"SignedData");
    ASSERT_EQ(Call(*c, u"SetPasswd", {"CSP", "", 1}), "true");
    ASSERT_EQ(Call(*c, u"Sign", {"csp message"}), "true");
    s.signedCsp = Call(*c, u"SignedData");
    ASSERT_EQ(Call(*c, u"ClearPasswd"), "true");
    ASSERT_EQ(Call(*c, u"Digest", {kText, 5}), "true");
    s.sha256 = Call(*c, u"DigestData");
    ASSERT_EQ(Call(*c, u"Digest", {kText, 11}), "true");
    s.sm3 = Call(*c, u"DigestData");
    ASSERT_NE(s.sha256, s.sm3);
  }

  Tally tally;
  std::barrier start(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back(Worker, t, std::cref(s), std::ref(tally), std::ref(start));
  }
  for (auto& th : threads) th.join();
  for (int t = 0; t < kThreads; ++t) {
    for (const std::string& f : tally.faults[t]) ADD_FAILURE() << "thread " << t << ": " << f;
  }
  // A Sign that follows another thread's ClearPasswd fails; the others sign.
  printf("threads: %d signed, %d refused for want of a session\n", tally.signedOk.load(),
         tally.signFailed.load());
  EXPECT_GT(tally.signedOk, 0);
}

}  // namespace
}  // namespace tolmix::inproc
