#include "host/Register.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string_view>

#include "host/Activation.h"
#include "host/Commands.h"
#include "platform/Com.h"
#include "platform/Env.h"
#include "platform/Registry.h"

namespace tolmix::host {

const char kRegisterUsage[] = "register [--machine] [MODULE]";
const char kUnregisterUsage[] = "unregister [--machine] [MODULE]";

namespace {

using platform::HRESULT;
using RegisterFn = HRESULT (*)();

std::string Absolute(const std::string& path) {
  char* real = realpath(path.c_str(), nullptr);
  if (real == nullptr) return path;
  std::string out = real;
  free(real);
  return out;
}

// Points $TOLMIX_REGISTRY, which the server's registration exports write,
// at another file for the life of the object, and puts it back after.
class RegistryRedirect {
 public:
  explicit RegistryRedirect(const std::string& registry) {
    if (const char* old = getenv("TOLMIX_REGISTRY")) saved_ = old;
    setenv("TOLMIX_REGISTRY", registry.c_str(), 1);
  }
  ~RegistryRedirect() {
    if (saved_) {
      setenv("TOLMIX_REGISTRY", saved_->c_str(), 1);
    } else {
      unsetenv("TOLMIX_REGISTRY");
    }
  }
  RegistryRedirect(const RegistryRedirect&) = delete;
  RegistryRedirect& operator=(const RegistryRedirect&) = delete;

 private:
  std::optional<std::string> saved_;
};

// Loads MODULE, calls EXPORT and explains a failure in *ERROR.
bool CallRegistrationExport(const std::string& module, const char* exportName,
                            std::string* error) {
  auto fn = reinterpret_cast<RegisterFn>(ServerExport(module, exportName, error));
  if (fn == nullptr) return false;
  HRESULT hr = fn();
  if (platform::Succeeded(hr)) return true;
  char code[16];
  snprintf(code, sizeof code, "0x%08X", static_cast<unsigned>(hr));
  const char* name = platform::HResultName(hr);
  *error = std::string(exportName) + " in " + module + " failed: " + (*name ? name : "error") +
           " (" + code + ")";
  // The usual cause is the registry file itself: say what is wrong with it.
  platform::Registry reg;
  std::string why;
  if (!platform::LoadRegistry(platform::RegistryPath(), &reg, &why)) *error += ": " + why;
  return false;
}

// The machine-wide registry is read by every user: its folder is made
// world-readable (the registry's own writer makes missing folders private).
bool MakeMachineFolder(const std::string& registry, std::string* error) {
  std::error_code ec;
  std::filesystem::path folder = std::filesystem::path(registry).parent_path();
  if (folder.empty() || std::filesystem::is_directory(folder, ec)) return true;
  std::filesystem::create_directories(folder, ec);
  if (!ec) {
    std::filesystem::permissions(folder, std::filesystem::perms::owner_all |
                                             std::filesystem::perms::group_read |
                                             std::filesystem::perms::group_exec |
                                             std::filesystem::perms::others_read |
                                             std::filesystem::perms::others_exec,
                                 ec);
  }
  if (ec) *error = "cannot make " + folder.string() + ": " + ec.message();
  return !ec;
}

int Run(std::span<const char* const> args, const char* exportName, const char* usage,
        const char* done) {
  const bool machine = !args.empty() && std::string_view(args[0]) == "--machine";
  if (machine) args = args.subspan(1);
  if (args.size() > 1 || (!args.empty() && args[0][0] == '-')) {
    fprintf(stderr, "usage: tolmix %s\n", usage);
    return kExitUsage;
  }
  std::string module = Absolute(args.empty() ? DefaultServerModule() : args[0]);
  const std::string registry = machine ? platform::MachineRegistryPath() : platform::RegistryPath();
  std::string error;
  bool ok = !machine || MakeMachineFolder(registry, &error);
  if (ok) {
    RegistryRedirect redirect(registry);
    ok = CallRegistrationExport(module, exportName, &error);
  }
  if (!ok) {
    fprintf(stderr, "tolmix: %s\n", error.c_str());
    return kExitFailed;
  }
  printf("%s %s in %s\n", done, module.c_str(), registry.c_str());
  return kExitOk;
}

}  // namespace

int RunRegister(std::span<const char* const> args) {
  return Run(args, "DllRegisterServer", kRegisterUsage, "registered");
}

int RunUnregister(std::span<const char* const> args) {
  return Run(args, "DllUnregisterServer", kUnregisterUsage, "unregistered");
}

bool RegisterServerInto(const std::string& registry, std::string* error,
                        const std::string& module) {
  RegistryRedirect redirect(registry);
  return CallRegistrationExport(Absolute(module.empty() ? DefaultServerModule() : module),
                                "DllRegisterServer", error);
}

}  // namespace tolmix::host
