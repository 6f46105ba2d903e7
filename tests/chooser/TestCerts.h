// Certificates made in-process for the store and chooser tests: one RSA key
// signs every certificate; subject, issuer, end of validity and key usage
// are chosen per certificate.
#pragma once

#include <openssl/rsa.h>
#include <openssl/x509v3.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "engine/OsslPtr.h"

namespace tolmix::testing {

struct CertSpec {
  std::string subject_cn = "Alice";
  std::string issuer_cn = "Test CA";
  std::string not_after = "20310531200000Z";  // GeneralizedTime
  std::string key_usage;                      // "" = no extension, else the v3 text
  bool broken_key_usage = false;               // a key-usage extension that does not decode
  size_t padding = 0;                          // bytes of a comment extension, to grow the DER
  long serial = 1;

  // Chained setters: CertSpec().Cn("A").Serial(2).
  CertSpec& Cn(std::string v) { subject_cn = std::move(v); return *this; }
  CertSpec& Issuer(std::string v) { issuer_cn = std::move(v); return *this; }
  CertSpec& NotAfter(std::string v) { not_after = std::move(v); return *this; }
  CertSpec& Usage(std::string v) { key_usage = std::move(v); return *this; }
  CertSpec& BrokenUsage() { broken_key_usage = true; return *this; }
  CertSpec& Padding(size_t v) { padding = v; return *this; }
  CertSpec& Serial(long v) { serial = v; return *this; }
};

inline EVP_PKEY* SharedTestKey() {
  static EVP_PKEY* key = EVP_RSA_gen(1024);  // small: only for speed of the tests
  return key;
}

inline ossl::Ptr<X509> MakeX509(const CertSpec& shape, EVP_PKEY* key = SharedTestKey()) {
  ossl::Ptr<X509> x(X509_new());
  X509_set_version(x.get(), 2);
  ASN1_INTEGER_set(X509_get_serialNumber(x.get()), shape.serial);
  auto name = [](const std::string& cn) {
    X509_NAME* n = X509_NAME_new();
    X509_NAME_add_entry_by_txt(n, "CN", MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char*>(cn.c_str()), -1, -1, 0);
    return ossl::Ptr<X509_NAME>(n);
  };
  X509_set_subject_name(x.get(), name(shape.subject_cn).get());
  X509_set_issuer_name(x.get(), name(shape.issuer_cn).get());
  ASN1_TIME_set_string(X509_getm_notBefore(x.get()), "20200101000000Z");
  ASN1_TIME_set_string(X509_getm_notAfter(x.get()), shape.not_after.c_str());
  X509_set_pubkey(x.get(), key);
  if (!shape.key_usage.empty()) {
    ossl::Ptr<X509_EXTENSION> ext(
        X509V3_EXT_conf_nid(nullptr, nullptr, NID_key_usage, shape.key_usage.c_str()));
    X509_add_ext(x.get(), ext.get(), -1);
  }
  if (shape.broken_key_usage) {
    // An OCTET STRING where the BIT STRING belongs.
    static const unsigned char kNotABitString[] = {0x04, 0x01, 0x80};
    ASN1_OCTET_STRING* value = ASN1_OCTET_STRING_new();
    ASN1_OCTET_STRING_set(value, kNotABitString, sizeof kNotABitString);
    ossl::Ptr<X509_EXTENSION> ext(X509_EXTENSION_create_by_NID(nullptr, NID_key_usage, 1, value));
    ASN1_OCTET_STRING_free(value);
    X509_add_ext(x.get(), ext.get(), -1);
  }
  if (shape.padding) {
    std::string comment(shape.padding, 'x');
    ossl::Ptr<X509_EXTENSION> ext(
        X509V3_EXT_conf_nid(nullptr, nullptr, NID_netscape_comment, comment.c_str()));
    X509_add_ext(x.get(), ext.get(), -1);
  }
  X509_sign(x.get(), key, EVP_sha256());
  return x;
}

inline std::vector<unsigned char> ToDer(X509* x) {
  int len = i2d_X509(x, nullptr);
  std::vector<unsigned char> der(static_cast<size_t>(len));
  unsigned char* p = der.data();
  i2d_X509(x, &p);
  return der;
}

inline std::vector<unsigned char> MakeDer(const CertSpec& shape) { return ToDer(MakeX509(shape).get()); }

// A fresh folder under the build tree, removed with the object.
class TempDir {
 public:
  TempDir() {
    std::string pattern = std::filesystem::temp_directory_path().string() + "/tolmix-test-XXXXXX";
    path_ = mkdtemp(pattern.data());
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

}  // namespace tolmix::testing
