// The certificate object: decoding, and each field as the callers read it.
// Certificates come from the openssl command (Vectors.h) or, where a field
// needs a value the command cannot set, from the OpenSSL API.
#include "platform/Certificate.h"

#include <gtest/gtest.h>
#include <openssl/x509v3.h>

#include <string>
#include <vector>

#include "Vectors.h"

namespace tolmix::platform {
namespace {

using Bytes = std::vector<unsigned char>;

// GBK texts (iconv -f UTF-8 -t GBK).
constexpr char kGbkZhangSan[] = "\xD5\xC5\xC8\xFD";                  // 张三
constexpr char kGbkYanFaBu[] = "\xD1\xD0\xB7\xA2\xB2\xBF";           // 研发部
constexpr char kGbkCeShiDanWei[] = "\xB2\xE2\xCA\xD4\xB5\xA5\xCE\xBB";  // 测试单位

class CertificateVectors : public ::testing::Test {
 protected:
  void SetUp() override {
    if (test::VectorDir().empty()) GTEST_FAIL() << "make-vectors.sh failed";
  }
};

TEST_F(CertificateVectors, DecodesDerAndRefusesWhatIsNoCertificate) {
  Bytes der = test::ReadVector("utf8.der");
  std::optional<Certificate> c = Certificate::FromDer(der.data(), der.size());
  ASSERT_TRUE(c);
  EXPECT_EQ(c->Der(), der);
  EXPECT_NE(c->Get(), nullptr);

  Bytes padded = der;  // bytes after the certificate are not kept
  padded.push_back(0);
  padded.push_back(0);
  std::optional<Certificate> p = Certificate::FromDer(padded.data(), padded.size());
  ASSERT_TRUE(p);
  EXPECT_EQ(p->Der(), der);

  Bytes truncated(der.begin(), der.end() - 1);
  Bytes pem = test::ReadVector("utf8.pem");
  Bytes key = test::ReadVector("rsa.key");
  EXPECT_FALSE(Certificate::FromDer(truncated.data(), truncated.size()));
  EXPECT_FALSE(Certificate::FromDer(pem.data(), pem.size()));
  EXPECT_FALSE(Certificate::FromDer(key.data(), key.size()));
  EXPECT_FALSE(Certificate::FromDer(der.data(), 0));
  EXPECT_FALSE(Certificate::FromDer(nullptr, 10));
}

TEST_F(CertificateVectors, FieldsOfCertificateWithChineseSubject) {
  std::optional<Certificate> c = test::LoadCertificate("utf8.der");
  ASSERT_TRUE(c);
  EXPECT_EQ(c->Version(), 2);
  EXPECT_EQ(c->SerialNumber(), (Bytes{0x00, 0x80, 0x11, 0x22, 0x33}));
  EXPECT_EQ(c->SignatureAlgorithmOid(), "1.2.840.113549.1.1.11");

  std::string name = std::string("CN=") + kGbkZhangSan + " + OU=" + kGbkYanFaBu +
                     ", O=" + kGbkCeShiDanWei + ", C=CN";
  EXPECT_EQ(c->SubjectName(), name);
  EXPECT_EQ(c->IssuerName(), name);
  EXPECT_EQ(c->SimpleDisplayName(), kGbkZhangSan);
  EXPECT_EQ(c->IssuerSimpleDisplayName(), kGbkZhangSan);

  EXPECT_EQ(c->NotAfter() - c->NotBefore(), 30 * 86400);

  // digitalSignature 0x80 + keyAgreement 0x08 in the first byte,
  // decipherOnly 0x80 in the second.
  unsigned char ku[2] = {0xFF, 0xFF};
  EXPECT_TRUE(c->GetIntendedKeyUsage(ku));
  EXPECT_EQ(ku[0], 0x88);
  EXPECT_EQ(ku[1], 0x80);
  EXPECT_EQ(c->KeyUsageValue(), 0x88 + 32768);
  EXPECT_TRUE(c->HasKeyUsageExtension());
}

TEST_F(CertificateVectors, FieldsOfPlainCertificate) {
  std::optional<Certificate> c = test::LoadCertificate("plain.der");
  ASSERT_TRUE(c);
  EXPECT_EQ(c->SerialNumber(), Bytes{0x7F});
  EXPECT_EQ(c->SubjectName(), "CN=plain, O=Plain Org, C=CN");
  EXPECT_EQ(c->SimpleDisplayName(), "plain");

  unsigned char ku[2] = {0xFF, 0xFF};
  EXPECT_FALSE(c->GetIntendedKeyUsage(ku));
  EXPECT_EQ(ku[0], 0);
  EXPECT_EQ(ku[1], 0);
  EXPECT_EQ(c->KeyUsageValue(), 0);
  EXPECT_FALSE(c->HasKeyUsageExtension());
}

TEST_F(CertificateVectors, Sm2SignatureAlgorithmAsDottedOid) {
  if (test::ReadVector("sm2.der").empty()) GTEST_SKIP() << "openssl made no SM2 certificate";
  std::optional<Certificate> c = test::LoadCertificate("sm2.der");
  ASSERT_TRUE(c);
  EXPECT_EQ(c->SignatureAlgorithmOid(), "1.2.156.10197.1.501");
}

TEST(Certificate, SerialKeepsLeadingZeroOfItsEncoding) {
  struct Case {
    long value;
    Bytes bytes;
  };
  const Case cases[] = {
      {0, {0x00}},
      {0x7F, {0x7F}},
      {0x80, {0x00, 0x80}},
      {0xFF00, {0x00, 0xFF, 0x00}},
      {-1, {0xFF}},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.value);
    Certificate c = test::BuildCertificate(
        [&](X509* x) { ASN1_INTEGER_set(X509_get_serialNumber(x), k.value); });
    EXPECT_EQ(c.SerialNumber(), k.bytes);
  }
}

TEST(Certificate, VersionAndValidityInstants) {
  Certificate c = test::BuildCertificate([](X509* x) {
    X509_set_version(x, 0);
    ASN1_TIME_set_string(X509_getm_notBefore(x), "240229120000Z");     // UTCTime
    ASN1_TIME_set_string(X509_getm_notAfter(x), "20500101000000Z");  // GeneralizedTime
  });
  EXPECT_EQ(c.Version(), 0);
  EXPECT_EQ(c.NotBefore(), 1709208000);  // date -u -d 2024-02-29T12:00:00 +%s
  EXPECT_EQ(c.NotAfter(), 2524608000);   // date -u -d 2050-01-01T00:00:00 +%s
}

TEST(Certificate, KeyUsageBytes) {
  struct Case {
    const char* usage;
    uint16_t value;
  };
  const Case cases[] = {
      {"keyCertSign,cRLSign", 6},
      {"encipherOnly", 1},
      {"decipherOnly", 32768},
      {"nonRepudiation,keyEncipherment,dataEncipherment", 64 + 32 + 16},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.usage);
    Certificate c = test::BuildCertificate([&](X509* x) {
      X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, nullptr, NID_key_usage, k.usage);
      ASSERT_NE(ext, nullptr);
      X509_add_ext(x, ext, -1);
      X509_EXTENSION_free(ext);
    });
    EXPECT_EQ(c.KeyUsageValue(), k.value);
  }
}

