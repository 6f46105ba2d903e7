// gmEngine: opening an envelope whose content key is wrapped for the SM2
// encryption certificate, and the SM3 digest behind the SHA-1 method.
#include <cstring>
#include <string>

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/pkcs7.h>

#include "tests/gmengine/GmTestSupport.h"

namespace gmtest {
namespace {

using tolmix::ossl::Ptr;

// A recipient entry for CERT.  PKCS7_add_recipient refuses SM2 and EC keys
// in OpenSSL 3.0 ("encryption not supported for this key type"); the entry
// made here is what it would make, and PKCS7_dataInit wraps the content key
// for it with the certificate's SM2 key.
bool AddRecipientByHand(PKCS7* p7, X509* cert) {
  ERR_set_mark();
  bool stock = PKCS7_add_recipient(p7, cert) != nullptr;
  ERR_pop_to_mark();
  if (stock) return true;
  PKCS7_RECIP_INFO* ri = PKCS7_RECIP_INFO_new();
  if (!ri || !ASN1_INTEGER_set(ri->version, 0) ||
      !X509_NAME_set(&ri->issuer_and_serial->issuer, X509_get_issuer_name(cert))) {
    PKCS7_RECIP_INFO_free(ri);
    return false;
  }
  ASN1_INTEGER_free(ri->issuer_and_serial->serial);
  ri->issuer_and_serial->serial = ASN1_INTEGER_dup(X509_get0_serialNumber(cert));
  X509_ALGOR_set0(ri->key_enc_algor, OBJ_nid2obj(NID_sm2), V_ASN1_UNDEF, nullptr);
  X509_up_ref(cert);
  ri->cert = cert;
  if (!PKCS7_add_recipient_info(p7, ri)) {
    PKCS7_RECIP_INFO_free(ri);
    return false;
  }
  return true;
}

// A Triple-DES envelope of CONTENT for CERT, as PEM; "" on failure.
std::string Envelope(X509* cert, const std::string& content) {
  Ptr<PKCS7> p7(PKCS7_new());
  if (!PKCS7_set_type(p7.get(), NID_pkcs7_enveloped) ||
      !PKCS7_set_cipher(p7.get(), EVP_des_ede3_cbc()) || !AddRecipientByHand(p7.get(), cert)) {
    return "";
  }
  Ptr<BIO> chain(PKCS7_dataInit(p7.get(), nullptr));
  if (!chain || BIO_write(chain.get(), content.data(), static_cast<int>(content.size())) <= 0) {
    return "";
  }
  BIO_flush(chain.get());
  Ptr<BIO> out(BIO_new(BIO_s_mem()));
  if (!PKCS7_dataFinal(p7.get(), chain.get()) || !PEM_write_bio_PKCS7(out.get(), p7.get())) {
    return "";
  }
  char* p = nullptr;
  long n = BIO_get_mem_data(out.get(), &p);
  return std::string(p, static_cast<size_t>(n));
}

// Opens the envelope PEM with KEY and CERT as the system does; the
// plaintext, or "<failed>".
std::string Open(const std::string& pem, EVP_PKEY* key, X509* cert) {
  Ptr<BIO> in(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  Ptr<PKCS7> p7(PEM_read_bio_PKCS7(in.get(), nullptr, nullptr, nullptr));
  if (!p7) return "<failed>";
  Ptr<BIO> chain(PKCS7_dataDecode(p7.get(), key, nullptr, cert));
  if (!chain) return "<failed>";
  std::string out;
  char buf[1024];
  for (int n; (n = BIO_read(chain.get(), buf, sizeof buf)) > 0;) out.append(buf, n);
  return out;
}

std::string DigestOf(const EVP_MD* md, const std::string& data) {
  Ptr<EVP_MD_CTX> ctx(EVP_MD_CTX_new());
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int n = 0;
  if (!EVP_DigestInit_ex(ctx.get(), md, nullptr) ||
      !EVP_DigestUpdate(ctx.get(), data.data(), data.size()) ||
      !EVP_DigestFinal_ex(ctx.get(), out, &n)) {
    return "<failed>";
  }
  return std::string(reinterpret_cast<char*>(out), n);
}

std::string Sm3(const std::string& data) {
  unsigned char out[32];
  unsigned int n = 0;
  EVP_Digest(data.data(), data.size(), out, &n, EVP_sm3(), nullptr);
  return std::string(reinterpret_cast<char*>(out), n);
}

const std::string kSha1Abc("\xA9\x99\x3E\x36\x47\x06\x81\x6A\xBA\x3E\x25\x71\x78\x50\xC2\x6C"
                           "\x9C\xD0\xD8\x9D", 20);

TEST_F(GmEngineTest, OpensATripleDesEnvelopeWithTheDeviceEncryptionKey) {
  const std::string secret = "a secret for the encryption certificate";
  std::string pem = Envelope(EncIdentity().cert.get(), secret);
  ASSERT_FALSE(pem.empty()) << DrainErrors();
  LoadEngine();
  Ptr<EVP_PKEY> key = LoadKey(kUserName);
  ASSERT_TRUE(key) << DrainErrors();
  ClearCalls();
  static char one[] = "1";
  ENGINE_set_ex_data(engine_, 6, one);
  ENGINE_set_ex_data(engine_, 8, one);
  EXPECT_EQ(Open(pem, key.get(), EncIdentity().cert.get()), secret) << DrainErrors();
  EXPECT_EQ(CountCalls("SKFX_ECCDecryptDer"), 1);

  // Wrapped for the signature certificate instead: the encryption pair
  // cannot unwrap it.  The device refuses; OpenSSL then goes on with a
  // random content key (its defence against padding oracles), so the
  // plaintext is garbage rather than an error.
  std::string for_sign = Envelope(SignIdentity().cert.get(), secret);
  EXPECT_NE(Open(for_sign, key.get(), SignIdentity().cert.get()), secret);
  EXPECT_EQ(CountCalls("SKFX_ECCDecryptDer"), 2);
  ERR_clear_error();
}

TEST_F(GmEngineTest, DeviceKeyWrapsInSoftwareAndUnwrapsInTheDevice) {
  LoadEngine();
  Ptr<EVP_PKEY> key = LoadKey("Other");
  ASSERT_TRUE(key) << DrainErrors();
  // "Other" has a signature pair only: its key wraps for the signature
  // certificate's point, and the device unwraps with the signature pair.
  const unsigned char content_key[24] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12,
                                         13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24};
  Ptr<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new(key.get(), nullptr));
  unsigned char wrapped[256], plain[256];
  size_t wrapped_len = sizeof wrapped, plain_len = sizeof plain;
  ASSERT_EQ(EVP_PKEY_encrypt_init(ctx.get()), 1);
  ASSERT_EQ(EVP_PKEY_encrypt(ctx.get(), wrapped, &wrapped_len, content_key, sizeof content_key), 1);
  ASSERT_EQ(EVP_PKEY_decrypt_init(ctx.get()), 1);
  ASSERT_EQ(EVP_PKEY_decrypt(ctx.get(), plain, &plain_len, wrapped, wrapped_len), 1)
      << DrainErrors();
  EXPECT_EQ(std::string(reinterpret_cast<char*>(plain), plain_len),
            std::string(reinterpret_cast<const char*>(content_key), sizeof content_key));
  // A public key from a certificate has no device to unwrap with.
  Ptr<EVP_PKEY> pub(ENGINE_load_public_key(engine_, nullptr, nullptr, SignIdentity().cert.get()));
  Ptr<EVP_PKEY_CTX> pctx(EVP_PKEY_CTX_new(pub.get(), nullptr));
  ASSERT_EQ(EVP_PKEY_decrypt_init(pctx.get()), 1);
  plain_len = sizeof plain;
  EXPECT_NE(EVP_PKEY_decrypt(pctx.get(), plain, &plain_len, wrapped, wrapped_len), 1);
  EXPECT_NE(DrainErrors().find("gmEngine: decryption needs a key"), std::string::npos);
  ERR_clear_error();
}

TEST_F(GmEngineTest, ShaOneMethodAnswersSm3WhileLoadedAndShaOneAfterRelease) {
  ASSERT_EQ(DigestOf(EVP_sha1(), "abc"), kSha1Abc);
  LoadEngine();
  EXPECT_EQ(DigestOf(EVP_sha1(), "abc"), Sm3("abc"));
  // Copies of a running context go on with SM3 (the PKCS#7 digest BIO
  // copies contexts).
  Ptr<EVP_MD_CTX> a(EVP_MD_CTX_new()), b(EVP_MD_CTX_new());
  ASSERT_TRUE(EVP_DigestInit_ex(a.get(), EVP_sha1(), nullptr));
  ASSERT_TRUE(EVP_DigestUpdate(a.get(), "ab", 2));
  ASSERT_TRUE(EVP_MD_CTX_copy_ex(b.get(), a.get()));
  ASSERT_TRUE(EVP_DigestUpdate(b.get(), "c", 1));
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int n = 0;
  ASSERT_TRUE(EVP_DigestFinal_ex(b.get(), out, &n));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(out), n), Sm3("abc"));
  EXPECT_EQ(EVP_MD_CTX_get_type(b.get()), NID_sha1);
  a.reset();
  b.reset();

  ReleaseEngine();
  EXPECT_EQ(DigestOf(EVP_sha1(), "abc"), kSha1Abc);
  EXPECT_EQ(DigestOf(EVP_get_digestbynid(NID_sha1), "abc"), kSha1Abc);
}

