// CMSEngine: the fresh state, the bounded accessors, the error text, and what
// release and destruction free (leaks and double frees show under ASan).
#include "engine/CMSEngine.h"

#include <gtest/gtest.h>

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <new>
#include <string>

#include "tests/engine/CMSEngineTestPeer.h"
#include "tests/engine/EngineTestEnv.h"

namespace tolmix {
namespace {

bool AllZero(const void* p, size_t n) {
  const auto* b = static_cast<const unsigned char*>(p);
  return std::all_of(b, b + n, [](unsigned char c) { return c == 0; });
}

class CMSEngineTest : public test::LogDirTest {};

TEST_F(CMSEngineTest, FreshEngineIsZeroed) {
  // Build the engine over garbage so a field the constructor misses shows.
  alignas(CMSEngine) unsigned char storage[sizeof(CMSEngine)];
  memset(storage, 0xA5, sizeof storage);
  CMSEngine* engine = new (storage) CMSEngine;
  CMSEngineTestPeer peer(*engine);

  EXPECT_EQ(peer.Key(), nullptr);
  EXPECT_EQ(peer.Cert(), nullptr);
  EXPECT_EQ(peer.Content(), nullptr);
  EXPECT_TRUE(AllZero(peer.InterfaceName(), sizeof peer.InterfaceName()));
  EXPECT_TRUE(AllZero(peer.CertText(), sizeof peer.CertText()));
  EXPECT_TRUE(AllZero(peer.CertDer(), sizeof peer.CertDer()));
  EXPECT_EQ(peer.CertDerLen(), 0);
  EXPECT_TRUE(AllZero(peer.CertName(), sizeof peer.CertName()));
  EXPECT_EQ(peer.KeyKind(), 1);
  EXPECT_TRUE(AllZero(peer.Pin(), sizeof peer.Pin()));
  EXPECT_TRUE(AllZero(peer.Error(), sizeof peer.Error()));
  ASSERT_NE(peer.Log(), nullptr);
  EXPECT_EQ(peer.Log()->Path(), LogPath());
  EXPECT_EQ(engine->GetVerifiedContent(), nullptr);

  char error[CMSEngine::kErrorTextSize];
  memset(error, 'x', sizeof error);
  EXPECT_EQ(engine->GetErrorText(error), 0);
  EXPECT_STREQ(error, "");
  char cert[CMSEngine::kCertTextSize];
  memset(cert, 'x', sizeof cert);
  EXPECT_EQ(engine->GetCertText(cert), 0);
  EXPECT_STREQ(cert, "");

  engine->~CMSEngine();
}

TEST_F(CMSEngineTest, PinKeeps31BytesAndCutsLonger) {
  const std::string pin31(31, '7');
  const std::string pin32 = pin31 + "8";
  EXPECT_TRUE(CMSEngine::FitsPin(pin31.c_str()));
  EXPECT_FALSE(CMSEngine::FitsPin(pin32.c_str()));
  EXPECT_TRUE(CMSEngine::FitsPin(""));
  EXPECT_TRUE(CMSEngine::FitsPin(nullptr));

  CMSEngine engine;
  CMSEngineTestPeer peer(engine);
  EXPECT_EQ(engine.SetPassword(pin31.c_str()), 0);
  EXPECT_EQ(std::string(peer.Pin()), pin31);
  EXPECT_EQ(engine.SetPassword(pin32.c_str()), 0);
  EXPECT_EQ(std::string(peer.Pin()), pin31);  // cut, NUL-terminated, no overflow
  EXPECT_EQ(engine.SetPassword(""), 0);
  EXPECT_STREQ(peer.Pin(), "");
  engine.SetPassword("1234");
  EXPECT_EQ(engine.SetPassword(nullptr), 0);
  EXPECT_STREQ(peer.Pin(), "");
}

TEST_F(CMSEngineTest, InterfaceKeeps255BytesAndCutsLonger) {
  const std::string name255(255, 'P');
  const std::string name256 = name255 + "Q";
  EXPECT_TRUE(CMSEngine::FitsInterface(name255.c_str()));
  EXPECT_FALSE(CMSEngine::FitsInterface(name256.c_str()));

  CMSEngine engine;
  CMSEngineTestPeer peer(engine);
  engine.SetInterface("SKF");
  EXPECT_STREQ(peer.InterfaceName(), "SKF");
  engine.SetInterface(name256.c_str());
  EXPECT_EQ(std::string(peer.InterfaceName()), name255);
  engine.SetInterface("");
  EXPECT_STREQ(peer.InterfaceName(), "");
}

TEST_F(CMSEngineTest, ErrorTextReplacedAndBounded) {
  CMSEngine engine;
  CMSEngineTestPeer peer(engine);
  char out[CMSEngine::kErrorTextSize];

  peer.SetError("first");
  peer.FormatError("retries %d of %s", 3, "PIN");
  engine.GetErrorText(out);
  EXPECT_STREQ(out, "retries 3 of PIN");

  const std::string long_text(600, 'e');
  peer.FormatError("%s!", long_text.c_str());
  EXPECT_EQ(strlen(peer.Error()), 511u);
  peer.SetError(long_text.c_str());
  engine.GetErrorText(out);
  EXPECT_EQ(std::string(out), long_text.substr(0, 511));

  char small[4];
  EXPECT_EQ(engine.GetErrorText(small, sizeof small), 0);
  EXPECT_STREQ(small, "eee");
  EXPECT_EQ(engine.GetErrorText(nullptr, 512), -1);
  EXPECT_EQ(engine.GetCertText(nullptr, 8192), -1);
}

// ---- Release and destruction ----

ossl::Ptr<EVP_PKEY> NewKey() { return ossl::Ptr<EVP_PKEY>(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256")); }

ossl::Ptr<X509> NewCert(EVP_PKEY* key) {
  ossl::Ptr<X509> cert(X509_new());
  X509_set_version(cert.get(), 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), 1);
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), 0);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), 3600);
  X509_NAME_add_entry_by_txt(X509_get_subject_name(cert.get()), "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>("test"), -1, -1, 0);
  X509_set_issuer_name(cert.get(), X509_get_subject_name(cert.get()));
  X509_set_pubkey(cert.get(), key);
  if (!X509_sign(cert.get(), key, EVP_sha256())) return nullptr;
  return cert;
}

