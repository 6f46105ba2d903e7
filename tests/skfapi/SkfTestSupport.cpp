#include "tests/skfapi/SkfTestSupport.h"

#include <cstdlib>
#include <filesystem>

#include <openssl/pem.h>

#include "util/OsslPtr.h"

namespace skftest {
namespace {

std::string MemText(BIO* bio) {
  char* p = nullptr;
  long n = BIO_get_mem_data(bio, &p);
  return std::string(p, static_cast<size_t>(n));
}

Identity MakeIdentity(Key key, const char* cn, const EVP_MD* md) {
  Identity id;
  Cert x(X509_new());
  X509_set_version(x.get(), 2);
  ASN1_INTEGER_set(X509_get_serialNumber(x.get()), 1);
  // A name of its own: OpenSSL 4.0's X509_get_subject_name hands out a
  // const name, which is no longer edited in place.
  tolmix::ossl::Ptr<X509_NAME> owned_name(X509_NAME_new());
  X509_NAME* name = owned_name.get();
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(cn),
                             -1, -1, 0);
  X509_set_subject_name(x.get(), name);
  X509_set_issuer_name(x.get(), name);
  X509_gmtime_adj(X509_getm_notBefore(x.get()), 0);
  X509_gmtime_adj(X509_getm_notAfter(x.get()), 86400);
  X509_set_pubkey(x.get(), key.get());
  EXPECT_GT(X509_sign(x.get(), key.get(), md), 0) << cn;
  BIO* kb = BIO_new(BIO_s_mem());
  BIO* cb = BIO_new(BIO_s_mem());
  PEM_write_bio_PrivateKey(kb, key.get(), nullptr, nullptr, 0, nullptr, nullptr);
  PEM_write_bio_X509(cb, x.get());
  id.keyPem = MemText(kb);
  id.certPem = MemText(cb);
  BIO_free(kb);
  BIO_free(cb);
  unsigned char* der = nullptr;
  int len = i2d_X509(x.get(), &der);
  id.certDer.assign(der, der + len);
  OPENSSL_free(der);
  id.cert = std::move(x);
  return id;
}

}  // namespace

EVP_PKEY* Identity::PublicKey() const { return X509_get0_pubkey(cert.get()); }

const Identity& Sm2Sign() {
  static Identity id = MakeIdentity(Key(EVP_PKEY_Q_keygen(nullptr, nullptr, "SM2")), "SM2 signer",
                                    EVP_sm3());
  return id;
}

const Identity& Sm2Enc() {
  static Identity id = MakeIdentity(Key(EVP_PKEY_Q_keygen(nullptr, nullptr, "SM2")),
                                    "SM2 encipherer", EVP_sm3());
  return id;
}

const Identity& RsaSign() {
  static Identity id = MakeIdentity(Key(EVP_RSA_gen(2048)), "RSA signer", EVP_sha256());
  return id;
}

