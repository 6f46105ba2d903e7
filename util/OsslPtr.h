// Owning pointers for OpenSSL objects: ossl::Ptr<X509>, ossl::Ptr<BIO>, ...
// One empty deleter per type, so a Ptr is the size of a raw pointer and no
// call site can hand an object to the wrong free function.  A type without a
// line below does not compile as a Ptr.
//
// Ownership: a function that returns a Ptr, or fills a `Ptr<T>* out`, hands
// the object over; a raw T* argument is borrowed.
#pragma once

#include <memory>

#include <openssl/bio.h>
#include <openssl/crypto.h>
#ifndef OPENSSL_NO_ENGINE
#include <openssl/engine.h>
#endif
#include <openssl/evp.h>
#include <openssl/pkcs12.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

// OpenSSL 3.0 no longer ships a public DSO header, but libcrypto still exports
// the loader with its 1.1 signatures; the PKCS#11 path loads its module
// through it.
extern "C" {
typedef struct dso_st DSO;
typedef struct dso_meth_st DSO_METHOD;
typedef void (*DSO_FUNC_TYPE)(void);
DSO* DSO_load(DSO* dso, const char* filename, DSO_METHOD* meth, int flags);
DSO_FUNC_TYPE DSO_bind_func(DSO* dso, const char* symname);
int DSO_free(DSO* dso);
}
#ifndef DSO_FLAG_NO_NAME_TRANSLATION
#define DSO_FLAG_NO_NAME_TRANSLATION 0x01
#endif

namespace tolmix::ossl {

template <class T>
struct Deleter;  // Specialised once per OpenSSL type below.

template <class T>
using Ptr = std::unique_ptr<T, Deleter<T>>;

#define TOLMIX_OSSL_DELETER(T, free_fn)                  \
  template <>                                            \
  struct Deleter<T> {                                    \
    void operator()(T* p) const noexcept { free_fn(p); } \
  }

TOLMIX_OSSL_DELETER(X509, X509_free);
TOLMIX_OSSL_DELETER(X509_PUBKEY, X509_PUBKEY_free);
TOLMIX_OSSL_DELETER(X509_NAME, X509_NAME_free);
TOLMIX_OSSL_DELETER(X509_EXTENSION, X509_EXTENSION_free);
TOLMIX_OSSL_DELETER(X509_STORE, X509_STORE_free);
TOLMIX_OSSL_DELETER(X509_STORE_CTX, X509_STORE_CTX_free);
TOLMIX_OSSL_DELETER(PKCS7, PKCS7_free);
TOLMIX_OSSL_DELETER(PKCS12, PKCS12_free);
TOLMIX_OSSL_DELETER(EVP_PKEY, EVP_PKEY_free);
TOLMIX_OSSL_DELETER(EVP_PKEY_CTX, EVP_PKEY_CTX_free);
TOLMIX_OSSL_DELETER(EVP_MD_CTX, EVP_MD_CTX_free);
TOLMIX_OSSL_DELETER(EVP_CIPHER_CTX, EVP_CIPHER_CTX_free);
TOLMIX_OSSL_DELETER(EVP_ENCODE_CTX, EVP_ENCODE_CTX_free);
TOLMIX_OSSL_DELETER(BIO, BIO_free_all);  // a whole chain, as built by PKCS7_dataInit
#ifndef OPENSSL_NO_ENGINE
TOLMIX_OSSL_DELETER(ENGINE, ENGINE_free);  // a structural reference (ENGINE_by_id)
#endif
TOLMIX_OSSL_DELETER(DSO, DSO_free);
TOLMIX_OSSL_DELETER(ASN1_OBJECT, ASN1_OBJECT_free);
TOLMIX_OSSL_DELETER(BIGNUM, BN_free);
TOLMIX_OSSL_DELETER(RSA, RSA_free);
TOLMIX_OSSL_DELETER(X509_SIG, X509_SIG_free);

#undef TOLMIX_OSSL_DELETER

// A stack of certificates owns its certificates as well.
template <>
struct Deleter<STACK_OF(X509)> {
  void operator()(STACK_OF(X509)* p) const noexcept { sk_X509_pop_free(p, X509_free); }
};

// A buffer from the OpenSSL allocator (OPENSSL_malloc, BIO text, i2d output).
struct OpenSslFree {
  void operator()(void* p) const noexcept { OPENSSL_free(p); }
};
using Text = std::unique_ptr<char, OpenSslFree>;
using Bytes = std::unique_ptr<unsigned char, OpenSslFree>;

#ifndef OPENSSL_NO_ENGINE
// A functional reference to an engine (one taken by ENGINE_init): releasing
// it runs ENGINE_finish, which also drops the structural reference that
// ENGINE_init took.
struct EngineFinish {
  void operator()(ENGINE* e) const noexcept { ENGINE_finish(e); }
};
using InitializedEngine = std::unique_ptr<ENGINE, EngineFinish>;
#endif

}  // namespace tolmix::ossl
