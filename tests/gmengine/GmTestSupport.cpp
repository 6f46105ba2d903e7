#include "tests/gmengine/GmTestSupport.h"

#include <dlfcn.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include <openssl/err.h>
#include <openssl/pem.h>

#include "engine/EngineSlots.h"
#include "skf/skfapi.h"

namespace gmtest {
namespace {

using tolmix::ossl::Ptr;

std::string PemOf(EVP_PKEY* key) {
  Ptr<BIO> bio(BIO_new(BIO_s_mem()));
  PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr);
  char* p = nullptr;
  long n = BIO_get_mem_data(bio.get(), &p);
  return std::string(p, static_cast<size_t>(n));
}

Identity MakeIdentity(const char* utf8_cn, long serial) {
  Ptr<EVP_PKEY> key(EVP_PKEY_Q_keygen(nullptr, nullptr, "SM2"));
  Ptr<X509> x(X509_new());
  X509_set_version(x.get(), 2);
  ASN1_INTEGER_set(X509_get_serialNumber(x.get()), serial);
  // A name of its own: OpenSSL 4.0's X509_get_subject_name hands out a
  // const name, which is no longer edited in place.
  Ptr<X509_NAME> owned_name(X509_NAME_new());
  X509_NAME* name = owned_name.get();
  X509_NAME_add_entry_by_txt(name, "O", MBSTRING_UTF8,
                             reinterpret_cast<const unsigned char*>("Test CA"), -1, -1, 0);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                             reinterpret_cast<const unsigned char*>(utf8_cn), -1, -1, 0);
  X509_set_subject_name(x.get(), name);
  X509_set_issuer_name(x.get(), name);
  X509_gmtime_adj(X509_getm_notBefore(x.get()), 0);
  X509_gmtime_adj(X509_getm_notAfter(x.get()), 86400);
  X509_set_pubkey(x.get(), key.get());
  EXPECT_GT(X509_sign(x.get(), key.get(), EVP_sm3()), 0);
  return Identity{PemOf(key.get()), std::move(x)};
}

std::string PemOf(X509* cert) {
  Ptr<BIO> bio(BIO_new(BIO_s_mem()));
  PEM_write_bio_X509(bio.get(), cert);
  char* p = nullptr;
  long n = BIO_get_mem_data(bio.get(), &p);
  return std::string(p, static_cast<size_t>(n));
}

// The slots must be reserved before the dynamic engine takes its index.
class SlotsEnvironment : public ::testing::Environment {
 public:
  void SetUp() override { ASSERT_TRUE(tolmix::EnsureEngineSlots()); }
};
const auto* const kSlots = ::testing::AddGlobalTestEnvironment(new SlotsEnvironment);

// Provisions the token through the soft library's own extensions.
void Provision() {
  void* lib = dlopen(SKFAPI_MOCK_SO, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(lib, nullptr) << dlerror();
  auto init = reinterpret_cast<decltype(&SKFX_InitApplication)>(dlsym(lib, "SKFX_InitApplication"));
  auto import = reinterpret_cast<decltype(&SKFX_ImportKeyPair)>(dlsym(lib, "SKFX_ImportKeyPair"));
  ASSERT_TRUE(init && import);
  char dev[] = "KEY1", app[] = "APP1", user[] = "12345678", so[] = "87654321";
  ASSERT_EQ(init(dev, app, user, so, 5), SAR_OK);
  struct Pair {
    const char* container;
    BOOL sign;
    const Identity& id;
  } pairs[] = {{"A-other", TRUE, OtherIdentity()},
               {"B-user", TRUE, SignIdentity()},
               {"B-user", FALSE, EncIdentity()}};
  for (const Pair& p : pairs) {
    std::string key = p.id.key_pem, cert = PemOf(p.id.cert.get()), container = p.container;
    ASSERT_EQ(import(dev, app, container.data(), p.sign, reinterpret_cast<BYTE*>(key.data()),
                     key.size(), reinterpret_cast<BYTE*>(cert.data()), cert.size()),
              SAR_OK);
  }
  dlclose(lib);
}

}  // namespace

