// Test bed of PKCS#7 signing and verification: one sandbox (`tolmix
// sandbox`) for the whole program, its variables exported, the unattended
// chooser taking the first certificate; engine calls as the control makes
// them; the `openssl` command as the independent party.
#pragma once

#include <string>

#include <openssl/pkcs7.h>

#include "engine/CMSEngine.h"
#include "engine/OsslPtr.h"

namespace tolmix::pkcs7test {

// A file of the sandbox's PKI folder, e.g. Pki("other-rsa.pem").
std::string Pki(const std::string& file);
// A new scratch file path inside the sandbox folder.
std::string ScratchPath(const std::string& name);

// Routes of the signer: the interface handed to the engine (its PIN is the
// sandbox's PIN of that device), whether the key is RSA, the interface a
// verification is run under and the one the certificate then settles.
struct Route {
  const char* iface;
  bool rsa;
  const char* verify_as;
  const char* verified_iface;
};
std::string PinOf(const Route& route);

// While alive, the SKF key is out of reach: the probe finds no device (no
// PIN try is spent on it) and "P11" stays the route.
class SkfKeyHidden {
 public:
  SkfKeyHidden();
  ~SkfKeyHidden();
  SkfKeyHidden(const SkfKeyHidden&) = delete;
  SkfKeyHidden& operator=(const SkfKeyHidden&) = delete;

 private:
  std::string saved_;
};

struct SignResult {
  int result = -99;
  std::string pem;
  std::string error;      // UTF-8
  std::string iface;      // interface name afterwards
  std::string cert_text;  // the engine's certificate text afterwards
};
SignResult Sign(const Route& route, const std::string& content, int attached);

struct VerifyResult {
  int result = -99;
  std::string content;    // GetVerifiedContent, "" when none
  bool has_content = false;
  std::string error;      // UTF-8
  std::string iface;
  unsigned long last_error = 0;  // ERR_peek_last_error before the engine went
};
VerifyResult Verify(const char* iface, const std::string& pem);

// `openssl smime -verify -noverify -inform PEM` of PEM (with CONTENT as the
// detached content when given): the printed content, or
// "<failed>" when the command fails.
std::string OpensslVerify(const std::string& pem, const std::string* detached = nullptr);
// `openssl smime -sign` of CONTENT with other-rsa.pem/.key, PEM out.
std::string OpensslSign(const std::string& content, bool nodetach);

std::string WriteFile(const std::string& path, const std::string& data);
std::string ReadFile(const std::string& path);

ossl::Ptr<PKCS7> ParsePem(const std::string& pem);
std::string ToPem(PKCS7* p7);

}  // namespace tolmix::pkcs7test
