// Keys of the capi engine whose private half never leaves the module.
//
// The EVP_PKEY handed to OpenSSL holds an RSA with the modulus and public
// exponent only (RSA_get0_key gives no d).  Its RSA_METHOD (ProxyMethod)
// keeps OpenSSL's own public operations and sends priv_enc, priv_dec and
// sign to the module's key table, where the real private key read from the
// key container is kept under the public RSA's address.  The method's
// finish, which RSA_free runs, takes the entry out of the table and frees
// the private key, so it lives in module memory exactly as long as the key
// handed out.  (No RSA ex_data is used: OpenSSL frees ex_data after it has
// released the engine, by which time the module may be unloaded, and an
// index registered with callbacks would outlive the module.)
//
// A key made for an ENGINE holds a functional reference to it (the RSA is
// made with RSA_new_method), so the module stays loaded until the last key
// is freed.
//
// Failures return null with an entry on OpenSSL's error queue
// (CapiErrors.h).  The table is shared by every engine of the module image
// and is guarded by one mutex.
#pragma once

#include <openssl/engine.h>
#include <openssl/rsa.h>

#include <cstddef>

#include "engine/OsslPtr.h"

namespace tolmix::capi {

// ProxyMethod owns one RSA_METHOD named "capi soft container RSA": a copy of
// OpenSSL's default method with the private operations redirected as above.
// Destroy it only after every key made with it has been freed.
class ProxyMethod {
 public:
  ProxyMethod() noexcept;
  ~ProxyMethod();
  ProxyMethod(const ProxyMethod&) = delete;
  ProxyMethod& operator=(const ProxyMethod&) = delete;

  // False when the method could not be made.
  bool ok() const { return method_ != nullptr; }
  RSA_METHOD* get() const { return method_; }

 private:
  RSA_METHOD* method_ = nullptr;
};

// Makes the public-only key for the private key REAL (an RSA key; ownership
// of REAL's private part passes into the table).  With ENGINE given, the RSA
// is made by RSA_new_method(ENGINE), which must hand out METHOD
// (ENGINE_set_RSA) and takes a functional reference; with ENGINE null,
// METHOD is set directly.  Returns the new key, owned by the caller, or null
// (error queued) when REAL is not RSA or OpenSSL runs out of memory.
ossl::Ptr<EVP_PKEY> MakeProxyKey(ENGINE* engine, const RSA_METHOD* method, EVP_PKEY* real);

// Number of private keys the table holds now.
size_t HeldPrivateKeys();

}  // namespace tolmix::capi
