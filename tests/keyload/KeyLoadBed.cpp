#include "tests/keyload/KeyLoadBed.h"

#include <stdlib.h>

#include <filesystem>
#include <fstream>

#include "platform/CodePage.h"

namespace tolmix::keyloadtest {
namespace fs = std::filesystem;
namespace {

constexpr char kSoftHsmModule[] = "/usr/lib/softhsm/libsofthsm2.so";

bool Run(const std::string& command) { return std::system(command.c_str()) == 0; }

bool MakePair(const std::string& dir, const char* name, const char* cn, const char* usage) {
  return Run("openssl req -x509 -newkey rsa:2048 -nodes -days 30 -keyout '" + dir + "/" + name +
             ".key' -out '" + dir + "/" + name + ".crt' -subj '/CN=" + cn +
             "' -addext 'keyUsage=critical," + usage + "' 2>/dev/null");
}

}  // namespace

bool KeyLoadBed::Create(bool with_p11) {
  if (!skf.Create()) return false;
  store_dir = skf.root + "/store";
  setenv("TOLMIX_STORE_DIR", store_dir.c_str(), 1);
  if (!with_p11) return true;

  const std::string& root = skf.root;
  if (!MakePair(root, "p11sign", "P11 Signer", "digitalSignature,nonRepudiation") ||
      !MakePair(root, "p11exchange", "P11 Exchange", "keyEncipherment,dataEncipherment"))
    return false;
  if (!Run(std::string(TOLMIX_SOURCE_DIR "/scripts/provision-softhsm.sh '") + root +
           "/hsm' tolmix-keyload " + kP11Pin + " " + kP11SoPin + " '" + root + "/p11sign.key' '" +
           root + "/p11sign.crt' '" + root + "/p11exchange.key' '" + root +
           "/p11exchange.crt' >/dev/null"))
    return false;
  setenv("SOFTHSM2_CONF", (root + "/hsm/softhsm2.conf").c_str(), 1);
  std::error_code ec;
  fs::create_symlink(kSoftHsmModule, skf.system_dir + "/libsofthsm2.so", ec);
  if (ec) return false;
  if (!LinkRouteModule(skf.system_dir, "pkcs11_rsa_key", PKCS11_RSA_KEY_SO)) return false;
  p11_sign_pem = skftest::ReadFileText(root + "/p11sign.crt");
  p11_exchange_pem = skftest::ReadFileText(root + "/p11exchange.crt");
  std::ofstream ini(skf.system_dir + "/P11_SKF.ini");
  ini << "[DeviceCount]\nDeviceCount=1\n[Device_1]\nDLLName=libsofthsm2.so\n";
  return static_cast<bool>(ini);
}

void KeyLoadBed::Remove() {
  unsetenv("TOLMIX_STORE_DIR");
  unsetenv("SOFTHSM2_CONF");
  skf.Remove();
}

bool KeyLoadBed::ResetSkfToken() {
  std::error_code ec;
  fs::remove_all(skf.token_dir, ec);
  return skf.InitToken();
}

std::string ErrorUtf8(const CMSEngine& engine) {
  char gbk[CMSEngine::kErrorTextSize];
  engine.GetErrorText(gbk);
  std::string utf8;
  return platform::GbkToUtf8(gbk, &utf8) ? utf8 : "?";
}

// MODULE names the link under the engine back end; the provider has one.
bool LinkRouteModule(const std::string& dir, [[maybe_unused]] const std::string& module,
                     const char* file) {
  std::error_code ec;
#if TOLMIX_KEYS_ENGINE
  fs::create_symlink(file, dir + "/" + module + ".so", ec);
#else
  // One provider stands for every route's module.
  if (fs::exists(dir + "/tolmixprov.so")) return true;
  fs::create_symlink(file, dir + "/tolmixprov.so", ec);
#endif
  return !ec;
}

std::string RouteModule(const KeyRoute& route) {
#if TOLMIX_KEYS_ENGINE
  const char* id = route.engine() ? ENGINE_get_id(route.engine()) : nullptr;
  return id ? id : "";
#else
  switch (route.kind()) {
    case 'S': return "gmEngine";
    case 'C': return "capi";
    case 'P': return "pkcs11_rsa_key";
    default: return "";
  }
#endif
}

}  // namespace tolmix::keyloadtest
