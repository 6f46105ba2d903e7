// tolmix sandbox DIR: the command.  Makes the folders, runs the
// provisioning steps of SandboxParts.h in order and prints the variables.
#include "host/Sandbox.h"

#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "generated/DemoScript.h"
#include "host/InstallLayout.h"
#include "host/Register.h"
#include "host/SandboxParts.h"

namespace tolmix::host {

const char kSandboxUsage[] = "sandbox DIR";

namespace sandbox {
namespace fs = std::filesystem;

Layout::Layout(const std::string& dir)
    : root(dir),
      systemDir(dir + "/system"),
      storeDir(dir + "/store"),
      logDir(dir + "/log"),
      registry(dir + "/registry.ini"),
      softHsmDir(dir + "/softhsm"),
      skfTokenDir(dir + "/skf"),
      pkiDir(dir + "/pki"),
      keysDir(dir + "/keys") {}

namespace {

// DIR/.tolmix-sandbox marks a folder made by this command.
constexpr char kMarkerFile[] = ".tolmix-sandbox";
constexpr char kMarkerText[] = "tolmix sandbox\n";

int Failed(const std::string& what) {
  fprintf(stderr, "tolmix sandbox: %s\n", what.c_str());
  return 1;
}

// Makes DIR (0700) and claims it: a folder that exists, is not empty and
// does not carry the marker of an earlier run is refused, because every run
// replaces several of its subfolders.
bool Claim(const std::string& dir, std::string* absolute, std::string* error) {
  std::error_code ec;
  bool existed = fs::exists(dir, ec);
  if (existed && !fs::is_directory(dir, ec)) {
    *error = dir + " exists and is not a folder";
    return false;
  }
  if (existed && !fs::is_empty(dir, ec) && !fs::exists(fs::path(dir) / kMarkerFile, ec)) {
    *error = dir + " is not empty and was not made by tolmix sandbox; choose another folder";
    return false;
  }
  fs::create_directories(dir, ec);
  if (!existed) fs::permissions(dir, fs::perms::owner_all, ec);
  *absolute = fs::canonical(dir, ec).string();
  if (ec) {
    *error = "cannot make " + dir + ": " + ec.message();
    return false;
  }
  return WriteFileAtomic(*absolute + "/" + kMarkerFile, kMarkerText, 0644, error);
}

bool MakeFolders(const Layout& l, std::string* error) {
  std::error_code ec;
  for (const std::string* dir : {&l.pkiDir, &l.keysDir, &l.logDir, &l.softHsmDir}) {
    fs::create_directories(*dir, ec);
    if (ec) {
      *error = "cannot make " + *dir + ": " + ec.message();
      return false;
    }
  }
  fs::permissions(l.keysDir, fs::perms::owner_all, ec);
  // The engine logs only into a keyapi.log that exists: switch the log on,
  // keeping what earlier runs logged.
  std::ofstream(l.logDir + "/keyapi.log", std::ios::app);
  return true;
}

// A fresh registry file with the in-process server of this build registered,
// so that `tolmix call` and `tolmix run` find the control.
bool RegisterControl(const Layout& l, std::string* error) {
  std::error_code ec;
  fs::remove(l.registry, ec);
  if (RegisterServerInto(l.registry, error)) return true;
  *error = "registering the control failed: " + *error;
  return false;
}

// Single-quoted for sh: ' becomes '\''.
std::string ShellQuoted(const std::string& value) {
  std::string out = "'";
  for (char c : value) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

std::vector<std::pair<std::string, std::string>> Variables(const Layout& l) {
  return {{"TOLMIX_SYSTEM_DIR", l.systemDir},
          {"TOLMIX_STORE_DIR", l.storeDir},
          {"TOLMIX_LOG_DIR", l.logDir},
          {"TOLMIX_REGISTRY", l.registry},
          {"SOFTHSM2_CONF", l.SoftHsmConf()},
          {"TOLMIX_SKF_TOKEN_DIR", l.skfTokenDir},
          {"TOLMIX_SANDBOX_P11_PIN", kP11Pin},
          {"TOLMIX_SANDBOX_SKF_PIN", kSkfPin},
          {"TOLMIX_SANDBOX_PKI", l.pkiDir},
          {"TOLMIX_ORIGINS", l.root + "/origins.ini"},
          {"TOLMIX_FILES_DIR", l.root + "/files"}};
}

}  // namespace
}  // namespace sandbox

int RunSandbox(std::span<const char* const> args) {
  using namespace sandbox;
  if (args.size() != 1 || args[0][0] == '\0' || args[0][0] == '-') {
    fprintf(stderr, "usage: tolmix %s\n", kSandboxUsage);
    return 2;
  }
  std::string root, error;
  if (!Claim(args[0], &root, &error)) return Failed(error);
  Layout layout(root);
  std::string moduleDir = ModuleFolder();
  Pki pki;
  if (!MakeFolders(layout, &error) || !pki.LoadOrCreate(layout, &error) ||
      !ProvisionSystemDir(layout, moduleDir, &error) ||
      !ProvisionSoftHsm(layout, pki, SoftHsmScriptPath(), &error) ||
      !ProvisionSoftSkf(layout, pki, moduleDir, &error) ||
      !ProvisionStore(layout, pki, &error) || !RegisterControl(layout, &error)) {
    return Failed(error);
  }
  auto vars = Variables(layout);
  std::string envSh = "# Made by tolmix sandbox: . " + ShellQuoted(root + "/env.sh") + "\n";
  for (const auto& [name, value] : vars) {
    envSh += "export " + name + "=" + ShellQuoted(value) + "\n";
  }
  // The demonstration script too, so that `tolmix run DIR/demo.js` works
  // on any sandbox, not only on one that `tolmix demo` made.
  if (!WriteFileAtomic(root + "/env.sh", envSh, 0644, &error) ||
      !WriteFileAtomic(root + "/demo.js", std::string(kDemoScript, kDemoScriptSize), 0644,
                       &error)) {
    return Failed(error);
  }
  for (const auto& [name, value] : vars) printf("%s=%s\n", name.c_str(), value.c_str());
  return fflush(stdout) == 0 ? 0 : 1;
}

}  // namespace tolmix::host
