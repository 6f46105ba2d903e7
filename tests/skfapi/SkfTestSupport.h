// Support for the soft SKF library tests: the library loaded with dlopen
// and its functions resolved by name, a fresh token directory per test, and
// keys with self-signed certificates made with OpenSSL.
#pragma once

#include <dlfcn.h>

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include "skf/skfapi.h"

namespace skftest {

struct PkeyFree {
  void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};
struct X509Free {
  void operator()(X509* p) const { X509_free(p); }
};
using Key = std::unique_ptr<EVP_PKEY, PkeyFree>;
using Cert = std::unique_ptr<X509, X509Free>;

// A key pair with its self-signed certificate, as PEM texts.
struct Identity {
  std::string keyPem;
  std::string certPem;
  std::vector<unsigned char> certDer;
  EVP_PKEY* PublicKey() const;  // owned by the identity
  Cert cert;
};

// One SM2 and one RSA identity per process, plus a second SM2 one for the
// encryption pair (made once: RSA key generation is slow).
const Identity& Sm2Sign();
const Identity& Sm2Enc();
const Identity& RsaSign();

// The library under test, loaded with RTLD_NOW | RTLD_LOCAL.
class Library {
 public:
  explicit Library(const char* path) : handle_(dlopen(path, RTLD_NOW | RTLD_LOCAL)) {}
  ~Library() {
    if (handle_) dlclose(handle_);
  }
  Library(const Library&) = delete;
  Library& operator=(const Library&) = delete;
  bool Loaded() const { return handle_ != nullptr; }
  void* Symbol(const char* name) const { return handle_ ? dlsym(handle_, name) : nullptr; }

 private:
  void* handle_;
};

// The functions the tests call, resolved by name from a Library.
struct Api {
  explicit Api(const Library& lib);
  bool Complete() const { return complete; }

  bool complete = true;
  decltype(&SKF_EnumDev) EnumDev;
  decltype(&SKF_ConnectDev) ConnectDev;
  decltype(&SKF_DisConnectDev) DisConnectDev;
  decltype(&SKF_GetDevInfo) GetDevInfo;
  decltype(&SKF_GetPINInfo) GetPINInfo;
  decltype(&SKF_VerifyPIN) VerifyPIN;
  decltype(&SKF_ClearSecureState) ClearSecureState;
  decltype(&SKF_EnumApplication) EnumApplication;
  decltype(&SKF_OpenApplication) OpenApplication;
  decltype(&SKF_CloseApplication) CloseApplication;
  decltype(&SKF_CreateContainer) CreateContainer;
  decltype(&SKF_OpenContainer) OpenContainer;
  decltype(&SKF_CloseContainer) CloseContainer;
  decltype(&SKF_EnumContainer) EnumContainer;
  decltype(&SKF_ExportCertificate) ExportCertificate;
  decltype(&SKF_ExportPublicKey) ExportPublicKey;
  decltype(&SKF_ECCSignData) ECCSignData;
  decltype(&SKF_RSASignData) RSASignData;
  decltype(&SKF_GenRandom) GenRandom;
  decltype(&SKFX_ECCDecrypt) EccDecrypt;
  decltype(&SKFX_ECCDecryptDer) EccDecryptDer;
  decltype(&SKFX_RSADecrypt) RsaDecrypt;
  decltype(&SKFX_InitApplication) InitApplication;
  decltype(&SKFX_ImportKeyPair) ImportKeyPair;
};

// Splits an SKF name list (NUL-ended names, a second NUL at the end).
std::vector<std::string> SplitNames(const char* list, ULONG size);

// Fixture: a fresh token directory in $TOLMIX_SKF_TOKEN_DIR and the library
// at PATH (the real one unless a test says otherwise).  Provision() puts
// device "KEY1", application "APP1" (user PIN "12345678", admin PIN
// "87654321", 5 tries) with container "SM2" (SM2 signature and encryption
// pairs) and container "RSA" (RSA signature pair).
class SkfTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  void Load(const char* path);
  void Provision();
  // Connects KEY1 and opens APP1; verifies the user PIN when VERIFY.
  void OpenApp(bool verify);
  HCONTAINER Open(const char* container);

  std::string token_;
  std::unique_ptr<Library> lib_;
  std::unique_ptr<Api> api_;
  DEVHANDLE dev_ = nullptr;
  HAPPLICATION app_ = nullptr;
};

}  // namespace skftest
