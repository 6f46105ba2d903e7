// Test bed of the SKF device layer: a temporary system directory with
// GM_SKF.ini and links to the soft SKF library's test builds, a soft token
// in $TOLMIX_SKF_TOKEN_DIR provisioned with the softskf command, identities
// made with OpenSSL, and standard output captured around a call.
#pragma once

#include <initializer_list>
#include <string>
#include <vector>

#include <openssl/evp.h>
#include <openssl/x509.h>

#include "engine/OsslPtr.h"

namespace tolmix::skftest {

constexpr char kDevice[] = "KEY1";
constexpr char kApplication[] = "APP1";
constexpr char kUserPin[] = "12345678";
constexpr char kSoPin[] = "87654321";
constexpr int kRetries = 5;

// A key pair with its self-signed certificate.  KEY_USAGE (e.g.
// "digitalSignature") adds a critical key-usage extension when not null.
struct Identity {
  ossl::Ptr<EVP_PKEY> key;
  ossl::Ptr<X509> cert;
  std::string keyPem, certPem;
  std::vector<unsigned char> certDer;
};
Identity MakeSm2(const char* cn, const char* key_usage = nullptr);
Identity MakeRsa(const char* cn, const char* key_usage = nullptr);

// PEM text of CERT, as PEM_write_bio_X509 writes it.
std::string PemOf(X509* cert);

class SkfBed {
 public:
  // Creates the folders and sets TOLMIX_SYSTEM_DIR and TOLMIX_SKF_TOKEN_DIR;
  // links "SKFAPI.so" (SKFAPI_mock) and "SKFAPI_nodevauth.so" (the build
  // without SKF_DevAuth) into the system directory.  Clears the mock's
  // variables.  False on failure.
  bool Create();
  // Removes the folders and the variables it set.
  void Remove();

  // Writes GM_SKF.ini: DeviceCount COUNT (< 0: the number of names) and
  // Device_1.. with NAMES; a null name leaves its section out.
  bool WriteDeviceList(std::initializer_list<const char*> names, int count = -1) const;

  // softskf init KEY1 APP1 with the test PINs and kRetries tries.
  bool InitToken() const;
  // softskf import of a signature pair and, when ENC is given, an
  // encryption pair into CONTAINER.
  bool Import(const char* container, const Identity& sign, const Identity* enc = nullptr) const;

  std::string root, system_dir, token_dir;
};

// Runs F with standard output captured and returns what it printed.
template <class F>
std::string CaptureStdout(F&& f);

std::string ReadFileText(const std::string& path);

}  // namespace tolmix::skftest

#include <gtest/gtest.h>

template <class F>
std::string tolmix::skftest::CaptureStdout(F&& f) {
  fflush(stdout);
  ::testing::internal::CaptureStdout();
  f();
  fflush(stdout);
  return ::testing::internal::GetCapturedStdout();
}