#define SKFTEST_RESOLVE(field, name)                                              \
  field = reinterpret_cast<decltype(field)>(lib.Symbol(#name));                   \
  complete = complete && field != nullptr

Api::Api(const Library& lib) {
  SKFTEST_RESOLVE(EnumDev, SKF_EnumDev);
  SKFTEST_RESOLVE(ConnectDev, SKF_ConnectDev);
  SKFTEST_RESOLVE(DisConnectDev, SKF_DisConnectDev);
  SKFTEST_RESOLVE(GetDevInfo, SKF_GetDevInfo);
  SKFTEST_RESOLVE(GetPINInfo, SKF_GetPINInfo);
  SKFTEST_RESOLVE(VerifyPIN, SKF_VerifyPIN);
  SKFTEST_RESOLVE(ClearSecureState, SKF_ClearSecureState);
  SKFTEST_RESOLVE(EnumApplication, SKF_EnumApplication);
  SKFTEST_RESOLVE(OpenApplication, SKF_OpenApplication);
  SKFTEST_RESOLVE(CloseApplication, SKF_CloseApplication);
  SKFTEST_RESOLVE(CreateContainer, SKF_CreateContainer);
  SKFTEST_RESOLVE(OpenContainer, SKF_OpenContainer);
  SKFTEST_RESOLVE(CloseContainer, SKF_CloseContainer);
  SKFTEST_RESOLVE(EnumContainer, SKF_EnumContainer);
  SKFTEST_RESOLVE(ExportCertificate, SKF_ExportCertificate);
  SKFTEST_RESOLVE(ExportPublicKey, SKF_ExportPublicKey);
  SKFTEST_RESOLVE(ECCSignData, SKF_ECCSignData);
  SKFTEST_RESOLVE(RSASignData, SKF_RSASignData);
  SKFTEST_RESOLVE(GenRandom, SKF_GenRandom);
  SKFTEST_RESOLVE(EccDecrypt, SKFX_ECCDecrypt);
  SKFTEST_RESOLVE(EccDecryptDer, SKFX_ECCDecryptDer);
  SKFTEST_RESOLVE(RsaDecrypt, SKFX_RSADecrypt);
  SKFTEST_RESOLVE(InitApplication, SKFX_InitApplication);
  SKFTEST_RESOLVE(ImportKeyPair, SKFX_ImportKeyPair);
}

std::vector<std::string> SplitNames(const char* list, ULONG size) {
  std::vector<std::string> out;
  size_t i = 0;
  while (i < size && list[i] != '\0') {
    std::string name(list + i);
    i += name.size() + 1;
    out.push_back(name);
  }
  return out;
}

void SkfTest::SetUp() {
  char tmpl[] = "/tmp/skfapi-test-XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  token_ = std::string(tmpl) + "/token";
  setenv("TOLMIX_SKF_TOKEN_DIR", token_.c_str(), 1);
  unsetenv("SKFAPI_MOCK_LOG");
  unsetenv("SKFAPI_MOCK_FAIL");
  Load(SKFAPI_SO);
}

void SkfTest::TearDown() {
  api_.reset();
  lib_.reset();
  unsetenv("SKFAPI_MOCK_LOG");
  unsetenv("SKFAPI_MOCK_FAIL");
  std::error_code ec;
  std::filesystem::remove_all(std::filesystem::path(token_).parent_path(), ec);
}

void SkfTest::Load(const char* path) {
  api_.reset();
  lib_.reset();  // really unload first, so state must come from the token
  dev_ = app_ = nullptr;
  lib_ = std::make_unique<Library>(path);
  ASSERT_TRUE(lib_->Loaded()) << path << ": " << dlerror();
  api_ = std::make_unique<Api>(*lib_);
  ASSERT_TRUE(api_->Complete()) << path;
}

void SkfTest::Provision() {
  char dev[] = "KEY1", app[] = "APP1", user[] = "12345678", so[] = "87654321";
  ASSERT_EQ(api_->InitApplication(dev, app, user, so, 5), SAR_OK);
  struct Pair {
    const char* container;
    BOOL sign;
    const Identity& id;
  } pairs[] = {{"SM2", TRUE, Sm2Sign()}, {"SM2", FALSE, Sm2Enc()}, {"RSA", TRUE, RsaSign()}};
  for (const Pair& p : pairs) {
    std::string key = p.id.keyPem, cert = p.id.certPem, container = p.container;
    ASSERT_EQ(api_->ImportKeyPair(dev, app, container.data(), p.sign,
                                  reinterpret_cast<BYTE*>(key.data()), key.size(),
                                  reinterpret_cast<BYTE*>(cert.data()), cert.size()),
              SAR_OK)
        << p.container;
  }
}

void SkfTest::OpenApp(bool verify) {
  char dev[] = "KEY1", app[] = "APP1", pin[] = "12345678";
  ASSERT_EQ(api_->ConnectDev(dev, &dev_), SAR_OK);
  ASSERT_EQ(api_->OpenApplication(dev_, app, &app_), SAR_OK);
  if (verify) {
    ULONG retries = 99;
    ASSERT_EQ(api_->VerifyPIN(app_, USER_TYPE, pin, &retries), SAR_OK);
  }
}

HCONTAINER SkfTest::Open(const char* container) {
  std::string name = container;
  HCONTAINER h = nullptr;
  EXPECT_EQ(api_->OpenContainer(app_, name.data(), &h), SAR_OK) << container;
  return h;
}

}  // namespace skftest
