#include "platform/Certificate.h"

#include <openssl/asn1.h>
#include <openssl/objects.h>
#include <openssl/x509v3.h>

#include <array>

#include "platform/NameFormatter.h"

namespace tolmix::platform {
namespace {

struct BitStringFree {
  void operator()(ASN1_BIT_STRING* p) const noexcept { ASN1_BIT_STRING_free(p); }
};
struct GeneralNamesFree {
  void operator()(GENERAL_NAMES* p) const noexcept { GENERAL_NAMES_free(p); }
};

// Seconds since the epoch of T; 0 when T is null or malformed.
std::time_t ToInstant(const ASN1_TIME* t) {
  std::tm tm{};
  if (t == nullptr || ASN1_TIME_to_tm(t, &tm) != 1) return 0;
  return timegm(&tm);
}

std::string SimpleDisplayNameOf(X509* x, bool issuer) {
  const X509_NAME* name = issuer ? X509_get_issuer_name(x) : X509_get_subject_name(x);
  static constexpr std::array<int, 4> kOrder = {NID_commonName, NID_organizationalUnitName,
                                                NID_organizationName, NID_pkcs9_emailAddress};
  for (int nid : kOrder) {
    int i = X509_NAME_get_index_by_NID(name, nid, -1);
    if (i >= 0) return NameValueToGbk(X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, i)));
  }

  std::unique_ptr<GENERAL_NAMES, GeneralNamesFree> alt(static_cast<GENERAL_NAMES*>(
      X509_get_ext_d2i(x, issuer ? NID_issuer_alt_name : NID_subject_alt_name, nullptr, nullptr)));
  for (int i = 0; alt && i < sk_GENERAL_NAME_num(alt.get()); ++i) {
    const GENERAL_NAME* gn = sk_GENERAL_NAME_value(alt.get(), i);
    if (gn->type == GEN_EMAIL) return NameValueToGbk(gn->d.rfc822Name);
  }

  if (X509_NAME_entry_count(name) > 0) {
    return NameValueToGbk(X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, 0)));
  }
  return std::string();
}

}  // namespace

std::optional<Certificate> Certificate::FromDer(const unsigned char* der, size_t size) {
  if (der == nullptr || size == 0 || size > static_cast<size_t>(INT32_MAX)) return std::nullopt;
  const unsigned char* p = der;
  ossl::Ptr<X509> x(d2i_X509(nullptr, &p, static_cast<long>(size)));
  if (!x) return std::nullopt;
  std::vector<unsigned char> bytes(der, p);
  return Certificate(std::move(bytes), std::move(x));
}

std::optional<Certificate> Certificate::FromX509(X509* x) {
  if (x == nullptr) return std::nullopt;
  unsigned char* der = nullptr;
  int n = i2d_X509(x, &der);
  if (n <= 0) return std::nullopt;
  std::vector<unsigned char> bytes(der, der + n);
  OPENSSL_free(der);
  if (X509_up_ref(x) != 1) return std::nullopt;
  return Certificate(std::move(bytes), ossl::Ptr<X509>(x));
}

Certificate::Certificate(const Certificate& other)
    : der_(other.der_), keyProvider_(other.keyProvider_) {
  if (other.x509_ && X509_up_ref(other.x509_.get()) == 1) x509_.reset(other.x509_.get());
}

Certificate& Certificate::operator=(const Certificate& other) {
  if (this != &other) {
    Certificate copy(other);
    *this = std::move(copy);
  }
  return *this;
}

long Certificate::Version() const { return X509_get_version(x509_.get()); }

// OpenSSL keeps the serial as sign and magnitude, without the encoding's
// leading zero byte.  Re-encoding gives back the bytes of the certificate:
// OpenSSL 3 refuses to decode a non-minimal INTEGER, so every serial that
// got this far was minimally encoded, as i2d writes it.
std::vector<unsigned char> Certificate::SerialNumber() const {
  const ASN1_INTEGER* serial = X509_get0_serialNumber(x509_.get());
  unsigned char* der = nullptr;
  int n = serial ? i2d_ASN1_INTEGER(serial, &der) : -1;
  std::vector<unsigned char> bytes;
  if (n > 0) {
    // Skip the tag and the (short or long form) length.
    const unsigned char* p = der;
    long len = 0;
    int tag = 0, cls = 0;
    int r = ASN1_get_object(&p, &len, &tag, &cls, n);
    if (!(r & 0x80) && tag == V_ASN1_INTEGER && p + len <= der + n) bytes.assign(p, p + len);
  }
  OPENSSL_free(der);
  return bytes;
}

std::string Certificate::SignatureAlgorithmOid() const {
  const X509_ALGOR* alg = X509_get0_tbs_sigalg(x509_.get());
  const ASN1_OBJECT* obj = nullptr;
  X509_ALGOR_get0(&obj, nullptr, nullptr, alg);
  if (obj == nullptr) return std::string();
  int n = OBJ_obj2txt(nullptr, 0, obj, 1);
  if (n <= 0) return std::string();
  std::string text(static_cast<size_t>(n) + 1, '\0');
  OBJ_obj2txt(text.data(), n + 1, obj, 1);
  text.resize(static_cast<size_t>(n));
  return text;
}

std::string Certificate::IssuerName() const {
  return FormatX500Name(X509_get_issuer_name(x509_.get()));
}

std::string Certificate::SubjectName() const {
  return FormatX500Name(X509_get_subject_name(x509_.get()));
}

std::time_t Certificate::NotBefore() const { return ToInstant(X509_get0_notBefore(x509_.get())); }

std::time_t Certificate::NotAfter() const { return ToInstant(X509_get0_notAfter(x509_.get())); }

bool Certificate::GetIntendedKeyUsage(unsigned char out[2]) const {
  out[0] = out[1] = 0;
  int crit = 0;
  std::unique_ptr<ASN1_BIT_STRING, BitStringFree> bits(static_cast<ASN1_BIT_STRING*>(
      X509_get_ext_d2i(x509_.get(), NID_key_usage, &crit, nullptr)));
  if (!bits) return false;
  const unsigned char* data = ASN1_STRING_get0_data(bits.get());
  int len = ASN1_STRING_length(bits.get());
  for (int i = 0; i < len && i < 2; ++i) out[i] = data[i];
  return true;
}

uint16_t Certificate::KeyUsageValue() const {
  unsigned char b[2];
  GetIntendedKeyUsage(b);
  return static_cast<uint16_t>(b[0] + 256 * b[1]);
}

bool Certificate::HasKeyUsageExtension() const {
  return X509_get_ext_by_NID(x509_.get(), NID_key_usage, -1) >= 0;
}

std::string Certificate::SimpleDisplayName() const { return SimpleDisplayNameOf(x509_.get(), false); }

std::string Certificate::IssuerSimpleDisplayName() const {
  return SimpleDisplayNameOf(x509_.get(), true);
}

}  // namespace tolmix::platform
