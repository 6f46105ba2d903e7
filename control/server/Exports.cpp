// The exports of libtolmix.so, the in-process server: the four entry points
// an automation host looks up by name (C linkage; the class and interface
// IDs come as pointers, the C form of REFCLSID / REFIID).  Everything else
// in the library is local (exports.map), so its copy of the core never
// mixes with a host's own.
#include <dlfcn.h>

#include <string>

#include "control/App.h"
#include "control/Registration.h"
#include "platform/Env.h"

namespace {

using tolmix::platform::HRESULT;

// Path of this library as it was loaded, or "" when it cannot be told.
std::string ModulePath() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&ModulePath), &info) == 0 || info.dli_fname == nullptr) {
    return std::string();
  }
  std::string path = info.dli_fname;
  char* real = realpath(path.c_str(), nullptr);
  if (real != nullptr) {
    path = real;
    free(real);
  }
  return path;
}

}  // namespace

extern "C" {

// Registers the type library, both classes and the safety categories into
// the registry file of the process (platform::RegistryPath()).
HRESULT DllRegisterServer(void) {
  std::string module = ModulePath();
  if (module.empty()) return tolmix::platform::SELFREG_E_TYPELIB;
  return tolmix::control::RegisterServer(tolmix::platform::RegistryPath(), module);
}

HRESULT DllUnregisterServer(void) {
  return tolmix::control::UnregisterServer(tolmix::platform::RegistryPath());
}

HRESULT DllGetClassObject(const tolmix::platform::CLSID* clsid, const tolmix::platform::IID* iid,
                          void** out) {
  if (clsid == nullptr || iid == nullptr) {
    if (out) *out = nullptr;
    return tolmix::platform::E_INVALIDARG;
  }
  return tolmix::control::theApp.GetClassObject(*clsid, *iid, out);
}

HRESULT DllCanUnloadNow(void) { return tolmix::control::theApp.CanUnloadNow(); }

}  // extern "C"
