// Test bed of the capi engine: a soft store in a temporary folder with one
// provider holding a signature and an exchange key container, and the
// engine loaded through OpenSSL's dynamic engine exactly as the system
// loads and sets it up.
#pragma once

#include <string>

#include <openssl/engine.h>

#include "engine/OsslPtr.h"

namespace tolmix::capitest {

constexpr char kEngineModule[] = TOLMIX_MODULE_DIR "/capi.so";
// Provider "软件密钥" (GBK) and container "签名" (GBK) check that names
// travel as bytes; the exchange container has an ASCII name.
constexpr char kProvider[] = "\xC8\xED\xBC\xFE\xC3\xDC\xD4\xBF";
constexpr char kSignContainer[] = "\xC7\xA9\xC3\xFB";
constexpr char kExchangeContainer[] = "exchange-1";
constexpr char kOtherProvider[] = "Tolmix Soft RSA";

// One store for the process: kProvider holds kSignContainer (certificate
// with digitalSignature + nonRepudiation, CN "Capi Signer") and
// kExchangeContainer (keyEncipherment + dataEncipherment, CN "Capi
// Exchange"); kOtherProvider is installed after it and holds nothing.  Sets
// TOLMIX_STORE_DIR.  Certificates and keys are made with the OpenSSL API.
struct StoreBed {
  std::string root;
  ossl::Ptr<X509> sign_cert;
  ossl::Ptr<X509> exchange_cert;

  bool Create();
  void Remove();
};

// The engine as the system loads it: ENGINE_load_dynamic, ENGINE_by_id
// "dynamic", "LIST_ADD" "1", "SO_PATH", "LOAD", ENGINE_init; then
// ENGINE_by_id "capi", ENGINE_init, and "csp_name" = PROVIDER (not sent
// when PROVIDER is null),
// "lookup_method" = "3", "key_type" = "1" (flag 0, results not checked).
// Release finishes and frees the capi references, then finishes, removes
// and frees the dynamic one.
class LoadedEngine {
 public:
  LoadedEngine() = default;
  ~LoadedEngine() { Release(); }
  LoadedEngine(const LoadedEngine&) = delete;
  LoadedEngine& operator=(const LoadedEngine&) = delete;

  bool Load(const char* provider = kProvider);
  void Release();
  ENGINE* get() const { return engine_; }

 private:
  ENGINE* dynamic_ = nullptr;  // reference from ENGINE_by_id("dynamic"), initialised
  ENGINE* engine_ = nullptr;   // reference from ENGINE_by_id("capi"), initialised
};

// Every entry of the error queue as "reason=N data" lines; empties it.
std::string DrainErrors();

}  // namespace tolmix::capitest
