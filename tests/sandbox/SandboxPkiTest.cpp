// The test PKI of the sandbox: every certificate file, its issuer, subject,
// signature algorithm, key usage and signature, checked with OpenSSL.
#include <openssl/objects.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <cstring>
#include <filesystem>
#include <set>

#include "engine/OsslPtr.h"
#include "tests/sandbox/SandboxBed.h"

namespace tolmix::sandboxtest {
namespace {

constexpr char kSm2WithSm3[] = "1.2.156.10197.1.501";
constexpr char kSha256WithRsa[] = "1.2.840.113549.1.1.11";
constexpr char kQuenmark[] =  // Quenmark电子政务证书认证中心
    "Quenmark\xe7\x94\xb5\xe5\xad\x90\xe6\x94\xbf\xe5\x8a\xa1\xe8\xaf\x81\xe4\xb9\xa6\xe8\xae\xa4"
    "\xe8\xaf\x81\xe4\xb8\xad\xe5\xbf\x83";
constexpr char kSm2UserCn[] =  // 测试用户SM2
    "\xe6\xb5\x8b\xe8\xaf\x95\xe7\x94\xa8\xe6\x88\xb7" "SM2";

constexpr uint32_t kSignUsage = KU_DIGITAL_SIGNATURE | KU_NON_REPUDIATION;
constexpr uint32_t kEncUsage = KU_KEY_ENCIPHERMENT | KU_DATA_ENCIPHERMENT;
constexpr uint32_t kCaUsage = KU_KEY_CERT_SIGN | KU_CRL_SIGN;

struct Expected {
  const char* file;
  const char* issuerFile;
  const char* issuerCn;
  const char* sigOid;
  uint32_t usage;
};

constexpr Expected kCerts[] = {
    {"ca-orva.pem", "ca-orva.pem", "ORVA", kSha256WithRsa, kCaUsage},
    {"ca-orvarsa.pem", "ca-orvarsa.pem", "ORVARSA", kSha256WithRsa, kCaUsage},
    {"ca-orvasm2.pem", "ca-orvasm2.pem", "ORVASM2", kSm2WithSm3, kCaUsage},
    {"ca-quenmark.pem", "ca-quenmark.pem", kQuenmark, kSha256WithRsa, kCaUsage},
    {"p11-sign.pem", "ca-orvarsa.pem", "ORVARSA", kSha256WithRsa, kSignUsage},
    {"p11-exchange.pem", "ca-orvarsa.pem", "ORVARSA", kSha256WithRsa, kEncUsage},
    {"skf-sm2-sign.pem", "ca-orvasm2.pem", "ORVASM2", kSm2WithSm3, kSignUsage},
    {"skf-sm2-enc.pem", "ca-orvasm2.pem", "ORVASM2", kSm2WithSm3, kEncUsage},
    {"skf-rsa.pem", "ca-orvarsa.pem", "ORVARSA", kSha256WithRsa, kSignUsage},
    {"csp-sign.pem", "ca-orva.pem", "ORVA", kSha256WithRsa, kSignUsage},
    {"csp-enc.pem", "ca-orva.pem", "ORVA", kSha256WithRsa, kEncUsage},
    {"other-rsa.pem", "ca-orvarsa.pem", "ORVARSA", kSha256WithRsa, kSignUsage | kEncUsage},
    {"quenmark-user.pem", "ca-quenmark.pem", kQuenmark, kSha256WithRsa, kSignUsage},
};

std::string NameEntry(const X509_NAME* name, int nid, int* type = nullptr) {
  int i = X509_NAME_get_index_by_NID(name, nid, -1);
  if (i < 0) return "";
  const ASN1_STRING* s = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, i));
  if (type) *type = ASN1_STRING_type(s);
  unsigned char* utf8 = nullptr;
  int n = ASN1_STRING_to_UTF8(&utf8, s);
  std::string out = n >= 0 ? std::string(reinterpret_cast<char*>(utf8), n) : "";
  OPENSSL_free(utf8);
  return out;
}

std::string SignatureOid(X509* x) {
  char text[100];
  OBJ_obj2txt(text, sizeof text, OBJ_nid2obj(X509_get_signature_nid(x)), 1);
  return text;
}

// X509_verify, with the GM/T 0009 default signer ID for SM2 signatures.
bool VerifiedBy(X509* cert, X509* issuer) {
  if (SignatureOid(cert) == kSm2WithSm3) {
    ASN1_OCTET_STRING* id = ASN1_OCTET_STRING_new();
    ASN1_OCTET_STRING_set(id, reinterpret_cast<const unsigned char*>("1234567812345678"), 16);
    X509_set0_distinguishing_id(cert, id);
  }
  return X509_verify(cert, X509_get0_pubkey(issuer)) == 1;
}

