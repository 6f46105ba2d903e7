#include "tests/pkcs11/TestSupport.h"

#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <openssl/err.h>
#include <openssl/pem.h>

namespace tolmix::p11test {
namespace fs = std::filesystem;

namespace {

bool Run(const std::string& command) { return std::system(command.c_str()) == 0; }

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// Key and self-signed certificate made by the openssl command.
bool MakePair(const std::string& dir, const char* name, const char* cn, const char* usage) {
  std::string cmd = "openssl req -x509 -newkey rsa:2048 -nodes -days 30 -keyout '" + dir + "/" +
                    name + ".key' -out '" + dir + "/" + name + ".crt' -subj '/CN=" + cn +
                    "' -addext 'keyUsage=critical," + usage + "' 2>/dev/null";
  return Run(cmd);
}

}  // namespace

bool TokenBed::Create() {
  char tmpl[] = "/tmp/tolmix-p11-XXXXXX";
  if (!mkdtemp(tmpl)) return false;
  root = tmpl;
  system_dir = root + "/system";
  fs::create_directories(system_dir);
  if (!MakePair(root, "signer", "Test Signer", "digitalSignature,nonRepudiation") ||
      !MakePair(root, "exchange", "Test Exchange", "keyEncipherment,dataEncipherment")) {
    return false;
  }
  std::string cmd = std::string(TOLMIX_SOURCE_DIR "/scripts/provision-softhsm.sh '") + root +
                    "/hsm' " + kTokenLabel + " " + kPin + " " + kSoPin + " '" + root +
                    "/signer.key' '" + root + "/signer.crt' '" + root + "/exchange.key' '" +
                    root + "/exchange.crt' >/dev/null";
  if (!Run(cmd)) return false;
  setenv("SOFTHSM2_CONF", (root + "/hsm/softhsm2.conf").c_str(), 1);
  setenv("TOLMIX_SYSTEM_DIR", system_dir.c_str(), 1);
  std::error_code ec;
  fs::create_symlink(kSoftHsmModule, system_dir + "/libsofthsm2.so", ec);
  if (ec) return false;
  sign_cert_pem = ReadFile(root + "/signer.crt");
  exchange_cert_pem = ReadFile(root + "/exchange.crt");
  return WriteDeviceList({"libsofthsm2.so"});
}

void TokenBed::Remove() {
  if (root.empty()) return;
  std::error_code ec;
  fs::remove_all(root, ec);
  root.clear();
}

bool TokenBed::WriteDeviceList(std::initializer_list<const char*> names) const {
  std::ofstream out(system_dir + "/P11_SKF.ini", std::ios::trunc);
  out << "[DeviceCount]\nDeviceCount=" << names.size() << "\n";
  int i = 1;
  for (const char* name : names) out << "[Device_" << i++ << "]\nDLLName=" << name << "\n";
  return static_cast<bool>(out);
}

bool LoadedEngine::Load(const char* module_path) {
  Release();
  ENGINE_load_dynamic();
  dynamic_ = ENGINE_by_id("dynamic");
  if (!dynamic_) return false;
  ENGINE_ctrl_cmd_string(dynamic_, "LIST_ADD", "1", 0);
  if (!ENGINE_ctrl_cmd_string(dynamic_, "SO_PATH", module_path, 0) ||
      !ENGINE_ctrl_cmd_string(dynamic_, "LOAD", nullptr, 0) || !ENGINE_init(dynamic_)) {
    ENGINE_free(dynamic_);
    dynamic_ = nullptr;
    return false;
  }
  engine_ = ENGINE_by_id("pkcs11_rsa_key");
  return engine_ != nullptr;
}

void LoadedEngine::Release() {
  if (engine_) ENGINE_free(engine_);
  engine_ = nullptr;
  if (dynamic_) {
    ENGINE_finish(dynamic_);
    ENGINE_remove(dynamic_);
    ENGINE_free(dynamic_);
  }
  dynamic_ = nullptr;
}

ossl::Ptr<X509> ReadPemCert(const std::string& pem) {
  ossl::Ptr<BIO> bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  return ossl::Ptr<X509>(bio ? PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr) : nullptr);
}

std::string DrainErrors() {
  std::string out;
  const char* data = nullptr;
  int flags = 0;
  while (unsigned long e = ERR_get_error_all(nullptr, nullptr, nullptr, &data, &flags)) {
    char line[512];
    snprintf(line, sizeof line, "lib=%d reason=0x%X %s\n", ERR_GET_LIB(e), ERR_GET_REASON(e),
             (flags & ERR_TXT_STRING) && data ? data : "");
    out += line;
  }
  return out;
}

}  // namespace tolmix::p11test
