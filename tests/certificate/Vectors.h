// Test vectors of the certificate tests: files made once per test process by
// tests/data/certificate/make-vectors.sh (the openssl command), and
// certificates built through the OpenSSL API where a field must take a
// value that the command cannot set.
#pragma once

#include <openssl/x509.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/Certificate.h"

namespace tolmix::test {

// Folder holding the generated files; empty when the script failed.
const std::string& VectorDir();

// Bytes of generated file NAME; empty when missing.
std::vector<unsigned char> ReadVector(const std::string& name);

// Certificate from generated DER file NAME.
std::optional<platform::Certificate> LoadCertificate(const std::string& name);

// A self-signed v3 certificate (EC P-256, ECDSA-SHA256, subject and issuer
// "CN=api") that EDIT may change before it is signed.
platform::Certificate BuildCertificate(const std::function<void(X509*)>& edit);

// NAME encoded and decoded again, so that entries come in encoded order as
// they do in a parsed certificate.
X509_NAME* RoundTrip(X509_NAME* name);

}  // namespace tolmix::test
