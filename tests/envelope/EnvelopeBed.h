// Test bed of the envelope operations: one sandbox (`tolmix sandbox`) for
// the program with its variables exported, the unattended chooser taking
// the first certificate, engine calls as the control makes them, and the
// `openssl` command as the independent party.
#pragma once

#include <string>

namespace tolmix::envelopetest {

std::string Pki(const std::string& file);      // a file of the sandbox's PKI
std::string Scratch(const std::string& name);  // a new path in the test folder
std::string ReadFile(const std::string& path);
std::string WriteFile(const std::string& path, const std::string& data);
std::string Quoted(const std::string& text);
// Runs COMMAND through sh: its standard output; its exit status in *STATUS.
std::string Run(const std::string& command, int* status);

// A decrypting device: interface, variable of its PIN, its exchange
// certificate.  "P11" runs with the SKF key out of reach, so the probe
// leaves the route on the SoftHSM2 token.
struct Device {
  const char* iface;
  const char* pin_var;
  const char* cert;
};
inline constexpr Device kP11{"P11", "TOLMIX_SANDBOX_P11_PIN", "p11-exchange.pem"};
inline constexpr Device kCsp{"CSP", "", "csp-enc.pem"};
inline constexpr Device kSkf{"SKF", "TOLMIX_SANDBOX_SKF_PIN", "skf-sm2-enc.pem"};

struct Outcome {
  int result = -99;
  std::string text;   // PEM or plaintext
  std::string iface;  // the engine's interface name afterwards
};

// EnvelopeEncrypt (string form) of CONTENT for the PKI certificate CERT
// under IFACE.
Outcome Encrypt(const char* iface, const std::string& content, const std::string& cert);
// EnvelopeDecrypt (string form) of PEM on DEVICE.
Outcome Decrypt(const Device& device, const std::string& pem);
// EnvelopeDecrypt (buffer form) of PEM on DEVICE into OUT (may be null).
int DecryptBuffer(const Device& device, const std::string& pem, char* out, unsigned* len);
int EncryptFile(const char* iface, const std::string& src, const std::string& dst,
                const std::string& cert);
int DecryptFile(const Device& device, const std::string& src, const std::string& dst);

// `openssl smime -encrypt -des3` of CONTENT for the PKI certificate CERT, PEM.
std::string OpensslEncrypt(const std::string& content, const std::string& cert);
// `openssl smime -decrypt` of the PEM file PATH with other-rsa.key; the
// plaintext or "<failed>".
std::string OpensslDecryptFile(const std::string& path);

}  // namespace tolmix::envelopetest
