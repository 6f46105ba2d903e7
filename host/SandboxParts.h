// The parts of `tolmix sandbox`: the folder layout, the fixed names and
// PINs of the provisioned devices, the test PKI and the provisioning steps.
// Every step replaces what an earlier run left in its own folders, so a
// second run on the same DIR ends in the same state.
#pragma once

#include <map>
#include <string>

#include "engine/OsslPtr.h"

namespace tolmix::host::sandbox {

// Names, PINs and labels of the provisioned devices (README.md, "Sandbox").
inline constexpr char kP11Label[] = "Tolmix Sandbox P11";
inline constexpr char kP11Pin[] = "123456";
inline constexpr char kP11SoPin[] = "12345678";
inline constexpr char kSkfDevice[] = "TolmixSoftKey";
inline constexpr char kSkfApplication[] = "TOLMIX";
inline constexpr char kSkfPin[] = "888888";
inline constexpr char kSkfSoPin[] = "66666666";
inline constexpr unsigned kSkfRetries = 10;
// The SKF key probe walks containers in list (byte) order and keeps the first
// one holding a certificate of the wanted kind, so the SM2 container must
// sort before the RSA one: "SM2" < "Tolmix-RSA".
inline constexpr char kSkfSm2Container[] = "SM2";
inline constexpr char kSkfRsaContainer[] = "Tolmix-RSA";
inline constexpr char kStoreProvider[] = "Tolmix Soft RSA";
inline constexpr char kSoftHsmModule[] = "/usr/lib/softhsm/libsofthsm2.so";

// Absolute paths of everything under DIR.
struct Layout {
  std::string root;        // DIR
  std::string systemDir;   // TOLMIX_SYSTEM_DIR
  std::string storeDir;    // TOLMIX_STORE_DIR
  std::string logDir;      // TOLMIX_LOG_DIR (keyapi.log is created, so logging is on)
  std::string registry;    // TOLMIX_REGISTRY, with the control registered
  std::string softHsmDir;  // softhsm2.conf and tokens/
  std::string skfTokenDir; // TOLMIX_SKF_TOKEN_DIR
  std::string pkiDir;      // TOLMIX_SANDBOX_PKI: certificates (PEM), other-rsa.key
  std::string keysDir;     // the private keys the devices are provisioned from (0700)

  explicit Layout(const std::string& dir);
  std::string SoftHsmConf() const { return softHsmDir + "/softhsm2.conf"; }
};

// The test PKI: every certificate with its private key.  Certificates are
// pkiDir/<name>.pem, keys keysDir/<name>.key; names are those of the profile
// table in SandboxPki.cpp (ca-orva, p11-sign, skf-sm2-sign, ...).
class Pki {
 public:
  // Reads the PKI that an earlier run left in LAYOUT, or makes a new one
  // when anything is missing, does not match or was made from another
  // profile table.  Also copies the keys of certificates that no device
  // holds next to their certificates.  False with a reason in *ERROR.
  bool LoadOrCreate(const Layout& layout, std::string* error);

  // Borrowed; null for an unknown name.
  X509* Cert(const std::string& name) const;
  EVP_PKEY* Key(const std::string& name) const;
  std::string CertPath(const std::string& name) const { return pkiDir_ + "/" + name + ".pem"; }
  std::string KeyPath(const std::string& name) const { return keysDir_ + "/" + name + ".key"; }

 private:
  struct Entry {
    ossl::Ptr<X509> cert;
    ossl::Ptr<EVP_PKEY> key;
  };
  bool Load(std::string* error);
  bool Create(std::string* error);
  bool Save(std::string* error) const;

  std::string pkiDir_, keysDir_;
  std::map<std::string, Entry> entries_;
};

// The provisioning steps, in the order the command runs them.  Each returns
// false with a reason in *ERROR.

// Writes P11_SKF.ini and GM_SKF.ini and links the device libraries and the
// modules found in MODULE_DIR into the system directory.  Modules that are
// not built are named on standard error and left out; SKFAPI.so is required.
bool ProvisionSystemDir(const Layout& layout, const std::string& moduleDir, std::string* error);

// A fresh SoftHSM2 token labelled kP11Label with p11-sign (CKA_ID 01) and
// p11-exchange (02), made by SCRIPT (scripts/provision-softhsm.sh).
bool ProvisionSoftHsm(const Layout& layout, const Pki& pki, const std::string& script,
                      std::string* error);

// A fresh soft SKF token through MODULE_DIR/SKFAPI.so: device kSkfDevice,
// application kSkfApplication, container kSkfSm2Container with the SM2
// signature and encryption pairs, container kSkfRsaContainer with the RSA
// pair as its signature pair.  Sets TOLMIX_SKF_TOKEN_DIR in this process.
bool ProvisionSoftSkf(const Layout& layout, const Pki& pki, const std::string& moduleDir,
                      std::string* error);

// A fresh soft store: provider kStoreProvider with containers "csp-sign" and
// "csp-enc", and both certificates in "MY" in that order.  Sets
// TOLMIX_STORE_DIR in this process.
bool ProvisionStore(const Layout& layout, const Pki& pki, std::string* error);

// Writes BYTES to PATH with MODE through a temporary file and a rename.
bool WriteFileAtomic(const std::string& path, const std::string& bytes, unsigned mode,
                     std::string* error);

}  // namespace tolmix::host::sandbox
