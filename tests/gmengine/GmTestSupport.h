// Support for the gmEngine tests: a fresh system directory (GM_SKF.ini
// naming the soft SKF library's test build) and token per test, SM2
// identities provisioned into it, the engine loaded through OpenSSL's
// dynamic engine exactly as the system loads it, and the call record.
#pragma once

#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <openssl/engine.h>
#include <openssl/x509.h>

#include "engine/OsslPtr.h"

namespace gmtest {

// "测试用户" in GBK: the display name of the SM2 container's certificates.
inline constexpr char kUserName[] = "\xB2\xE2\xCA\xD4\xD3\xC3\xBB\xA7";
inline constexpr char kPin[] = "12345678";

// An SM2 key with its self-signed (SM2 with SM3) certificate.
struct Identity {
  std::string key_pem;
  tolmix::ossl::Ptr<X509> cert;
};
const Identity& SignIdentity();   // CN 测试用户, signature pair
const Identity& EncIdentity();    // CN 测试用户, encryption pair
const Identity& OtherIdentity();  // CN Other, signature pair of container "A-other"

class GmEngineTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Loads gmEngine.so: ENGINE_load_dynamic, ENGINE_by_id("dynamic"),
  // LIST_ADD 1, SO_PATH, LOAD, ENGINE_init, then ENGINE_by_id("gmEngine").
  void LoadEngine();
  // Drops every reference LoadEngine took and takes the engine off the
  // list; the module is unloaded then.
  void ReleaseEngine();
  // Slot 2 := PIN (kept alive by the fixture), then ENGINE_load_private_key.
  tolmix::ossl::Ptr<EVP_PKEY> LoadKey(const char* name, const char* pin = kPin);

  // Lines of the call record that start with CALL (e.g. "SKF_ECCSignData ").
  int CountCalls(const std::string& call) const;
  void ClearCalls() const;

  std::string dir_;
  std::string pin_;
  ENGINE* dynamic_ = nullptr;  // structural + functional reference
  ENGINE* engine_ = nullptr;   // ENGINE_by_id("gmEngine")
};

// Text of every entry on the error queue (which is emptied).
std::string DrainErrors();

}  // namespace gmtest
