// Test bed of the pkcs11_rsa_key engine: a SoftHSM2 token provisioned by
// scripts/provision-softhsm.sh in a temporary folder, a system directory
// with P11_SKF.ini and a link to the SoftHSM module, and the engine loaded
// through OpenSSL's dynamic engine exactly as the system loads it.
#pragma once

#include <string>

#include <openssl/engine.h>

#include "engine/OsslPtr.h"

namespace tolmix::p11test {

constexpr char kPin[] = "123456";
constexpr char kSoPin[] = "87654321";
constexpr char kTokenLabel[] = "tolmix-test";
constexpr char kSoftHsmModule[] = "/usr/lib/softhsm/libsofthsm2.so";
constexpr char kEngineModule[] = TOLMIX_MODULE_DIR "/pkcs11_rsa_key.so";

// One provisioned token for the process: a signature pair (CKA_ID 01, key
// usage digitalSignature + nonRepudiation, CN "Test Signer") and an exchange
// pair (CKA_ID 02, keyEncipherment + dataEncipherment, CN "Test Exchange").
// Sets SOFTHSM2_CONF and TOLMIX_SYSTEM_DIR.  Fails the test on error.
struct TokenBed {
  std::string root;       // temporary folder, removed by Remove()
  std::string system_dir; // holds P11_SKF.ini and libsofthsm2.so
  std::string sign_cert_pem;
  std::string exchange_cert_pem;

  bool Create();
  void Remove();
  // Rewrites P11_SKF.ini with these DLLName values (Device_1, Device_2...).
  bool WriteDeviceList(std::initializer_list<const char*> names) const;
};

// The engine as the system loads it: ENGINE_load_dynamic, ENGINE_by_id
// "dynamic", "LIST_ADD" "1", "SO_PATH", "LOAD", ENGINE_init, then
// ENGINE_by_id "pkcs11_rsa_key".  The destructor frees the lookup
// reference, finishes the engine, takes it off the list and frees the
// dynamic reference, which unloads the module.  Free keys before.
class LoadedEngine {
 public:
  LoadedEngine() = default;
  ~LoadedEngine() { Release(); }
  LoadedEngine(const LoadedEngine&) = delete;
  LoadedEngine& operator=(const LoadedEngine&) = delete;

  bool Load(const char* module_path = kEngineModule);
  void Release();
  ENGINE* get() const { return engine_; }

 private:
  ENGINE* dynamic_ = nullptr;  // reference from ENGINE_by_id("dynamic"), initialised
  ENGINE* engine_ = nullptr;   // reference from ENGINE_by_id("pkcs11_rsa_key")
};

ossl::Ptr<X509> ReadPemCert(const std::string& pem);

// Every entry of the error queue as "lib reason data" lines; empties it.
std::string DrainErrors();

}  // namespace tolmix::p11test
