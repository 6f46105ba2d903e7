// Engines brought up by LoadDynamicEngine are released with the engine
// object (or its ReleaseKeyAndCert): the engine list is as before, the
// module is unmapped, and a thousand calls leave memory and descriptors flat.
#include <string>

#include <gtest/gtest.h>
#include <openssl/engine.h>
#include <openssl/err.h>

#include "engine/CMSEngine.h"
#include "engine/EngineSlots.h"
#include "tests/engine_p11/Bed.h"
#include "tests/engine_p11/ProcessState.h"

namespace tolmix::p11test {
namespace {

constexpr char kModuleFile[] = "pkcs11_rsa_key.so";
// 初始化引擎库gmEngine.dll失败
constexpr char kGmInitFailed[] =
    "\xB3\xF5\xCA\xBC\xBB\xAF\xD2\xFD\xC7\xE6\xBF\xE2gmEngine.dll\xCA\xA7\xB0\xDC";
// 加载引擎库nosuch.dll失败
constexpr char kNoSuchLoadFailed[] =
    "\xBC\xD3\xD4\xD8\xD2\xFD\xC7\xE6\xBF\xE2nosuch.dll\xCA\xA7\xB0\xDC";

class EngineReleaseTest : public BedTest {
 protected:
  void SetUp() override {
    BedTest::SetUp();
    LinkModule(kEngineModule, kModuleFile);
  }
  static std::string Error(const CMSEngine& engine) {
    char text[CMSEngine::kErrorTextSize];
    engine.GetErrorText(text);
    return text;
  }

  // One call as a key-loading operation makes it: bring the engine up, look
  // it up, hand it the PIN, load the signature key, use and free both.
  static bool KeyCall() {
    CMSEngine engine;
    if (engine.LoadDynamicEngine("pkcs11_rsa_key") != 0) return false;
    ossl::Ptr<ENGINE> e(ENGINE_by_id("pkcs11_rsa_key"));
    if (!e) return false;
    static char pin[] = "123456";
    ENGINE_set_ex_data(e.get(), kEngineSlotPin, pin);
    ossl::Ptr<EVP_PKEY> key(ENGINE_load_private_key(e.get(), "2", nullptr, nullptr));
    return key != nullptr;
  }
};

TEST_F(EngineReleaseTest, DestructorLeavesListAndMappingsAsBefore) {
  auto before = ListedEngineIds();
  ASSERT_FALSE(IsMapped(kModuleFile));
  {
    CMSEngine engine;
    ASSERT_EQ(engine.LoadDynamicEngine("pkcs11_rsa_key"), 0) << Error(engine) << DrainErrors();
    EXPECT_TRUE(IsMapped(kModuleFile));
    ossl::Ptr<ENGINE> e(ENGINE_by_id("pkcs11_rsa_key"));
    ASSERT_NE(e, nullptr);
    // A second bring-up on the same object uses the same engine, and puts
    // it back on the list when it was taken off.
    ENGINE_remove(e.get());
    ASSERT_EQ(engine.LoadDynamicEngine("pkcs11_rsa_key"), 0);
    ossl::Ptr<ENGINE> again(ENGINE_by_id("pkcs11_rsa_key"));
    EXPECT_EQ(again.get(), e.get());
  }
  EXPECT_EQ(ListedEngineIds(), before);
  EXPECT_FALSE(IsMapped(kModuleFile));
}

TEST_F(EngineReleaseTest, ReleaseKeyAndCertReleasesTheCallsEngines) {
  auto before = ListedEngineIds();
  CMSEngine engine;
  ASSERT_EQ(engine.LoadDynamicEngine("pkcs11_rsa_key"), 0);
  ASSERT_TRUE(IsMapped(kModuleFile));
  engine.ReleaseKeyAndCert();
  EXPECT_EQ(ListedEngineIds(), before);
  EXPECT_FALSE(IsMapped(kModuleFile));
}

TEST_F(EngineReleaseTest, FailuresLeaveNothingBehind) {
  auto before = ListedEngineIds();
  {
    CMSEngine engine;
    EXPECT_EQ(engine.LoadDynamicEngine("nosuch"), -1);
    EXPECT_EQ(Error(engine), kNoSuchLoadFailed);

    LinkModule(kFakeEngineModule, "gmEngine.so");
    setenv("TOLMIX_FAKE_ENGINE_FAIL_INIT", "1", 1);
    EXPECT_EQ(engine.LoadDynamicEngine("gmEngine"), -1);
    EXPECT_EQ(Error(engine), kGmInitFailed);
    // Not listed, not registered, not mapped, before the object goes.
    EXPECT_EQ(ListedEngineIds(), before);
    EXPECT_FALSE(IsMapped("fake_digest_engine.so"));
    EXPECT_EQ(ENGINE_get_digest_engine(NID_sha1), nullptr);
    unsetenv("TOLMIX_FAKE_ENGINE_FAIL_INIT");

    std::string long_name(300, 'y');
    EXPECT_EQ(engine.LoadDynamicEngine(long_name.c_str()), -1);
    EXPECT_LT(Error(engine).size(), CMSEngine::kErrorTextSize);
  }
  UnlinkModule("gmEngine.so");
  EXPECT_EQ(ListedEngineIds(), before);
  ERR_clear_error();
}

// A thousand calls in one process, each loading the engine module and a key
// through it: once warmed up, resident memory and open descriptors stay
// flat, and the list and mappings end as they began.
TEST_F(EngineReleaseTest, ThousandCallsStayFlat) {
  auto before = ListedEngineIds();
  for (int i = 0; i < 50; ++i) ASSERT_TRUE(KeyCall()) << DrainErrors();
  const long rss_start = ResidentKb();
  const int fds_start = OpenFdCount();
  for (int i = 0; i < 1000; ++i) ASSERT_TRUE(KeyCall()) << "call " << i << ": " << DrainErrors();
  const long rss_growth = ResidentKb() - rss_start;
  EXPECT_LE(OpenFdCount(), fds_start + 2);
#if defined(__SANITIZE_ADDRESS__)
  // The sanitizer's quarantine holds freed memory back; its leak check at
  // exit takes the place of the resident-size bound.
  (void)rss_growth;
#else
  EXPECT_LT(rss_growth, 2048) << "resident memory grew by " << rss_growth << " KB";
#endif
  EXPECT_EQ(ListedEngineIds(), before);
  EXPECT_FALSE(IsMapped(kModuleFile));
}

}  // namespace
}  // namespace tolmix::p11test
