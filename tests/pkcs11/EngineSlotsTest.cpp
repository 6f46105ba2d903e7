// The fixed application-data slots (2, 6, 8, 9) against the dynamic
// engine's own context: with the slots reserved, a module loaded through the
// dynamic engine takes every slot and cleans up; without the reservation, an
// index allocated before the dynamic engine's puts its context on slot 2.
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>
#include <openssl/engine.h>

#include "engine/EngineSlots.h"
#include "tests/pkcs11/TestSupport.h"

namespace tolmix::p11test {
namespace {

// Loads the module, writes the four slots as the system does, asks for a
// certificate read (no token needed to fail cleanly) and cleans up.
void LoadSetSlotsAndCleanUp() {
  static char pin[32] = "123456";
  static const char kOne[] = "1";
  static const char kReadCert[] = "READCERT";
  LoadedEngine engine;
  ASSERT_TRUE(engine.Load());
  ENGINE_set_ex_data(engine.get(), kEngineSlotPin, pin);
  ENGINE_set_ex_data(engine.get(), kEngineSlotEnvelopeOpen, const_cast<char*>(kOne));
  ENGINE_set_ex_data(engine.get(), kEngineSlotDecrypt, const_cast<char*>(kOne));
  ENGINE_set_ex_data(engine.get(), kEngineSlotReadCert, const_cast<char*>(kReadCert));
  EXPECT_EQ(ENGINE_get_ex_data(engine.get(), kEngineSlotPin), pin);
  X509* cert = nullptr;
  EVP_PKEY* key = nullptr;
  int kind = 2;
  // No P11_SKF.ini here: the engine answers "no module" and nothing leaks.
  const char* saved = getenv("TOLMIX_SYSTEM_DIR");
  std::string saved_dir = saved ? saved : "";
  setenv("TOLMIX_SYSTEM_DIR", "/nonexistent-tolmix-system-dir", 1);
  EXPECT_EQ(ENGINE_load_ssl_client_cert(engine.get(), nullptr, nullptr, &cert, &key, nullptr,
                                        nullptr, &kind),
            0);
  if (saved) {
    setenv("TOLMIX_SYSTEM_DIR", saved_dir.c_str(), 1);
  } else {
    unsetenv("TOLMIX_SYSTEM_DIR");
  }
  EXPECT_EQ(cert, nullptr);
  EXPECT_EQ(key, nullptr);
  ERR_clear_error();
  engine.Release();
  EXPECT_EQ(ENGINE_by_id("pkcs11_rsa_key"), nullptr);
  ERR_clear_error();
}

TEST(EngineSlotsTest, ReservedSlotsSurviveLoadAndCleanUp) {
  ASSERT_TRUE(EnsureEngineSlots());
  EXPECT_TRUE(EnsureEngineSlots());  // once per process, same answer
  // Every fixed slot is now below the next free index.
  EXPECT_GT(ENGINE_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr), kEngineSlotLast);
  LoadSetSlotsAndCleanUp();
  LoadSetSlotsAndCleanUp();  // a second load in the same process
}

// Shows why the reservation exists: one ENGINE index allocated before the
// dynamic engine's moves the dynamic engine's context to index 2, and the
// PIN written there is handed to its free function at clean-up.  Runs in a
// fresh process so that nothing was reserved.
TEST(EngineSlotsDeathTest, UnreservedPinSlotCollidesWithDynamicEngine) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        ENGINE_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
        LoadedEngine engine;
        if (!engine.Load()) _exit(0);  // would not die: the test fails
        static char pin[32] = "123456";
        ENGINE_set_ex_data(engine.get(), kEngineSlotPin, pin);
        engine.Release();
        _exit(0);
      },
      "");
}

}  // namespace
}  // namespace tolmix::p11test