TEST_F(SandboxTest, EveryCertificateHasItsIssuerAlgorithmUsageAndSignature) {
  std::set<std::string> cns;
  for (const Expected& e : kCerts) {
    SCOPED_TRACE(e.file);
    ossl::Ptr<X509> cert(ReadCert(Pki(e.file)));
    ossl::Ptr<X509> issuer(ReadCert(Pki(e.issuerFile)));
    ASSERT_TRUE(cert && issuer);
    EXPECT_EQ(NameEntry(X509_get_issuer_name(cert.get()), NID_commonName), e.issuerCn);
    EXPECT_EQ(X509_NAME_cmp(X509_get_issuer_name(cert.get()),
                            X509_get_subject_name(issuer.get())), 0);
    EXPECT_EQ(SignatureOid(cert.get()), e.sigOid);
    EXPECT_EQ(X509_get_key_usage(cert.get()), e.usage);
    EXPECT_EQ(X509_check_ca(cert.get()) != 0, e.usage == kCaUsage);
    EXPECT_TRUE(VerifiedBy(cert.get(), issuer.get()));
    // ORVASM2 and what it issues have SM2 keys; everything else RSA.
    EXPECT_EQ(EVP_PKEY_is_a(X509_get0_pubkey(cert.get()), "SM2") == 1,
              strcmp(e.issuerCn, "ORVASM2") == 0);
    cns.insert(NameEntry(X509_get_subject_name(cert.get()), NID_commonName));
  }
  // Display names are key ids on the SKF route and in the chooser.
  EXPECT_EQ(cns.size(), std::size(kCerts));
  EXPECT_FALSE(cns.contains(""));
}

TEST_F(SandboxTest, ChineseNamesAreUtf8StringsAndOneSkfNameIsAscii) {
  ossl::Ptr<X509> sign(ReadCert(Pki("skf-sm2-sign.pem")));
  ossl::Ptr<X509> enc(ReadCert(Pki("skf-sm2-enc.pem")));
  ASSERT_TRUE(sign && enc);
  int type = 0;
  EXPECT_EQ(NameEntry(X509_get_subject_name(sign.get()), NID_commonName, &type), kSm2UserCn);
  EXPECT_EQ(type, V_ASN1_UTF8STRING);
  std::string ascii = NameEntry(X509_get_subject_name(enc.get()), NID_commonName);
  EXPECT_FALSE(ascii.empty());
  for (unsigned char c : ascii) EXPECT_LT(c, 0x80);
}

TEST_F(SandboxTest, QuenmarkUserCarriesTheIdentityExtension) {
  ossl::Ptr<X509> cert(ReadCert(Pki("quenmark-user.pem")));
  ASSERT_TRUE(cert);
  ossl::Ptr<ASN1_OBJECT> oid(OBJ_txt2obj("1.2.156.10260.4.1.1", 1));
  int i = X509_get_ext_by_OBJ(cert.get(), oid.get(), -1);
  ASSERT_GE(i, 0);
  const ASN1_OCTET_STRING* value = X509_EXTENSION_get_data(X509_get_ext(cert.get(), i));
  const unsigned char* p = ASN1_STRING_get0_data(value);
  int n = ASN1_STRING_length(value);
  // Four header bytes (SEQUENCE, PrintableString), then the printable code.
  ASSERT_GT(n, 4);
  EXPECT_EQ(p[0], 0x30);
  EXPECT_EQ(p[1], n - 2);
  EXPECT_EQ(p[2], V_ASN1_PRINTABLESTRING);
  EXPECT_EQ(p[3], n - 4);
  for (int k = 4; k < n; ++k) EXPECT_TRUE(isalnum(p[k])) << k;
}

TEST_F(SandboxTest, OnlyKeysOfCertificatesOnNoDeviceArePublished) {
  ossl::Ptr<X509> cert(ReadCert(Pki("other-rsa.pem")));
  FILE* f = fopen(Pki("other-rsa.key").c_str(), "r");
  ASSERT_TRUE(cert && f);
  ossl::Ptr<EVP_PKEY> key(PEM_read_PrivateKey(f, nullptr, nullptr, nullptr));
  fclose(f);
  ASSERT_TRUE(key);
  EXPECT_EQ(X509_check_private_key(cert.get(), key.get()), 1);
  std::set<std::string> keys;
  for (const auto& e : std::filesystem::directory_iterator(dir_ + "/pki")) {
    if (e.path().extension() == ".key") keys.insert(e.path().filename().string());
  }
  EXPECT_EQ(keys, std::set<std::string>{"other-rsa.key"});
  auto perms = std::filesystem::status(Pki("other-rsa.key")).permissions();
  EXPECT_EQ(perms & std::filesystem::perms::group_all, std::filesystem::perms::none);
}

}  // namespace
}  // namespace tolmix::sandboxtest
