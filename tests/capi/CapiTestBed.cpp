#include "tests/capi/CapiTestBed.h"

#include <stdlib.h>

#include <cstdio>
#include <filesystem>

#include <openssl/err.h>
#include <openssl/rsa.h>

#include "platform/Store.h"

namespace tolmix::capitest {
namespace {

// Self-signed RSA certificate for KEY with common name CN and key usage USAGE.
ossl::Ptr<X509> MakeCert(EVP_PKEY* key, const char* cn, const char* usage, long serial) {
  ossl::Ptr<X509> cert(X509_new());
  if (!cert) return nullptr;
  // A name of its own: OpenSSL 4.0's X509_get_subject_name hands out a
  // const name, which is no longer edited in place.
  ossl::Ptr<X509_NAME> owned_name(X509_NAME_new());
  X509_NAME* name = owned_name.get();
  ossl::Ptr<X509_EXTENSION> ext(
      X509V3_EXT_conf_nid(nullptr, nullptr, NID_key_usage, const_cast<char*>(usage)));
  if (!X509_set_version(cert.get(), 2) ||
      !ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), serial) ||
      !X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                                  reinterpret_cast<const unsigned char*>(cn), -1, -1, 0) ||
      !X509_set_subject_name(cert.get(), name) || !X509_set_issuer_name(cert.get(), name) ||
      !X509_gmtime_adj(X509_getm_notBefore(cert.get()), 0) ||
      !X509_gmtime_adj(X509_getm_notAfter(cert.get()), 30L * 24 * 3600) ||
      !X509_set_pubkey(cert.get(), key) || !ext || !X509_add_ext(cert.get(), ext.get(), -1) ||
      !X509_sign(cert.get(), key, EVP_sha256())) {
    return nullptr;
  }
  return cert;
}

// A fresh 2048-bit pair: the key goes into CONTAINER of kProvider.
ossl::Ptr<X509> MakeContainer(const char* container, const char* cn, const char* usage,
                              long serial) {
  ossl::Ptr<EVP_PKEY> key(EVP_RSA_gen(2048));
  if (!key || !platform::PutContainerKey(kProvider, container, key.get())) return nullptr;
  return MakeCert(key.get(), cn, usage, serial);
}

}  // namespace

bool StoreBed::Create() {
  char tmpl[] = "/tmp/tolmix-capi-XXXXXX";
  if (!mkdtemp(tmpl)) return false;
  root = tmpl;
  setenv("TOLMIX_STORE_DIR", (root + "/store").c_str(), 1);
  if (!platform::AddSoftProvider(kProvider) || !platform::AddSoftProvider(kOtherProvider)) {
    return false;
  }
  sign_cert = MakeContainer(kSignContainer, "Capi Signer",
                            "critical,digitalSignature,nonRepudiation", 1);
  exchange_cert = MakeContainer(kExchangeContainer, "Capi Exchange",
                                "critical,keyEncipherment,dataEncipherment", 2);
  return sign_cert && exchange_cert;
}

void StoreBed::Remove() {
  sign_cert.reset();
  exchange_cert.reset();
  if (root.empty()) return;
  std::error_code ec;
  std::filesystem::remove_all(root, ec);
  root.clear();
}

bool LoadedEngine::Load(const char* provider) {
  Release();
  ENGINE_load_dynamic();
  dynamic_ = ENGINE_by_id("dynamic");
  if (!dynamic_) return false;
  ENGINE_ctrl_cmd_string(dynamic_, "LIST_ADD", "1", 0);
  if (!ENGINE_ctrl_cmd_string(dynamic_, "SO_PATH", kEngineModule, 0) ||
      !ENGINE_ctrl_cmd_string(dynamic_, "LOAD", nullptr, 0) || !ENGINE_init(dynamic_)) {
    ENGINE_free(dynamic_);
    dynamic_ = nullptr;
    return false;
  }
  engine_ = ENGINE_by_id("capi");
  if (!engine_) return false;
  if (!ENGINE_init(engine_)) {
    ENGINE_free(engine_);
    engine_ = nullptr;
    return false;
  }
  if (provider) ENGINE_ctrl_cmd_string(engine_, "csp_name", provider, 0);
  ENGINE_ctrl_cmd_string(engine_, "lookup_method", "3", 0);
  ENGINE_ctrl_cmd_string(engine_, "key_type", "1", 0);
  return true;
}

void LoadedEngine::Release() {
  if (engine_) {
    ENGINE_finish(engine_);  // drops the functional and the structural reference of init
    ENGINE_free(engine_);    // the lookup's
  }
  engine_ = nullptr;
  if (dynamic_) {
    ENGINE_finish(dynamic_);
    ENGINE_remove(dynamic_);
    ENGINE_free(dynamic_);
  }
  dynamic_ = nullptr;
}

std::string DrainErrors() {
  std::string out;
  const char* data = nullptr;
  int flags = 0;
  while (unsigned long e = ERR_get_error_all(nullptr, nullptr, nullptr, &data, &flags)) {
    char line[640];
    snprintf(line, sizeof line, "reason=%d %s\n", ERR_GET_REASON(e),
             (flags & ERR_TXT_STRING) && data ? data : "");
    out += line;
  }
  return out;
}

}  // namespace tolmix::capitest
