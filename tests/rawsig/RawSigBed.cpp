#include "tests/rawsig/RawSigBed.h"

#include <iconv.h>
#include <stdio.h>
#include <stdlib.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509v3.h>

namespace tolmix::rawsigtest {
namespace {

std::string g_dir;

// Runs `tolmix sandbox` into a fresh folder and exports the variables it
// prints (NAME=VALUE lines).
class SandboxEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    std::string dir = (std::filesystem::temp_directory_path() / "rawsig-XXXXXX").string();
    ASSERT_NE(mkdtemp(dir.data()), nullptr);
    g_dir = dir;
    std::string command = std::string(TOLMIX_HOST) + " sandbox '" + dir + "' 2>/dev/null";
    FILE* p = popen(command.c_str(), "r");
    ASSERT_NE(p, nullptr);
    char line[4096];
    while (fgets(line, sizeof line, p)) {
      std::string text(line);
      while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
      size_t eq = text.find('=');
      if (eq != std::string::npos && eq > 0) {
        setenv(text.substr(0, eq).c_str(), text.substr(eq + 1).c_str(), 1);
      }
    }
    ASSERT_EQ(pclose(p), 0) << command;
    ASSERT_NE(getenv("SOFTHSM2_CONF"), nullptr);
  }
  void TearDown() override {
    std::error_code ec;
    if (!g_dir.empty()) std::filesystem::remove_all(g_dir, ec);
  }
};

::testing::Environment* const g_env = ::testing::AddGlobalTestEnvironment(new SandboxEnvironment);

}  // namespace

const std::string& SandboxDir() { return g_dir; }

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

std::string ErrorUtf8(const CMSEngine& engine) {
  char gbk[CMSEngine::kErrorTextSize] = {};
  engine.GetErrorText(gbk);
  iconv_t cd = iconv_open("UTF-8", "GBK");
  if (cd == reinterpret_cast<iconv_t>(-1)) return "?";
  char out[2048] = {};
  char* in = gbk;
  size_t inLeft = strlen(gbk);
  char* o = out;
  size_t outLeft = sizeof out - 1;
  size_t r = iconv(cd, &in, &inLeft, &o, &outLeft);
  iconv_close(cd);
  return r == static_cast<size_t>(-1) ? "?" : std::string(out);
}

std::vector<unsigned char> DecodeB64(const std::string& text) {
  if (text.empty() || text.size() % 4 != 0) return {};
  std::vector<unsigned char> out(text.size() / 4 * 3);
  int n = EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char*>(text.data()),
                          static_cast<int>(text.size()));
  if (n < 0) return {};
  size_t pad = text.compare(text.size() - 2, 2, "==") == 0 ? 2 : text.back() == '=' ? 1 : 0;
  out.resize(static_cast<size_t>(n) - pad);
  return out;
}

std::string EncodeB64(const std::vector<unsigned char>& bytes) {
  std::string out((bytes.size() + 2) / 3 * 4 + 1, '\0');
  int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), bytes.data(),
                          static_cast<int>(bytes.size()));
  out.resize(static_cast<size_t>(n));
  return out;
}

Identity MakeRsaIdentity(int bits, const char* cn, const char* key_usage) {
  Identity id;
  id.key.reset(EVP_RSA_gen(static_cast<unsigned>(bits)));
  id.cert.reset(X509_new());
  X509* c = id.cert.get();
  X509_set_version(c, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(c), bits);
  X509_gmtime_adj(X509_getm_notBefore(c), -3600);
  X509_gmtime_adj(X509_getm_notAfter(c), 3600L * 24 * 365);
  // A name of its own: OpenSSL 4.0's X509_get_subject_name hands out a
  // const name, which is no longer edited in place.
  ossl::Ptr<X509_NAME> owned_name(X509_NAME_new());
  X509_NAME* name = owned_name.get();
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>(cn),
                             -1, -1, 0);
  X509_set_subject_name(c, name);
  X509_set_issuer_name(c, name);
  X509_set_pubkey(c, id.key.get());
  X509V3_CTX ctx;
  X509V3_set_ctx(&ctx, c, c, nullptr, nullptr, 0);
  ossl::Ptr<X509_EXTENSION> ku(X509V3_EXT_conf_nid(nullptr, &ctx, NID_key_usage, key_usage));
  X509_add_ext(c, ku.get(), -1);
  X509_sign(c, id.key.get(), EVP_sha256());
  unsigned char* der = nullptr;
  int len = i2d_X509(c, &der);
  id.der.assign(der, der + len);
  OPENSSL_free(der);
  ossl::Ptr<BIO> bio(BIO_new(BIO_s_mem()));
  PEM_write_bio_X509(bio.get(), c);
  char* text = nullptr;
  long n = BIO_get_mem_data(bio.get(), &text);
  id.pem.assign(text, static_cast<size_t>(n));
  return id;
}

bool Sha1SignatureValid(X509* cert, const std::string& data, const unsigned char* sig,
                        size_t sig_len) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned digestLen = 0;
  if (!EVP_Digest(data.data(), data.size(), digest, &digestLen, EVP_sha1(), nullptr)) return false;
  ossl::Ptr<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new(X509_get0_pubkey(cert), nullptr));
  return ctx && EVP_PKEY_verify_init(ctx.get()) == 1 &&
         EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) == 1 &&
         EVP_PKEY_CTX_set_signature_md(ctx.get(), EVP_sha1()) == 1 &&
         EVP_PKEY_verify(ctx.get(), sig, sig_len, digest, digestLen) == 1;
}

ScopedEnv::ScopedEnv(const char* name, const std::string& value) : name_(name) {
  if (const char* v = getenv(name)) {
    had_ = true;
    old_ = v;
  }
  setenv(name, value.c_str(), 1);
}

ScopedEnv::~ScopedEnv() {
  if (had_) {
    setenv(name_.c_str(), old_.c_str(), 1);
  } else {
    unsetenv(name_.c_str());
  }
}

}  // namespace tolmix::rawsigtest