TEST_F(GmEngineTest, ReleaseInTheSystemsOrderLeavesNothingBehind) {
  // The system's clean-up: unregister, take off the list, then finish.
  LoadEngine();
  Ptr<EVP_PKEY> key = LoadKey(kUserName);
  ASSERT_TRUE(key);
  ASSERT_EQ(DigestOf(EVP_sha1(), "abc"), Sm3("abc"));
  key.reset();
  ENGINE_unregister_digests(dynamic_);
  ENGINE_unregister_pkey_meths(dynamic_);
  ENGINE_remove(dynamic_);
  ENGINE_free(engine_);
  engine_ = nullptr;
  ENGINE_finish(dynamic_);
  ENGINE_free(dynamic_);
  dynamic_ = nullptr;
  EXPECT_EQ(DigestOf(EVP_sha1(), "abc"), kSha1Abc);
  // Loaded again: the new engine supplies the digest again.
  LoadEngine();
  EXPECT_EQ(DigestOf(EVP_sha1(), "abc"), Sm3("abc"));
}

TEST_F(GmEngineTest, LoadedButNeverInitialisedEngineUnregistersWhenFreed) {
  ENGINE_load_dynamic();
  ENGINE* e = ENGINE_by_id("dynamic");
  ASSERT_NE(e, nullptr);
  ASSERT_TRUE(ENGINE_ctrl_cmd_string(e, "SO_PATH", GMENGINE_SO, 0));
  ASSERT_TRUE(ENGINE_ctrl_cmd_string(e, "LOAD", nullptr, 0));
  EXPECT_EQ(DigestOf(EVP_sha1(), "abc"), Sm3("abc"));
  ENGINE_free(e);  // not listed: this is the last reference
  EXPECT_EQ(DigestOf(EVP_sha1(), "abc"), kSha1Abc);
}

}  // namespace
}  // namespace gmtest
