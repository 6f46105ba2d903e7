#include "TestCerts.h"

#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/objects.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/x509v3.h>
#include <unistd.h>

#include <cstdlib>

#include "engine/OsslPtr.h"
#include "platform/CodePage.h"

namespace tolmix::test {
namespace {

EVP_PKEY* KeyOf(KeyKind kind) {
  static EVP_PKEY* rsa = EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", size_t{1024});
  static EVP_PKEY* sm2 = EVP_PKEY_Q_keygen(nullptr, nullptr, "SM2");
  return kind == KeyKind::kRsa ? rsa : sm2;
}

ossl::Ptr<X509_NAME> NameOf(const std::vector<Attr>& attrs) {
  ossl::Ptr<X509_NAME> name(X509_NAME_new());
  for (const Attr& a : attrs) {
    int ok = X509_NAME_add_entry_by_txt(name.get(), a.field.c_str(), MBSTRING_UTF8,
                                        reinterpret_cast<const unsigned char*>(a.value.data()),
                                        static_cast<int>(a.value.size()), -1,
                                        a.joinPrevious ? -1 : 0);
    EXPECT_EQ(ok, 1) << a.field;
  }
  return name;
}

void AddExtension(X509* x, int nid, const std::string& text) {
  ossl::Ptr<X509_EXTENSION> ext(X509V3_EXT_conf_nid(nullptr, nullptr, nid, text.c_str()));
  ASSERT_TRUE(ext);
  X509_add_ext(x, ext.get(), -1);
}

ossl::Ptr<X509> MakeX509(const CertSpec& shape) {
  ossl::Ptr<X509> x(X509_new());
  X509_set_version(x.get(), 2);
  BIGNUM* bn = nullptr;
  EXPECT_GT(BN_hex2bn(&bn, shape.serialHex.c_str()), 0);
  BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(x.get()));
  BN_free(bn);
  X509_set_subject_name(x.get(), NameOf(shape.subject).get());
  X509_set_issuer_name(x.get(), NameOf(shape.issuer).get());
  ASN1_TIME_set(X509_getm_notBefore(x.get()), shape.notBefore);
  ASN1_TIME_set(X509_getm_notAfter(x.get()), shape.notAfter);
  EVP_PKEY* key = KeyOf(shape.key);
  X509_set_pubkey(x.get(), key);
  if (!shape.keyUsage.empty()) AddExtension(x.get(), NID_key_usage, shape.keyUsage);
  if (!shape.privateOid.empty()) {
    ossl::Ptr<ASN1_OBJECT> oid(OBJ_txt2obj(shape.privateOid.c_str(), 1));
    ASN1_OCTET_STRING* value = ASN1_OCTET_STRING_new();
    ASN1_OCTET_STRING_set(value, reinterpret_cast<const unsigned char*>(shape.privateValue.data()),
                          static_cast<int>(shape.privateValue.size()));
    ossl::Ptr<X509_EXTENSION> ext(X509_EXTENSION_create_by_OBJ(nullptr, oid.get(), 0, value));
    ASN1_OCTET_STRING_free(value);
    X509_add_ext(x.get(), ext.get(), -1);
  }
  const EVP_MD* md = shape.key == KeyKind::kRsa ? EVP_sha256() : EVP_sm3();
  EXPECT_GT(X509_sign(x.get(), key, md), 0);
  return x;
}

}  // namespace

std::string MakePem(const CertSpec& shape) {
  ossl::Ptr<X509> x = MakeX509(shape);
  ossl::Ptr<BIO> bio(BIO_new(BIO_s_mem()));
  PEM_write_bio_X509(bio.get(), x.get());
  char* data = nullptr;
  long n = BIO_get_mem_data(bio.get(), &data);
  return std::string(data, static_cast<size_t>(n));
}

std::string PemToBase64Body(const std::string& pem) {
  size_t start = pem.find('\n') + 1;
  size_t end = pem.find("-----END");
  return pem.substr(start, end - start);
}

ossl::Ptr<PKCS12> MakePfx(const CertSpec& shape, const std::string& passwordUtf8, bool withCert,
                          int certPbe, int macIter, int iter) {
  ossl::Ptr<X509> x = MakeX509(shape);
  ossl::Ptr<PKCS12> p12(PKCS12_create(passwordUtf8.c_str(), "test", KeyOf(shape.key),
                                      withCert ? x.get() : nullptr, nullptr, 0, certPbe, iter,
                                      macIter, 0));
  EXPECT_TRUE(p12);
  return p12;
}

std::string SavePfx(PKCS12* p12) {
  char path[] = "/tmp/h14-pfx-XXXXXX";
  int fd = mkstemp(path);
  close(fd);
  ossl::Ptr<BIO> out(BIO_new_file(path, "wb"));
  EXPECT_EQ(i2d_PKCS12_bio(out.get(), p12), 1);
  return path;
}

std::string WritePfx(const CertSpec& shape, const std::string& passwordUtf8, bool withCert) {
  return SavePfx(MakePfx(shape, passwordUtf8, withCert, 0, 0).get());
}

CertSpec FullSpec() {
  CertSpec s;
  s.subject = {{"C", "CN"},
               {"ST", "北京市"},
               {"L", "海淀区"},
               {"O", "Acme, Inc."},
               {"OU", "say \"hi\""},
               {"CN", "张三"},
               {"emailAddress", "zhang@example.cn", true}};
  s.issuer = {{"C", "CN"}, {"O", "ORVA Root"}, {"CN", "ORVA"}, {"emailAddress", "ca@orva.cn"}};
  s.serialHex = "FF0102";
  s.keyUsage = "digitalSignature,nonRepudiation,keyEncipherment,decipherOnly";
  s.privateOid = kPrivateOid;
  s.privateValue = std::string("\x13\x12") + "110101199001011234";
  return s;
}

// Every test runs in UTC+8 without daylight saving.
class FixedZone : public ::testing::Environment {
 public:
  void SetUp() override {
    setenv("TZ", "CST-8", 1);
    tzset();
  }
};
const ::testing::Environment* const kFixedZone =
    ::testing::AddGlobalTestEnvironment(new FixedZone);

std::string Gbk(const std::string& utf8) {
  std::string out;
  EXPECT_TRUE(platform::Utf8ToGbk(utf8, &out)) << utf8;
  return out;
}

}  // namespace tolmix::test
