#include "tests/skf/SkfBed.h"

#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <openssl/pem.h>
#include <openssl/x509v3.h>

namespace tolmix::skftest {
namespace fs = std::filesystem;
namespace {

std::string MemText(BIO* bio) {
  char* p = nullptr;
  long n = BIO_get_mem_data(bio, &p);
  return std::string(p, static_cast<size_t>(n));
}

Identity MakeIdentity(ossl::Ptr<EVP_PKEY> key, const char* cn, const EVP_MD* md,
                      const char* key_usage) {
  Identity id;
  ossl::Ptr<X509> x(X509_new());
  X509_set_version(x.get(), 2);
  static long serial = 1;
  ASN1_INTEGER_set(X509_get_serialNumber(x.get()), serial++);
  // A name of its own: OpenSSL 4.0's X509_get_subject_name hands out a
  // const name, which is no longer edited in place.
  ossl::Ptr<X509_NAME> owned_name(X509_NAME_new());
  X509_NAME* name = owned_name.get();
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>(cn),
                             -1, -1, 0);
  X509_set_subject_name(x.get(), name);
  X509_set_issuer_name(x.get(), name);
  X509_gmtime_adj(X509_getm_notBefore(x.get()), 0);
  X509_gmtime_adj(X509_getm_notAfter(x.get()), 86400);
  X509_set_pubkey(x.get(), key.get());
  if (key_usage) {
    std::string value = std::string("critical,") + key_usage;
    ossl::Ptr<X509_EXTENSION> ext(X509V3_EXT_conf_nid(nullptr, nullptr, NID_key_usage, value.c_str()));
    EXPECT_TRUE(ext && X509_add_ext(x.get(), ext.get(), -1)) << cn;
  }
  EXPECT_GT(X509_sign(x.get(), key.get(), md), 0) << cn;
  ossl::Ptr<BIO> kb(BIO_new(BIO_s_mem()));
  PEM_write_bio_PrivateKey(kb.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr);
  id.keyPem = MemText(kb.get());
  id.certPem = PemOf(x.get());
  unsigned char* der = nullptr;
  int len = i2d_X509(x.get(), &der);
  id.certDer.assign(der, der + len);
  OPENSSL_free(der);
  id.key = std::move(key);
  id.cert = std::move(x);
  return id;
}

bool WriteText(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  return static_cast<bool>(out);
}

bool Run(const std::string& command) { return std::system(command.c_str()) == 0; }

}  // namespace

Identity MakeSm2(const char* cn, const char* key_usage) {
  return MakeIdentity(ossl::Ptr<EVP_PKEY>(EVP_PKEY_Q_keygen(nullptr, nullptr, "SM2")), cn,
                      EVP_sm3(), key_usage);
}

Identity MakeRsa(const char* cn, const char* key_usage) {
  return MakeIdentity(ossl::Ptr<EVP_PKEY>(EVP_RSA_gen(2048)), cn, EVP_sha256(), key_usage);
}

std::string PemOf(X509* cert) {
  ossl::Ptr<BIO> b(BIO_new(BIO_s_mem()));
  PEM_write_bio_X509(b.get(), cert);
  return MemText(b.get());
}

std::string ReadFileText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

bool SkfBed::Create() {
  char tmpl[] = "/tmp/tolmix-skf-XXXXXX";
  if (!mkdtemp(tmpl)) return false;
  root = tmpl;
  system_dir = root + "/system";
  token_dir = root + "/token";
  std::error_code ec;
  fs::create_directories(system_dir, ec);
  if (ec) return false;
  setenv("TOLMIX_SYSTEM_DIR", system_dir.c_str(), 1);
  setenv("TOLMIX_SKF_TOKEN_DIR", token_dir.c_str(), 1);
  unsetenv("SKFAPI_MOCK_LOG");
  unsetenv("SKFAPI_MOCK_FAIL");
  fs::create_symlink(SKFAPI_MOCK_SO, system_dir + "/SKFAPI.so", ec);
  if (ec) return false;
  fs::create_symlink(SKFAPI_MOCK_NO_DEVAUTH_SO, system_dir + "/SKFAPI_nodevauth.so", ec);
  return !ec;
}

void SkfBed::Remove() {
  unsetenv("SKFAPI_MOCK_LOG");
  unsetenv("SKFAPI_MOCK_FAIL");
  unsetenv("TOLMIX_SKF_TOKEN_DIR");
  unsetenv("TOLMIX_SYSTEM_DIR");
  if (root.empty()) return;
  std::error_code ec;
  fs::remove_all(root, ec);
  root.clear();
}

bool SkfBed::WriteDeviceList(std::initializer_list<const char*> names, int count) const {
  std::ostringstream ini;
  ini << "[DeviceCount]\nDeviceCount=" << (count < 0 ? static_cast<int>(names.size()) : count)
      << "\n";
  int i = 1;
  for (const char* name : names) {
    if (name) ini << "[Device_" << i << "]\nDLLName=" << name << "\n";
    ++i;
  }
  return WriteText(system_dir + "/GM_SKF.ini", ini.str());
}

bool SkfBed::InitToken() const {
  return Run(std::string(SOFTSKF_EXE) + " init " + kDevice + " " + kApplication + " " + kUserPin +
             " " + kSoPin + " " + std::to_string(kRetries) + " >/dev/null");
}

bool SkfBed::Import(const char* container, const Identity& sign, const Identity* enc) const {
  const std::string base = root + "/" + container;
  if (!WriteText(base + ".sign.key", sign.keyPem) || !WriteText(base + ".sign.crt", sign.certPem))
    return false;
  std::string cmd = std::string(SOFTSKF_EXE) + " import " + kDevice + " " + kApplication + " " +
                    container + " --sign-key '" + base + ".sign.key' --sign-cert '" + base +
                    ".sign.crt'";
  if (enc) {
    if (!WriteText(base + ".enc.key", enc->keyPem) || !WriteText(base + ".enc.crt", enc->certPem))
      return false;
    cmd += " --enc-key '" + base + ".enc.key' --enc-cert '" + base + ".enc.crt'";
  }
  return Run(cmd + " >/dev/null");
}

}  // namespace tolmix::skftest
