// Envelopes in memory: made by us and opened by OpenSSL's command, made by
// OpenSSL and opened with the device keys, SM2 through the soft SKF key,
// and the failures that must never come back as plaintext.
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <openssl/pkcs7.h>

#include "engine/CMSEngine.h"
#include "engine/OsslPtr.h"
#include "tests/envelope/EnvelopeBed.h"

namespace tolmix::envelopetest {
namespace {

std::string Asn1Parse(const std::string& pem) {
  int status = -1;
  return Run("openssl asn1parse -inform PEM -in " + Quoted(WriteFile(Scratch("p7.pem"), pem)), &status);
}

TEST(EnvelopeMemory, RsaEnvelopeOpensWithOpensslAndUsesTripleDes) {
  const std::string content = "envelope \xC4\xFA\xBA\xC3 \x01\xFF";  // GBK and binary bytes
  Outcome o = Encrypt("SKF", content, "other-rsa.pem");
  ASSERT_EQ(o.result, 0);
  EXPECT_EQ(o.iface, "P11");  // an RSA certificate under "SKF" runs as "P11"
  EXPECT_EQ(o.text.rfind("-----BEGIN PKCS7-----\n", 0), 0u);
  EXPECT_EQ(OpensslDecryptFile(WriteFile(Scratch("rsa.pem"), o.text)), content);
  EXPECT_NE(Asn1Parse(o.text).find(":des-ede3-cbc"), std::string::npos);
  EXPECT_EQ(Encrypt("CSP", content, "other-rsa.pem").iface, "CSP");
}

TEST(EnvelopeMemory, TooSmallCapacityFailsWithTheSizeNeeded) {
  // The control's capacity, content + 10240, is short of the PEM text of a
  // content over about 26 KB: never a cut envelope reported as written.
  CMSEngine engine;
  engine.SetInterface("CSP");
  const std::string cert = ReadFile(Pki("other-rsa.pem"));
  const std::string content(40000, 'x');
  const unsigned capacity = static_cast<unsigned>(content.size()) + 10240;
  std::vector<char> out(capacity + 1, '\0');
  unsigned len = capacity;
  EXPECT_EQ(engine.EnvelopeEncrypt(content.data(), 40000, cert.c_str(), out.data(), &len), -1);
  EXPECT_GT(len, capacity);
  EXPECT_EQ(out[0], '\0');

  out.assign(len + 1, '\0');
  unsigned needed = len;
  ASSERT_EQ(engine.EnvelopeEncrypt(content.data(), 40000, cert.c_str(), out.data(), &len), 0);
  EXPECT_EQ(len, needed);
  EXPECT_EQ(OpensslDecryptFile(WriteFile(Scratch("big.pem"), std::string(out.data(), len))), content);
}

TEST(EnvelopeMemory, OpensslEnvelopesOpenWithTheDeviceKeys) {
  for (const Device* d : {&kP11, &kCsp}) {
    const std::string content = std::string("to ") + d->iface + " \x01\xFF";
    const std::string pem = OpensslEncrypt(content, d->cert);
    ASSERT_FALSE(pem.empty());
    Outcome o = Decrypt(*d, pem);
    EXPECT_EQ(o.result, 0) << d->iface;
    EXPECT_EQ(o.text, content) << d->iface;
    EXPECT_EQ(o.iface, d->iface);
  }
}

TEST(EnvelopeMemory, Sm2EnvelopeRoundTripsThroughTheSkfKey) {
  const std::string content = "SM2 \xB2\xE2\xCA\xD4 envelope";
  Outcome enc = Encrypt("P11", content, kSkf.cert);
  ASSERT_EQ(enc.result, 0);
  EXPECT_EQ(enc.iface, "SKF");
  const std::string parsed = Asn1Parse(enc.text);
  EXPECT_NE(parsed.find("1.2.156.10197.1.301.3"), std::string::npos) << parsed;
  EXPECT_NE(parsed.find(":des-ede3-cbc"), std::string::npos);
  Outcome dec = Decrypt(kSkf, enc.text);
  EXPECT_EQ(dec.result, 0);
  EXPECT_EQ(dec.text, content);
}

TEST(EnvelopeMemory, EnvelopeForAnotherRecipientFails) {
  Outcome enc = Encrypt("CSP", "not for you", "other-rsa.pem");
  ASSERT_EQ(enc.result, 0);
  for (const Device* d : {&kP11, &kCsp, &kSkf}) {
    Outcome o = Decrypt(*d, enc.text);
    EXPECT_EQ(o.result, -1) << d->iface;
    EXPECT_EQ(o.text, "") << d->iface;
  }
}

// An envelope for the P11 exchange certificate whose wrapped content key
// is damaged: the key cannot unwrap it and OpenSSL goes on with a random
// content key.  Only the padding check stops the garbage; a random key
// ends on valid padding about once in 256 tries, hence the counts.
TEST(EnvelopeMemory, KeyThatCannotOpenTheContentKeyFailsInMemoryAndFiles) {
  Outcome enc = Encrypt("CSP", std::string(1000, 'k'), kP11.cert);
  ASSERT_EQ(enc.result, 0);
  ossl::Ptr<BIO> in(BIO_new_mem_buf(enc.text.data(), static_cast<int>(enc.text.size())));
  ossl::Ptr<PKCS7> p7(PEM_read_bio_PKCS7(in.get(), nullptr, nullptr, nullptr));
  ASSERT_TRUE(p7);
  PKCS7_RECIP_INFO* ri = sk_PKCS7_RECIP_INFO_value(p7->d.enveloped->recipientinfo, 0);
  // The string is opaque from OpenSSL 4.0 on: damage a copy and set it back.
  std::string key(reinterpret_cast<const char*>(ASN1_STRING_get0_data(ri->enc_key)),
                  static_cast<size_t>(ASN1_STRING_length(ri->enc_key)));
  key[key.size() / 2] ^= 0x5A;
  ASSERT_TRUE(ASN1_STRING_set(ri->enc_key, key.data(), static_cast<int>(key.size())));
  ossl::Ptr<BIO> out(BIO_new(BIO_s_mem()));
  ASSERT_TRUE(PEM_write_bio_PKCS7(out.get(), p7.get()));
  char* p = nullptr;
  const std::string pem(p, static_cast<size_t>(BIO_get_mem_data(out.get(), &p)));
  const std::string src = WriteFile(Scratch("damaged.pem"), pem);

  int memoryFailures = 0, fileFailures = 0;
  for (int i = 0; i < 3; ++i) {
    Outcome o = Decrypt(kP11, pem);
    if (o.result != 0) ++memoryFailures;
    EXPECT_NE(o.text, std::string(1000, 'k'));
    const std::string dst = WriteFile(Scratch("kept"), "kept");
    if (DecryptFile(kP11, src, dst) != 0) ++fileFailures;
    EXPECT_NE(ReadFile(dst), std::string(1000, 'k'));
  }
  EXPECT_GE(memoryFailures, 2);
  EXPECT_GE(fileFailures, 2);
}

TEST(EnvelopeMemory, PlaintextEndsAtItsFirstNulAndEmptyPlaintextFails) {
  Outcome enc = Encrypt("CSP", std::string("head\0tail", 9), kP11.cert);
  ASSERT_EQ(enc.result, 0);
  EXPECT_EQ(Decrypt(kP11, enc.text).text, "head");

  unsigned len = 0;
  EXPECT_EQ(DecryptBuffer(kP11, enc.text, nullptr, &len), 0);  // size query over all 9 bytes
  EXPECT_EQ(len, (9u + 2) / 3 * 4 + 1);
  char out[8] = "XXXXXXX";
  len = 5;  // "head" and its NUL
  EXPECT_EQ(DecryptBuffer(kP11, enc.text, out, &len), 0);
  EXPECT_EQ(len, 4u);
  EXPECT_STREQ(out, "head");
  len = 4;  // no room for the NUL
  EXPECT_EQ(DecryptBuffer(kP11, enc.text, out, &len), -1);
  EXPECT_EQ(len, 5u);

  Outcome empty = Encrypt("CSP", "", kP11.cert);
  ASSERT_EQ(empty.result, 0);
  EXPECT_EQ(Decrypt(kP11, empty.text).result, -1);
}

}  // namespace
}  // namespace tolmix::envelopetest
