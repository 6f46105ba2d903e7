// Provisioning steps of `tolmix sandbox`: the system directory, the
// SoftHSM2 token, the soft SKF token and the soft store.
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <openssl/pem.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <vector>

#include "host/InstallLayout.h"
#include "host/SandboxParts.h"
#include "platform/AtomicFile.h"
#include "platform/DynamicLibrary.h"
#include "platform/Store.h"
#include "skf/skfapi.h"

extern char** environ;

namespace tolmix::host::sandbox {
namespace fs = std::filesystem;
namespace {

// Run-time modules linked into the system directory when they are built.
// SKFAPI.so is the one the sandbox cannot do without.
constexpr const char* kModules[] = {"SKFAPI.so", "gmEngine.so", "pkcs11_rsa_key.so",
                                    "capi.so", "tolmixprov.so", "libtolmix_gtk_chooser.so"};
constexpr char kSkfModule[] = "SKFAPI.so";
constexpr char kSoftHsmLink[] = "libsofthsm2.so";

std::string DeviceList(const char* dllName) {
  return std::string("[DeviceCount]\nDeviceCount=1\n\n[Device_1]\nDLLName=") + dllName + "\n";
}

// Makes LINK a symbolic link to TARGET, replacing whatever LINK was.
bool Link(const std::string& target, const std::string& link, std::string* error) {
  std::error_code ec;
  fs::remove(link, ec);
  fs::create_symlink(target, link, ec);
  if (ec) *error = "cannot link " + link + ": " + ec.message();
  return !ec;
}

// Empties DIR (removing it and making it again, 0700).
bool Renew(const std::string& dir, std::string* error) {
  std::error_code ec;
  fs::remove_all(dir, ec);
  if (!ec) fs::create_directories(dir, ec);
  if (!ec) fs::permissions(dir, fs::perms::owner_all, ec);
  if (ec) *error = "cannot make " + dir + ": " + ec.message();
  return !ec;
}

std::string PemOf(X509* cert) {
  ossl::Ptr<BIO> mem(BIO_new(BIO_s_mem()));
  if (!mem || !PEM_write_bio_X509(mem.get(), cert)) return {};
  char* data = nullptr;
  long n = BIO_get_mem_data(mem.get(), &data);
  return std::string(data, static_cast<size_t>(n));
}

std::string KeyPemOf(EVP_PKEY* key) {
  ossl::Ptr<BIO> mem(BIO_new(BIO_s_mem()));
  if (!mem || !PEM_write_bio_PrivateKey(mem.get(), key, nullptr, nullptr, 0, nullptr, nullptr)) {
    return {};
  }
  char* data = nullptr;
  long n = BIO_get_mem_data(mem.get(), &data);
  return std::string(data, static_cast<size_t>(n));
}

// Runs ARGV[0] with ARGV, its standard output discarded (its standard error
// is ours).  True when it exits with status 0.
bool RunQuietly(const std::vector<std::string>& argv, std::string* error) {
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  pid_t pid = 0;
  int rc = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) {
    *error = "cannot run " + argv[0] + ": " + strerror(rc);
    return false;
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) {
      *error = "lost " + argv[0] + ": " + strerror(errno);
      return false;
    }
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    *error = argv[0] + " failed (status " + std::to_string(status) + ")";
    return false;
  }
  return true;
}

std::string SkfCode(ULONG code) {
  char text[16];
  snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(code));
  return text;
}

}  // namespace

bool WriteFileAtomic(const std::string& path, const std::string& bytes, unsigned mode,
                     std::string* error) {
  return platform::WriteFileAtomic(path, bytes, mode, error);
}

bool ProvisionSystemDir(const Layout& layout, const std::string& moduleDir, std::string* error) {
  std::error_code ec;
  fs::create_directories(layout.systemDir, ec);
  if (ec) {
    *error = "cannot make " + layout.systemDir + ": " + ec.message();
    return false;
  }
  if (!fs::exists(kSoftHsmModule)) {
    // The package only suggests SoftHSM2 (docs/admin.md says why).
    *error = std::string("SoftHSM2 module ") + kSoftHsmModule + " not found (" +
             (RunsFromBuildTree() ? "run scripts/install-deps.sh" : "apt install softhsm2 opensc") +
             ")";
    return false;
  }
  if (!Link(kSoftHsmModule, layout.systemDir + "/" + kSoftHsmLink, error)) return false;
  for (const char* module : kModules) {
    std::string source = moduleDir + "/" + module;
    std::string link = layout.systemDir + "/" + module;
    if (fs::exists(source)) {
      if (!Link(source, link, error)) return false;
    } else if (strcmp(module, kSkfModule) == 0) {
      *error = source + " not found (build the modules first)";
      return false;
    } else {
      fs::remove(link, ec);
      fprintf(stderr, "tolmix sandbox: %s is not built; left out of %s\n", module,
              layout.systemDir.c_str());
    }
  }
  return WriteFileAtomic(layout.systemDir + "/P11_SKF.ini", DeviceList(kSoftHsmLink), 0644,
                         error) &&
         WriteFileAtomic(layout.systemDir + "/GM_SKF.ini", DeviceList(kSkfModule), 0644, error);
}

