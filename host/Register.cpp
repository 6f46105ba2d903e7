#include "host/Register.h"

#include <cstdio>
#include <cstdlib>
#include <optional>

#include "host/Activation.h"
#include "host/Commands.h"
#include "platform/Com.h"
#include "platform/Env.h"
#include "platform/Registry.h"

namespace tolmix::host {

const char kRegisterUsage[] = "register [MODULE]";
const char kUnregisterUsage[] = "unregister [MODULE]";

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

int Run(std::span<const char* const> args, const char* exportName, const char* usage,
        const char* done) {
  if (args.size() > 1) {
    fprintf(stderr, "usage: tolmix %s\n", usage);
    return kExitUsage;
  }
  std::string module = Absolute(args.empty() ? DefaultServerModule() : args[0]);
  std::string error;
  if (!CallRegistrationExport(module, exportName, &error)) {
    fprintf(stderr, "tolmix: %s\n", error.c_str());
    return kExitFailed;
  }
  printf("%s %s in %s\n", done, module.c_str(), platform::RegistryPath().c_str());
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
  const char* old = getenv("TOLMIX_REGISTRY");
  std::optional<std::string> saved = old ? std::optional<std::string>(old) : std::nullopt;
  setenv("TOLMIX_REGISTRY", registry.c_str(), 1);
  bool ok = CallRegistrationExport(Absolute(module.empty() ? DefaultServerModule() : module),
                                   "DllRegisterServer", error);
  if (saved) {
    setenv("TOLMIX_REGISTRY", saved->c_str(), 1);
  } else {
    unsetenv("TOLMIX_REGISTRY");
  }
  return ok;
}

}  // namespace tolmix::host
