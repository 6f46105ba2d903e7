#include "Vectors.h"

#include <openssl/ec.h>
#include <openssl/evp.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "engine/OsslPtr.h"

namespace tolmix::test {
namespace {

class GeneratedDir {
 public:
  GeneratedDir() {
    char tmpl[] = "/tmp/tolmix-cert-vectors-XXXXXX";
    if (mkdtemp(tmpl) == nullptr) return;
    std::string cmd = std::string("bash " TOLMIX_TEST_DATA_DIR "/certificate/make-vectors.sh ") +
                      tmpl + " >/dev/null 2>&1";
    if (std::system(cmd.c_str()) == 0) {
      dir_ = tmpl;
    } else {
      std::filesystem::remove_all(tmpl);
    }
  }
  ~GeneratedDir() {
    if (!dir_.empty()) std::filesystem::remove_all(dir_);
  }
  const std::string& dir() const { return dir_; }

 private:
  std::string dir_;
};

}  // namespace

const std::string& VectorDir() {
  static GeneratedDir dir;
  return dir.dir();
}

std::vector<unsigned char> ReadVector(const std::string& name) {
  if (VectorDir().empty()) return {};
  std::ifstream in(VectorDir() + "/" + name, std::ios::binary);
  return std::vector<unsigned char>(std::istreambuf_iterator<char>(in), {});
}

std::optional<platform::Certificate> LoadCertificate(const std::string& name) {
  std::vector<unsigned char> der = ReadVector(name);
  return platform::Certificate::FromDer(der.data(), der.size());
}

platform::Certificate BuildCertificate(const std::function<void(X509*)>& edit) {
  static ossl::Ptr<EVP_PKEY> key(EVP_EC_gen("P-256"));
  ossl::Ptr<X509> x(X509_new());
  X509_set_version(x.get(), 2);
  ASN1_INTEGER_set(X509_get_serialNumber(x.get()), 1);
  // A name of its own: OpenSSL 4.0's X509_get_subject_name hands out a
  // const name, which is no longer edited in place.
  ossl::Ptr<X509_NAME> name(X509_NAME_new());
  X509_NAME_add_entry_by_NID(name.get(), NID_commonName, MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>("api"), -1, -1, 0);
  X509_set_subject_name(x.get(), name.get());
  X509_set_issuer_name(x.get(), name.get());
  X509_gmtime_adj(X509_getm_notBefore(x.get()), 0);
  X509_gmtime_adj(X509_getm_notAfter(x.get()), 86400);
  X509_set_pubkey(x.get(), key.get());
  edit(x.get());
  if (X509_sign(x.get(), key.get(), EVP_sha256()) <= 0) throw std::runtime_error("X509_sign");
  unsigned char* der = nullptr;
  int n = i2d_X509(x.get(), &der);
  std::optional<platform::Certificate> c = platform::Certificate::FromDer(der, n > 0 ? n : 0);
  OPENSSL_free(der);
  if (!c) throw std::runtime_error("built certificate does not decode");
  return std::move(*c);
}

X509_NAME* RoundTrip(X509_NAME* name) {
  unsigned char* der = nullptr;
  int n = i2d_X509_NAME(name, &der);
  const unsigned char* p = der;
  X509_NAME* back = n > 0 ? d2i_X509_NAME(nullptr, &p, n) : nullptr;
  OPENSSL_free(der);
  X509_NAME_free(name);
  return back;
}

}  // namespace tolmix::test
