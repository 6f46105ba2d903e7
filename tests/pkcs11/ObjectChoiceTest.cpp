// The rule that picks a token certificate for a key kind, and the key-id
// forms of ENGINE_load_private_key.
#include "modules/pkcs11_rsa_key/ObjectChoice.h"

#include <gtest/gtest.h>
#include <openssl/ec.h>
#include <openssl/x509v3.h>

#include "engine/OsslPtr.h"

namespace tolmix::p11 {
namespace {

// A self-signed certificate with the given keyUsage text ("" = none).
ossl::Ptr<X509> MakeCert(const char* usage) {
  static ossl::Ptr<EVP_PKEY> key(EVP_EC_gen("P-256"));
  ossl::Ptr<X509> cert(X509_new());
  X509_set_version(cert.get(), 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), 1);
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), 0);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), 3600);
  X509_NAME_add_entry_by_txt(X509_get_subject_name(cert.get()), "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>(usage), -1, -1, 0);
  X509_set_issuer_name(cert.get(), X509_get_subject_name(cert.get()));
  X509_set_pubkey(cert.get(), key.get());
  if (*usage) {
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, nullptr, NID_key_usage, usage);
    X509_add_ext(cert.get(), ext, -1);
    X509_EXTENSION_free(ext);
  }
  X509_sign(cert.get(), key.get(), EVP_sha256());
  return cert;
}

TEST(ObjectChoiceTest, FitnessByKeyUsage) {
  struct Case {
    const char* usage;
    int signature;
    int exchange;
  } cases[] = {
      {"digitalSignature", 3, 0},
      {"nonRepudiation", 3, 0},
      {"keyEncipherment", 0, 3},
      {"dataEncipherment", 0, 3},
      {"keyAgreement", 0, 3},
      {"digitalSignature,keyEncipherment", 2, 2},
      {"keyCertSign,cRLSign", 0, 0},
      {"", 1, 1},
  };
  for (const Case& c : cases) {
    ossl::Ptr<X509> cert = MakeCert(c.usage);
    EXPECT_EQ(KindFitness(cert.get(), kKeyKindSignature), c.signature) << c.usage;
    EXPECT_EQ(KindFitness(cert.get(), kKeyKindExchange), c.exchange) << c.usage;
    EXPECT_EQ(KindFitness(cert.get(), 7), c.exchange) << "other kinds read as exchange";
  }
  EXPECT_EQ(KindFitness(nullptr, kKeyKindSignature), 0);
}

TEST(ObjectChoiceTest, DedicatedBeforeDualUseBeforeUnmarkedThenTokenOrder) {
  ossl::Ptr<X509> none = MakeCert("");
  ossl::Ptr<X509> dual = MakeCert("digitalSignature,keyEncipherment");
  ossl::Ptr<X509> sign1 = MakeCert("nonRepudiation");
  ossl::Ptr<X509> sign2 = MakeCert("digitalSignature");
  ossl::Ptr<X509> ca = MakeCert("keyCertSign");

  std::vector<X509*> certs = {none.get(), dual.get(), sign1.get(), sign2.get()};
  EXPECT_EQ(ChooseCertificate(certs, kKeyKindSignature), 2);
  EXPECT_EQ(ChooseCertificate(certs, kKeyKindExchange), 1);
  EXPECT_EQ(ChooseCertificate({none.get(), ca.get()}, kKeyKindExchange), 0);
  EXPECT_EQ(ChooseCertificate({ca.get()}, kKeyKindSignature), -1);
  // Null entries (certificates without a key) never take part.
  EXPECT_EQ(ChooseCertificate({nullptr, sign2.get(), nullptr}, kKeyKindSignature), 1);
  EXPECT_EQ(ChooseCertificate({}, kKeyKindSignature), -1);
}

// Certificates are asked for (and so parsed) only while the choice can
// still change: none after the first one of the wanted kind only.
TEST(ObjectChoiceTest, AsksForNoCertificateAfterADedicatedOne) {
  ossl::Ptr<X509> dual = MakeCert("digitalSignature,keyEncipherment");
  ossl::Ptr<X509> none = MakeCert("");
  ossl::Ptr<X509> sign = MakeCert("digitalSignature");
  ossl::Ptr<X509> enc = MakeCert("keyEncipherment");
  const std::vector<X509*> certs = {dual.get(), none.get(), sign.get(), enc.get()};
  std::vector<size_t> asked;
  auto get = [&](size_t i) {
    asked.push_back(i);
    return certs[i];
  };
  struct Case {
    int kind;
    int chosen;
    std::vector<size_t> asked;
  } cases[] = {
      {kKeyKindSignature, 2, {0, 1, 2}},
      {kKeyKindExchange, 3, {0, 1, 2, 3}},
  };
  for (const Case& c : cases) {
    asked.clear();
    EXPECT_EQ(ChooseCertificate(certs.size(), get, c.kind), c.chosen) << c.kind;
    EXPECT_EQ(asked, c.asked) << c.kind;
    EXPECT_EQ(ChooseCertificate(certs, c.kind), c.chosen) << "the list form agrees";
  }
  // Without a dedicated one every certificate is looked at; null entries
  // (no key) still never win.
  asked.clear();
  const std::vector<X509*> mixed = {nullptr, none.get(), dual.get()};
  EXPECT_EQ(ChooseCertificate(mixed.size(), [&](size_t i) { asked.push_back(i); return mixed[i]; },
                              kKeyKindSignature),
            2);
  EXPECT_EQ(asked, (std::vector<size_t>{0, 1, 2}));
}

TEST(ObjectChoiceTest, KeySelectorForms) {
  KeySelector s;
  ASSERT_TRUE(ParseKeySelector(nullptr, &s));
  EXPECT_EQ(s.by, KeySelector::By::kKind);
  EXPECT_EQ(s.kind, kKeyKindSignature);
  ASSERT_TRUE(ParseKeySelector("1", &s));
  EXPECT_EQ(s.kind, kKeyKindExchange);
  ASSERT_TRUE(ParseKeySelector("id:0aFF", &s));
  EXPECT_EQ(s.by, KeySelector::By::kId);
  EXPECT_EQ(s.id, (std::vector<unsigned char>{0x0A, 0xFF}));
  ASSERT_TRUE(ParseKeySelector("label:my key", &s));
  EXPECT_EQ(s.by, KeySelector::By::kLabel);
  EXPECT_EQ(s.label, "my key");
  for (const char* bad : {"3", "id:", "id:abc", "id:zz", "sign", "label"}) {
    EXPECT_FALSE(ParseKeySelector(bad, &s)) << bad;
  }
}

}  // namespace
}  // namespace tolmix::p11