// The chooser's filter tells a key-usage extension that does not decode
// from an absent one.
TEST(Certificate, UndecodableKeyUsageIsPresentButGivesNoBits) {
  Certificate c = test::BuildCertificate([](X509* x) {
    ASN1_OCTET_STRING* junk = ASN1_OCTET_STRING_new();
    ASN1_OCTET_STRING_set(junk, reinterpret_cast<const unsigned char*>("\x05\x00"), 2);
    X509_EXTENSION* ext = X509_EXTENSION_create_by_NID(nullptr, NID_key_usage, 0, junk);
    X509_add_ext(x, ext, -1);
    X509_EXTENSION_free(ext);
    ASN1_OCTET_STRING_free(junk);
  });
  unsigned char ku[2] = {0xFF, 0xFF};
  EXPECT_TRUE(c.HasKeyUsageExtension());
  EXPECT_FALSE(c.GetIntendedKeyUsage(ku));
  EXPECT_EQ(ku[0] | ku[1], 0);
  EXPECT_EQ(c.KeyUsageValue(), 0);
}

// Builds a certificate whose subject has FIELDS (short name, value) in
// encoded order and, when SAN is given, a subject alternative name.
Certificate WithSubject(std::vector<std::pair<const char*, const char*>> fields,
                        const char* san = nullptr) {
  return test::BuildCertificate([&](X509* x) {
    X509_NAME* name = X509_NAME_new();
    for (auto& [field, value] : fields) {
      X509_NAME_add_entry_by_txt(name, field, MBSTRING_UTF8,
                                 reinterpret_cast<const unsigned char*>(value), -1, -1, 0);
    }
    X509_set_subject_name(x, name);
    X509_NAME_free(name);
    if (san != nullptr) {
      X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, nullptr, NID_subject_alt_name, san);
      ASSERT_NE(ext, nullptr);
      X509_add_ext(x, ext, -1);
      X509_EXTENSION_free(ext);
    }
  });
}

TEST(Certificate, SimpleDisplayNameOrder) {
  EXPECT_EQ(WithSubject({{"emailAddress", "e@x.cn"}, {"O", "org"}, {"OU", "unit"},
                         {"CN", "first"}, {"CN", "second"}})
                .SimpleDisplayName(),
            "first");
  EXPECT_EQ(WithSubject({{"emailAddress", "e@x.cn"}, {"O", "org"}, {"OU", "unit"}})
                .SimpleDisplayName(),
            "unit");
  EXPECT_EQ(WithSubject({{"emailAddress", "e@x.cn"}, {"O", "org"}}).SimpleDisplayName(), "org");
  EXPECT_EQ(WithSubject({{"C", "CN"}, {"emailAddress", "e@x.cn"}}).SimpleDisplayName(),
            "e@x.cn");
  EXPECT_EQ(WithSubject({{"C", "CN"}}, "DNS:host.cn,email:alt@x.cn").SimpleDisplayName(),
            "alt@x.cn");
  EXPECT_EQ(WithSubject({{"L", "Haidian"}, {"C", "CN"}}).SimpleDisplayName(), "Haidian");
  EXPECT_EQ(WithSubject({}).SimpleDisplayName(), "");

  // The issuer's display name reads the issuer name ("CN=api").
  EXPECT_EQ(WithSubject({{"O", "org"}}).IssuerSimpleDisplayName(), "api");
}

TEST(Certificate, CopyKeepsKeyProviderAndCertificate) {
  Certificate c = test::BuildCertificate([](X509*) {});
  EXPECT_FALSE(c.KeyProvider());
  c.SetKeyProvider({"Soft RSA Provider", "container-1"});
  Certificate copy = c;
  ASSERT_TRUE(copy.KeyProvider());
  EXPECT_EQ(copy.KeyProvider()->providerName, "Soft RSA Provider");
  EXPECT_EQ(copy.KeyProvider()->containerName, "container-1");
  EXPECT_EQ(copy.Der(), c.Der());
  EXPECT_EQ(copy.Get(), c.Get());
}

}  // namespace
}  // namespace tolmix::platform