bool ProvisionSoftHsm(const Layout& layout, const Pki& pki, const std::string& script,
                      std::string* error) {
  if (access(script.c_str(), X_OK) != 0) {
    *error = "cannot run " + script + ": " + strerror(errno);
    return false;
  }
  return RunQuietly({script, layout.softHsmDir, kP11Label, kP11Pin, kP11SoPin,
                     pki.KeyPath("p11-sign"), pki.CertPath("p11-sign"),
                     pki.KeyPath("p11-exchange"), pki.CertPath("p11-exchange")},
                    error);
}

bool ProvisionSoftSkf(const Layout& layout, const Pki& pki, const std::string& moduleDir,
                      std::string* error) {
  if (!Renew(layout.skfTokenDir, error)) return false;
  // The library reads the token directory on every call.
  setenv("TOLMIX_SKF_TOKEN_DIR", layout.skfTokenDir.c_str(), 1);
  platform::DynamicLibrary lib;
  std::string path = moduleDir + "/" + kSkfModule;
  if (!lib.Load(path)) {
    *error = "cannot load " + path + ": " + lib.Error();
    return false;
  }
  auto init = lib.Resolve<decltype(&SKFX_InitApplication)>("SKFX_InitApplication");
  auto import = lib.Resolve<decltype(&SKFX_ImportKeyPair)>("SKFX_ImportKeyPair");
  if (!init || !import) {
    *error = path + " lacks the SKFX_ provisioning functions";
    return false;
  }
  std::string dev = kSkfDevice, app = kSkfApplication, pin = kSkfPin, soPin = kSkfSoPin;
  ULONG rc = init(dev.data(), app.data(), pin.data(), soPin.data(), kSkfRetries);
  if (rc != 0) {
    *error = "SKFX_InitApplication failed with " + SkfCode(rc);
    return false;
  }
  struct Pair {
    const char* container;
    const char* name;
    BOOL sign;
  };
  constexpr Pair kPairs[] = {{kSkfSm2Container, "skf-sm2-sign", TRUE},
                             {kSkfSm2Container, "skf-sm2-enc", FALSE},
                             {kSkfRsaContainer, "skf-rsa", TRUE}};
  for (const Pair& p : kPairs) {
    std::string container = p.container;
    std::string cert = PemOf(pki.Cert(p.name));
    std::string key = KeyPemOf(pki.Key(p.name));
    if (cert.empty() || key.empty()) {
      OPENSSL_cleanse(key.data(), key.size());
      *error = std::string("no PEM of ") + p.name;
      return false;
    }
    rc = import(dev.data(), app.data(), container.data(), p.sign,
                reinterpret_cast<BYTE*>(key.data()), static_cast<ULONG>(key.size()),
                reinterpret_cast<BYTE*>(cert.data()), static_cast<ULONG>(cert.size()));
    OPENSSL_cleanse(key.data(), key.size());
    if (rc != 0) {
      *error = std::string("importing ") + p.name + " into the SKF token failed with " +
               SkfCode(rc);
      return false;
    }
  }
  return true;
}

bool ProvisionStore(const Layout& layout, const Pki& pki, std::string* error) {
  if (!Renew(layout.storeDir, error)) return false;
  setenv("TOLMIX_STORE_DIR", layout.storeDir.c_str(), 1);
  if (!platform::AddSoftProvider(kStoreProvider, error)) return false;
  for (const char* name : {"csp-sign", "csp-enc"}) {
    X509* cert = pki.Cert(name);
    int n = cert ? i2d_X509(cert, nullptr) : -1;
    if (n <= 0) {
      *error = std::string("no certificate ") + name;
      return false;
    }
    std::vector<unsigned char> der(static_cast<size_t>(n));
    unsigned char* p = der.data();
    i2d_X509(cert, &p);
    if (!platform::PutContainerKey(kStoreProvider, name, pki.Key(name), error) ||
        !platform::ImportToMy(der, kStoreProvider, name, nullptr, error)) {
      return false;
    }
  }
  return true;
}

}  // namespace tolmix::host::sandbox