TEST_F(CMSEngineTest, DestroyingAnUnusedEngineFreesNothing) {
  { CMSEngine engine; }
  { CMSEngine engine; engine.ReleaseKeyAndCert(); engine.ReleaseKeyAndCert(); }
  // Nothing was brought up, so nothing may have been loaded or listed.
  EXPECT_EQ(CMSEngineTestPeer::FindListedEngine("pkcs11_rsa_key"), nullptr);
}

TEST_F(CMSEngineTest, ReleaseKeyAndCertFreesBoth) {
  CMSEngine engine;
  CMSEngineTestPeer peer(engine);
  peer.Key() = NewKey();
  ASSERT_NE(peer.Key(), nullptr);
  peer.Cert() = NewCert(peer.Key().get());
  ASSERT_NE(peer.Cert(), nullptr);
  engine.ReleaseKeyAndCert();
  EXPECT_EQ(peer.Key(), nullptr);
  EXPECT_EQ(peer.Cert(), nullptr);

  // Loaded again and left to the destructor, with verified content.
  peer.Key() = NewKey();
  peer.Cert() = NewCert(peer.Key().get());
  peer.Content().reset(static_cast<char*>(OPENSSL_zalloc(16)));
  EXPECT_EQ(engine.GetVerifiedContent(), peer.Content().get());
}

// A stand-in for a module engine, counting its finish and its destruction.
int g_finished = 0;
int g_destroyed = 0;
int CountInit(ENGINE*) { return 1; }
int CountFinish(ENGINE*) { return ++g_finished, 1; }
int CountDestroy(ENGINE*) { return ++g_destroyed, 1; }

// Lists an engine under ID, as LoadDynamicEngine leaves it: the list's
// reference, plus one ENGINE_init reference when INITIALISED.
void ListEngine(const char* id, bool initialised) {
  ossl::Ptr<ENGINE> e(ENGINE_new());
  ASSERT_TRUE(e && ENGINE_set_id(e.get(), id) && ENGINE_set_name(e.get(), id));
  ENGINE_set_init_function(e.get(), CountInit);
  ENGINE_set_finish_function(e.get(), CountFinish);
  ENGINE_set_destroy_function(e.get(), CountDestroy);
  ASSERT_TRUE(ENGINE_add(e.get()));
  if (initialised) {
    ASSERT_TRUE(ENGINE_init(e.get()));
  }
}

class EngineCleanupTest : public CMSEngineTest {
 protected:
  void SetUp() override {
    CMSEngineTest::SetUp();
    g_finished = g_destroyed = 0;
  }
};

// An engine initialised by someone else (not through this object's
// LoadDynamicEngine) is taken off the list, but its init reference belongs
// to whoever took it: the destructor never finishes it.
TEST_F(EngineCleanupTest, DestructorUnlistsForeignPkcs11EngineWithoutFinishingIt) {
  ossl::Ptr<ENGINE> held;
  {
    CMSEngine engine;
    ListEngine("pkcs11_rsa_key", true);
    held = CMSEngineTestPeer::FindListedEngine("pkcs11_rsa_key");
    ASSERT_NE(held, nullptr);
    ERR_put_error(ERR_LIB_ENGINE, 0, ENGINE_R_NO_SUCH_ENGINE, __FILE__, __LINE__);
  }
  EXPECT_EQ(CMSEngineTestPeer::FindListedEngine("pkcs11_rsa_key"), nullptr);
  EXPECT_EQ(g_finished, 0);
  EXPECT_EQ(ERR_peek_error(), 0u);  // the call's errors do not reach the next one
  ENGINE_finish(held.get());
  EXPECT_EQ(g_finished, 1);
  held.reset();
  EXPECT_EQ(g_destroyed, 1);
}

TEST_F(EngineCleanupTest, ReleaseTakesModuleEnginesOffTheListOnly) {
  CMSEngine engine;
  ListEngine("gmEngine", false);
  ListEngine("otherEngine", false);
  engine.ReleaseKeyAndCert();
  EXPECT_EQ(CMSEngineTestPeer::FindListedEngine("gmEngine"), nullptr);
  EXPECT_EQ(g_destroyed, 1);  // the list held the last reference

  ossl::Ptr<ENGINE> other = CMSEngineTestPeer::FindListedEngine("otherEngine");
  ASSERT_NE(other, nullptr);  // not one of the system's modules: left alone
  ENGINE_remove(other.get());
}

TEST_F(EngineCleanupTest, EngineStillReferencedSurvivesOffTheList) {
  ossl::Ptr<ENGINE> held;
  {
    CMSEngine engine;
    ListEngine("capi", false);
    held = CMSEngineTestPeer::FindListedEngine("capi");
    ASSERT_NE(held, nullptr);
  }
  EXPECT_EQ(CMSEngineTestPeer::FindListedEngine("capi"), nullptr);
  EXPECT_EQ(g_destroyed, 0);
  EXPECT_STREQ(ENGINE_get_id(held.get()), "capi");
  held.reset();
  EXPECT_EQ(g_destroyed, 1);
}

}  // namespace
}  // namespace tolmix
