// Soak: many mixed calls of the session and message methods in one
// process, then the process must hold what it held before: resident memory
// (within a margin for the allocator), open descriptors, OpenSSL's engine
// list and the mapped engine modules and SoftHSM2.
//
// Each suite runs in its own process (CMakeLists.txt).  AllRoutes goes
// round the three routes in one process, pulling the soft SKF key out of
// its reader for the "P11" calls and putting it back for the "SKF" ones, as
// a user would; P11 and SkfAndCsp keep the key out or in for the whole run.
// TOLMIX_SOAK_CALLS sets the number of member calls of one process
// (default 300, the short form); the long form is TOLMIX_SOAK_CALLS=10000.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "tests/soak/InProcessBed.h"

namespace tolmix::inproc {
namespace {

struct Route {
  const char* iface;
  const char* pinVar;   // "" for no PIN
  const char* encCert;  // recipient of Encrypt, whose key Decrypt uses
  int16_t digestAlgo;   // 5 SHA-256, 11 SM3 (through gmEngine)
  // The SKF key must be out for "P11": the SKF probe runs first on every key
  // load, and the token's PIN would count as a wrong SKF PIN.
  bool skfPlugged;
};

constexpr Route kP11{"P11", "TOLMIX_SANDBOX_P11_PIN", "p11-exchange.pem", 5, false};
constexpr Route kSkf{"SKF", "TOLMIX_SANDBOX_SKF_PIN", "skf-sm2-enc.pem", 11, true};
constexpr Route kCsp{"CSP", "", "csp-enc.pem", 5, true};

// Member calls through Invoke in one cycle: seven methods, four property
// reads (the occasional refused Verify is not counted).
constexpr int kCallsPerCycle = 11;

long SoakCalls() {
  const char* v = getenv("TOLMIX_SOAK_CALLS");
  long n = v ? strtol(v, nullptr, 10) : 0;
  return n > 0 ? n : 300;
}

// Resident memory may grow a little while the allocator settles; a leak of
// a few hundred bytes per call shows here in the long form and in any form
// under LeakSanitizer.
constexpr long kRssMarginKiB = 6 * 1024;

class Soak : public ::testing::Test {
 protected:
  // One cycle of the member calls on ROUTE; counts failures.
  void Cycle(const Route& r, int n) {
    // The key's file is rewritten only when the route wants the other state.
    if (plugging_ && plugged_ != r.skfPlugged) {
      if (!bed_->PlugSkfKey(r.skfPlugged)) {
        Expect(false, r, "plugging the SKF key");
        return;
      }
      plugged_ = r.skfPlugged;
    }
    CtrlPtr c(CTOLMIXCtrl::Create());
    const std::string text = "soak " + std::to_string(n);
    std::string pin = *r.pinVar ? bed_->Var(r.pinVar) : "";
    Expect(Call(*c, u"SetPasswd", {r.iface, pin, 1}) == "true", r, "SetPasswd");
    Expect(Call(*c, u"Sign", {text}) == "true", r, "Sign");
    std::string signedPem = Call(*c, u"SignedData");
    Expect(Call(*c, u"Verify", {"", signedPem}) == "true", r, "Verify");
    Expect(Call(*c, u"SignProData") == text, r, "SignProData");
    Expect(Call(*c, u"Encrypt", {text, encPem_[r.iface]}) == "true", r, "Encrypt");
    Expect(Call(*c, u"Decrypt", {Call(*c, u"EncryptedData")}) == "true", r, "Decrypt");
    Expect(Call(*c, u"DecryptedData") == text, r, "DecryptedData");
    Expect(Call(*c, u"Digest", {text, r.digestAlgo}) == "true", r, "Digest");
    Expect(Call(*c, u"ClearPasswd") == "true", r, "ClearPasswd");
    // A wrong argument now and then: failure paths must not keep anything.
    if (n % 16 == 0) {
      Expect(Call(*c, u"Verify", {"", "not a message"}) == "false", r, "Verify garbage");
    }
  }

  void Expect(bool ok, const Route& r, const char* what) {
    if (ok) return;
    if (++failures_ <= 5) ADD_FAILURE() << r.iface << ": " << what << " failed";
  }

  void Run(std::initializer_list<Route> routes, Devices devices) {
    bed_ = std::make_unique<Bed>(TOLMIX_HOST, devices);
    ASSERT_TRUE(bed_->Ok()) << bed_->Problem();
    plugging_ = devices == Devices::kPlugged;
    for (const Route& r : routes) encPem_[r.iface] = bed_->Pem(r.encCert);
    // Warm-up: OpenSSL's lazily made tables, error strings and the dynamic
    // engine stay for the life of the process; they are not a leak.
    for (int i = 0; i < 2; ++i) {
      for (const Route& r : routes) Cycle(r, i);
    }
    ASSERT_EQ(failures_, 0);
    const Footprint before = TakeFootprint();
    const long calls = SoakCalls();
    auto start = std::chrono::steady_clock::now();
    long done = 0;
    for (int n = 0; done < calls; ++n) {
      for (const Route& r : routes) Cycle(r, n);
      done += static_cast<long>(routes.size()) * kCallsPerCycle;
    }
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const Footprint after = TakeFootprint();
    EXPECT_EQ(failures_, 0);
    printf("soak: %ld calls in %.1f s; RSS %ld -> %ld KiB (%+ld); fds %d -> %d; "
           "engines listed %zu -> %zu; modules mapped %zu -> %zu\n",
           done, seconds, before.rssKiB, after.rssKiB, after.rssKiB - before.rssKiB, before.fds,
           after.fds, before.engines.size(), after.engines.size(), before.modules.size(),
           after.modules.size());
#ifndef __SANITIZE_ADDRESS__  // ASan's quarantine holds freed memory; its leak check covers this
    EXPECT_LE(after.rssKiB - before.rssKiB, kRssMarginKiB);
#endif
    EXPECT_EQ(after.fds, before.fds);
    EXPECT_EQ(after.engines, before.engines);
    EXPECT_EQ(after.modules, before.modules);
    for (const std::string& m : after.modules) {
      if (!before.modules.count(m)) ADD_FAILURE() << "still mapped: " << m;
    }
  }

  std::unique_ptr<Bed> bed_;
  std::map<std::string, std::string> encPem_;
  int failures_ = 0;
  bool plugging_ = false;
  bool plugged_ = true;  // the sandbox makes the key present
};

// The SKF probe must find no key, or the PKCS#11 PIN would count against it.
TEST_F(Soak, P11) { Run({kP11}, Devices::kNoSkf); }

TEST_F(Soak, SkfAndCsp) { Run({kSkf, kCsp}, Devices::kAll); }

// All three routes, the key pulled and put back around the "P11" calls.
TEST_F(Soak, AllRoutes) { Run({kP11, kSkf, kCsp}, Devices::kPlugged); }

}  // namespace
}  // namespace tolmix::inproc
