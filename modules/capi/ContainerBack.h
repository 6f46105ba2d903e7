// The logic of the capi engine: its settings (provider, lookup method, key
// type) and the loading of a key container's key from the soft providers
// (platform/SoftProvider.h).  The ENGINE glue (EngineFront.cpp) parses the
// control commands and hands plain values to this class.
//
// Settings, as the control commands set them:
//   provider       "csp_name"; unset = the first soft provider in enumeration
//                  order (the stand-in for the user's default provider);
//   lookup method  "lookup_method"; only 3 (by key container name) is
//                  supported and it is the default; 1 (subject) and
//                  2 (friendly name) are refused;
//   key type       "key_type"; 1 = exchange, 2 = signature.  A soft
//                  container holds one key, so both name it: the value is
//                  checked and recorded only.
//
// Failures return false / null with an entry on OpenSSL's error queue
// (CapiErrors.h).  Thread-safe: one mutex guards the settings.
#pragma once

#include <mutex>
#include <string>

#include <openssl/engine.h>

#include "engine/OsslPtr.h"
#include "modules/capi/ProxyKey.h"

namespace tolmix::capi {

constexpr long kLookupBySubject = 1;
constexpr long kLookupByFriendlyName = 2;
constexpr long kLookupByContainer = 3;
constexpr long kKeyTypeExchange = 1;
constexpr long kKeyTypeSignature = 2;

class ContainerBack {
 public:
  ContainerBack() = default;
  ContainerBack(const ContainerBack&) = delete;
  ContainerBack& operator=(const ContainerBack&) = delete;

  // False when the RSA method could not be made; the engine is then unusable.
  bool ok() const { return method_.ok(); }
  // The method of every key this back hands out (ENGINE_set_RSA).
  RSA_METHOD* method() const { return method_.get(); }

  // Each setter returns false, with the setting unchanged, for a value it
  // refuses: a null or invalid provider name, a lookup method other than 3,
  // a key type other than 1 or 2.
  bool SetProviderName(const char* name);
  bool SetLookupMethod(long method);
  bool SetKeyType(long type);

  std::string provider_name() const;
  long lookup_method() const;
  long key_type() const;

  // Reads the key of key container CONTAINER (a GBK name) from the provider
  // and returns the public-only key for it (ProxyKey.h), bound to ENGINE.
  // The private key is kept in the module until the returned key is freed.
  // Null when the provider or the container is missing, the key is not a
  // usable RSA key, or CONTAINER is null or empty.
  ossl::Ptr<EVP_PKEY> LoadPrivateKey(ENGINE* engine, const char* container);

 private:
  mutable std::mutex mutex_;
  std::string provider_;  // "" = the first installed provider
  long lookup_method_ = kLookupByContainer;
  long key_type_ = kKeyTypeExchange;
  ProxyMethod method_;
};

}  // namespace tolmix::capi
