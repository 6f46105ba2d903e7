// The certificate object: the stand-in for a CryptoAPI certificate context
// (CertCreateCertificateContext, CertNameToStrA, CertGetNameStringA,
// CertGetIntendedKeyUsage, the key-provider property).  It holds the DER
// bytes it was made from and the decoded OpenSSL X509; both stay unchanged
// for the object's life.  Texts are GBK.
//
// Copies share the X509 (one more reference) and copy the DER and the
// key-provider information.
#pragma once

#include <openssl/x509.h>

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "util/OsslPtr.h"

namespace tolmix::platform {

// Where the private key of a certificate lives: the CryptoAPI key-provider
// property.  Plain GBK names, filled by the certificate store; a certificate
// made from bytes has none.
struct KeyProviderInfo {
  std::string providerName;
  std::string containerName;
};

class Certificate {
 public:
  // CertCreateCertificateContext: decodes DER (SIZE bytes).  Empty when the
  // bytes do not start with a certificate that OpenSSL decodes.  Bytes after
  // the certificate's own encoding are ignored and not kept.
  static std::optional<Certificate> FromDer(const unsigned char* der, size_t size);

  // A certificate object for X (borrowed; the object takes its own
  // reference).  Empty when X is null or does not encode.
  static std::optional<Certificate> FromX509(X509* x);

  Certificate(const Certificate& other);
  Certificate& operator=(const Certificate& other);
  Certificate(Certificate&&) noexcept = default;
  Certificate& operator=(Certificate&&) noexcept = default;
  ~Certificate() = default;

  // The DER encoding (pbCertEncoded / cbCertEncoded).
  const std::vector<unsigned char>& Der() const { return der_; }

  // The decoded certificate, borrowed: valid while this object lives.
  X509* Get() const { return x509_.get(); }

  // The version field as encoded: 0 for v1, 1 for v2, 2 for v3.
  long Version() const;

  // The serial number: the content octets of its encoded INTEGER, most
  // significant byte first, a leading zero byte kept ("00 80 ..." for a
  // serial whose top bit is set).  CryptoAPI keeps these bytes in the
  // reverse order; callers that print the serial want this order.
  std::vector<unsigned char> SerialNumber() const;

  // The signature algorithm of the to-be-signed part as dotted OID text,
  // e.g. "1.2.840.113549.1.1.11", "1.2.156.10197.1.501"; never a name.
  std::string SignatureAlgorithmOid() const;

  // Issuer and subject in CryptoAPI's X.500 string form, most specific
  // element first, at most 1023 bytes (platform/NameFormatter.h).
  std::string IssuerName() const;
  std::string SubjectName() const;

  // Start and end of validity as instants (seconds since the epoch, UTC);
  // 0 for a time field that does not decode.
  std::time_t NotBefore() const;
  std::time_t NotAfter() const;

  // CertGetIntendedKeyUsage(..., 2 bytes): OUT[0] and OUT[1] get the first
  // two bytes of the key-usage BIT STRING (digitalSignature is 0x80 of
  // OUT[0], decipherOnly 0x80 of OUT[1]); bytes the extension does not have
  // are 0.  Returns true when the extension is present and decodes; on false
  // both bytes are 0.
  bool GetIntendedKeyUsage(unsigned char out[2]) const;

  // The key usage as the system reads it: OUT[0] + 256 * OUT[1] of
  // GetIntendedKeyUsage, 0 without the extension.  decipherOnly is 32768.
  uint16_t KeyUsageValue() const;

  // True when the certificate carries a key-usage extension (2.5.29.15),
  // whether or not it decodes.
  bool HasKeyUsageExtension() const;

  // CertGetNameStringA(CERT_NAME_SIMPLE_DISPLAY_TYPE) of the subject, or of
  // the issuer (CERT_NAME_ISSUER_FLAG): the value of the first attribute
  // found, in this order:
  //   1. commonName, 2. organizationalUnitName, 3. organizationName,
  //   4. emailAddress (1.2.840.113549.1.9.1) -- each the first of its kind
  //      in encoded order;
  //   5. the first rfc822Name of the subject (issuer) alternative name;
  //   6. the first attribute of the name in encoded order;
  // else the empty text.  GBK, unquoted, not cut (callers cut to their
  // buffers with CutGbk).
  std::string SimpleDisplayName() const;
  std::string IssuerSimpleDisplayName() const;

  // The key-provider property: empty until the store sets it.
  const std::optional<KeyProviderInfo>& KeyProvider() const { return keyProvider_; }
  void SetKeyProvider(KeyProviderInfo info) { keyProvider_ = std::move(info); }

 private:
  Certificate(std::vector<unsigned char> der, ossl::Ptr<X509> x509)
      : der_(std::move(der)), x509_(std::move(x509)) {}

  std::vector<unsigned char> der_;
  ossl::Ptr<X509> x509_;  // never null
  std::optional<KeyProviderInfo> keyProvider_;
};

}  // namespace tolmix::platform