const Identity& SignIdentity() {
  static Identity id = MakeIdentity("\xE6\xB5\x8B\xE8\xAF\x95\xE7\x94\xA8\xE6\x88\xB7", 1);
  return id;
}
const Identity& EncIdentity() {
  static Identity id = MakeIdentity("\xE6\xB5\x8B\xE8\xAF\x95\xE7\x94\xA8\xE6\x88\xB7", 2);
  return id;
}
const Identity& OtherIdentity() {
  static Identity id = MakeIdentity("Other", 3);
  return id;
}

void GmEngineTest::SetUp() {
  char tmpl[] = "/tmp/gmengine-test-XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  dir_ = tmpl;
  std::filesystem::create_symlink(SKFAPI_MOCK_SO, dir_ + "/SKFAPI.so");
  std::ofstream(dir_ + "/GM_SKF.ini") << "[DeviceCount]\nDeviceCount=1\n[Device_1]\nDLLName=SKFAPI.so\n";
  setenv("TOLMIX_SYSTEM_DIR", dir_.c_str(), 1);
  setenv("TOLMIX_SKF_TOKEN_DIR", (dir_ + "/token").c_str(), 1);
  unsetenv("SKFAPI_MOCK_FAIL");
  Provision();
  setenv("SKFAPI_MOCK_LOG", (dir_ + "/calls.log").c_str(), 1);
  ERR_clear_error();
}

void GmEngineTest::TearDown() {
  ReleaseEngine();
  // Nothing of the engine is left: no engine on the list, no digest.
  ERR_set_mark();
  ENGINE* left = ENGINE_by_id("gmEngine");
  ERR_pop_to_mark();
  EXPECT_EQ(left, nullptr);
  ENGINE_free(left);
  ENGINE* digest = ENGINE_get_digest_engine(NID_sha1);
  EXPECT_EQ(digest, nullptr);
  ENGINE_finish(digest);
  unsetenv("SKFAPI_MOCK_LOG");
  std::error_code ec;
  std::filesystem::remove_all(dir_, ec);
}

void GmEngineTest::LoadEngine() {
  ENGINE_load_dynamic();
  dynamic_ = ENGINE_by_id("dynamic");
  ASSERT_NE(dynamic_, nullptr);
  ENGINE_ctrl_cmd_string(dynamic_, "LIST_ADD", "1", 0);
  ASSERT_TRUE(ENGINE_ctrl_cmd_string(dynamic_, "SO_PATH", GMENGINE_SO, 0));
  ASSERT_TRUE(ENGINE_ctrl_cmd_string(dynamic_, "LOAD", nullptr, 0)) << DrainErrors();
  ASSERT_TRUE(ENGINE_init(dynamic_));
  engine_ = ENGINE_by_id("gmEngine");
  ASSERT_EQ(engine_, dynamic_);
}

void GmEngineTest::ReleaseEngine() {
  if (engine_) ENGINE_free(engine_);
  if (dynamic_) {
    ENGINE_finish(dynamic_);  // functional reference of ENGINE_init
    ENGINE_remove(dynamic_);  // the list's reference
    ENGINE_free(dynamic_);    // the lookup's: the engine goes, the module unloads
  }
  engine_ = dynamic_ = nullptr;
}

tolmix::ossl::Ptr<EVP_PKEY> GmEngineTest::LoadKey(const char* name, const char* pin) {
  pin_ = pin;
  ENGINE_set_ex_data(engine_, tolmix::kEngineSlotPin, pin_.data());
  return tolmix::ossl::Ptr<EVP_PKEY>(ENGINE_load_private_key(engine_, name, nullptr, nullptr));
}

int GmEngineTest::CountCalls(const std::string& call) const {
  std::ifstream in(dir_ + "/calls.log");
  int n = 0;
  for (std::string line; std::getline(in, line);) {
    if (line.rfind(call + " ", 0) == 0) ++n;
  }
  return n;
}

void GmEngineTest::ClearCalls() const { std::ofstream(dir_ + "/calls.log", std::ios::trunc); }

std::string DrainErrors() {
  std::ostringstream out;
  const char* data = nullptr;
  int flags = 0;
  while (unsigned long e = ERR_get_error_all(nullptr, nullptr, nullptr, &data, &flags)) {
    const char* lib = ERR_lib_error_string(e);
    out << ERR_GET_REASON(e) << ":" << ((flags & ERR_TXT_STRING) && data ? data : "") << " ["
        << (lib ? lib : "?") << "]\n";
  }
  return out.str();
}

}  // namespace gmtest
