// Test bed of the raw signature tests: one `tolmix sandbox` for the whole
// program (its variables exported into the process), plus small OpenSSL
// helpers that check the engine's output independently of it.
#pragma once

#include <string>
#include <vector>

#include "engine/CMSEngine.h"

namespace tolmix::rawsigtest {

// The sandbox folder ("" before the environment is set up).
const std::string& SandboxDir();
std::string ReadFile(const std::string& path);

// The engine's error text as UTF-8 (converted with iconv from GBK).
std::string ErrorUtf8(const CMSEngine& engine);

// Base64 through OpenSSL's block codec (not the codec under test).
std::vector<unsigned char> DecodeB64(const std::string& text);
std::string EncodeB64(const std::vector<unsigned char>& bytes);

struct Identity {
  ossl::Ptr<EVP_PKEY> key;
  ossl::Ptr<X509> cert;
  std::vector<unsigned char> der;
  std::string pem;
};
// An RSA key of BITS bits and a self-signed certificate for it with subject
// CN and the key usage KEY_USAGE (OpenSSL's config text).
Identity MakeRsaIdentity(int bits, const char* cn, const char* key_usage);

// True when SIG is a PKCS#1 v1.5 SHA-1 signature of DATA by CERT's key.
bool Sha1SignatureValid(X509* cert, const std::string& data, const unsigned char* sig,
                        size_t sig_len);

// Sets an environment variable for the life of the object.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  bool had_ = false;
  std::string old_;
};

}  // namespace tolmix::rawsigtest
