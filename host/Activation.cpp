#include "host/Activation.h"

#include <map>
#include <memory>

#include "control/ClassFactory.h"
#include "host/InstallLayout.h"
#include "platform/DynamicLibrary.h"
#include "platform/Env.h"
#include "platform/Registry.h"

namespace tolmix::host {

using namespace platform;

namespace {

using GetClassObjectFn = HRESULT (*)(const CLSID*, const IID*, void**);

// Server modules loaded so far, by path; unloaded only at process exit,
// after every object they made is gone.
std::map<std::string, DynamicLibrary>& LoadedModules() {
  static std::map<std::string, DynamicLibrary> modules;
  return modules;
}

std::string HrText(HRESULT hr) {
  char text[16];
  snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(hr));
  const char* name = HResultName(hr);
  return *name ? std::string(name) + " (" + text + ")" : std::string(text);
}

HRESULT CreateFromRegistry(const Registry& reg, const CLSID& clsid, const std::string& what,
                           const IID& iid, void** out, std::string* error) {
  const std::string key = "CLSID\\" + GuidToString(clsid) + "\\InprocServer32";
  const std::string* module = reg.GetValue(key);
  if (module == nullptr || module->empty()) {
    *error = what + " has no in-process server registered (no " + key + ")";
    return REGDB_E_CLASSNOTREG;
  }
  auto getClassObject = reinterpret_cast<GetClassObjectFn>(
      ServerExport(*module, "DllGetClassObject", error));
  if (getClassObject == nullptr) {
    *error = "cannot create " + what + ": " + *error;
    return CO_E_DLLNOTFOUND;
  }
  control::IClassFactory* factory = nullptr;
  HRESULT hr = getClassObject(&clsid, &control::IID_IClassFactory, reinterpret_cast<void**>(&factory));
  if (Failed(hr) || factory == nullptr) {
    *error = "cannot create " + what + ": " + *module + " has no class factory for it: " + HrText(hr);
    return Failed(hr) ? hr : E_UNEXPECTED;
  }
  hr = factory->CreateInstance(nullptr, iid, out);
  factory->Release();
  if (Failed(hr)) *error = "cannot create " + what + ": " + HrText(hr);
  return hr;
}

}  // namespace

void* ServerExport(const std::string& module, const char* name, std::string* error) {
  auto& modules = LoadedModules();
  auto it = modules.find(module);
  if (it == modules.end()) {
    DynamicLibrary lib;
    if (!lib.Load(module)) {
      *error = "cannot load " + module + ": " + lib.Error();
      return nullptr;
    }
    it = modules.emplace(module, std::move(lib)).first;
  }
  void* fn = it->second.Symbol(name);
  if (fn == nullptr) *error = module + " does not export " + name;
  return fn;
}

HRESULT CreateObjectByProgId(std::string_view progId, const IID& iid, void** out,
                             std::string* error) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  const std::string user = RegistryPath(), machine = MachineRegistryPath();
  Registry reg;
  if (!LoadClassesRoot(user, machine, &reg, error)) return E_FAIL;
  const std::string what = "\"" + std::string(progId) + "\"";
  const std::string* text = progId.empty() ? nullptr : reg.GetValue(std::string(progId) + "\\CLSID");
  if (text == nullptr) {
    *error = "cannot create " + what + ": no such class is registered in " + user + " or " +
             machine + " (run `tolmix register` first)";
    return REGDB_E_CLASSNOTREG;
  }
  std::optional<GUID> clsid = GuidFromString(*text);
  if (!clsid) {
    *error = "cannot create " + what + ": its class ID \"" + *text + "\" in " + user + " or " +
             machine + " is not a GUID";
    return REGDB_E_CLASSNOTREG;
  }
  return CreateFromRegistry(reg, *clsid, what, iid, out, error);
}

HRESULT CreateObjectByClsid(const CLSID& clsid, const IID& iid, void** out, std::string* error) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  Registry reg;
  if (!LoadClassesRoot(RegistryPath(), MachineRegistryPath(), &reg, error)) return E_FAIL;
  return CreateFromRegistry(reg, clsid, "class " + GuidToString(clsid), iid, out, error);
}

std::string DefaultServerModule() { return ServerModulePath(); }

}  // namespace tolmix::host
