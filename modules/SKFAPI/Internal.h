// Shared inner pieces of the soft SKF library: owning pointers for the
// OpenSSL types it uses, the export attribute and the one translation point
// every exported function returns through (SKF_RESULT).
#pragma once

#include <memory>
#include <mutex>

#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include "skf/skfapi.h"

// Marks a function as part of the library's interface.  The library is
// compiled with hidden visibility and linked with a version script, so only
// these names are exported.
#define SKF_EXPORT extern "C" __attribute__((visibility("default")))

namespace skfapi {

// Frees a stack of ASN1_TYPE with its members.
inline void FreeAsn1Sequence(ASN1_SEQUENCE_ANY* s) { sk_ASN1_TYPE_pop_free(s, ASN1_TYPE_free); }

template <class T>
struct Deleter;
template <class T>
using Ptr = std::unique_ptr<T, Deleter<T>>;

#define SKFAPI_DELETER(T, fn)                       \
  template <>                                       \
  struct Deleter<T> {                               \
    void operator()(T* p) const noexcept { fn(p); } \
  }
SKFAPI_DELETER(BIO, BIO_free_all);
SKFAPI_DELETER(X509, X509_free);
SKFAPI_DELETER(EVP_PKEY, EVP_PKEY_free);
SKFAPI_DELETER(EVP_PKEY_CTX, EVP_PKEY_CTX_free);
SKFAPI_DELETER(EVP_MD_CTX, EVP_MD_CTX_free);
SKFAPI_DELETER(ECDSA_SIG, ECDSA_SIG_free);
SKFAPI_DELETER(BIGNUM, BN_free);
SKFAPI_DELETER(ASN1_SEQUENCE_ANY, FreeAsn1Sequence);
#undef SKFAPI_DELETER

// The one lock of the library: every exported call holds it for its whole
// run, so handles and token files are never seen half-changed by another
// thread of the process.
std::mutex& ApiMutex();

namespace mock {
// Test build only (TOLMIX_SKF_MOCK): true with *code set when the variable
// SKFAPI_MOCK_FAIL names NAME ("NAME=CODE[,NAME=CODE...]").
bool Forced(const char* name, ULONG* code);
// Test build only: appends "NAME 0xXXXXXXXX" to the file named by
// SKFAPI_MOCK_LOG (when set) and returns CODE unchanged.
ULONG Record(const char* name, ULONG code);
}  // namespace mock

}  // namespace skfapi

// SKF_RESULT(expr): the body of every exported function.  It holds the
// library lock while EXPR runs and returns its code; in the test build it
// first applies a forced failure for this function and records the call's
// name and result.
#ifdef TOLMIX_SKF_MOCK
#define SKF_RESULT(expr)                                            \
  do {                                                              \
    std::lock_guard<std::mutex> skfLock_(::skfapi::ApiMutex());     \
    ULONG skfForced_ = 0;                                           \
    if (::skfapi::mock::Forced(__func__, &skfForced_))              \
      return ::skfapi::mock::Record(__func__, skfForced_);          \
    return ::skfapi::mock::Record(__func__, (expr));                \
  } while (0)
#else
#define SKF_RESULT(expr)                                        \
  do {                                                          \
    std::lock_guard<std::mutex> skfLock_(::skfapi::ApiMutex()); \
    return (expr);                                              \
  } while (0)
#endif
