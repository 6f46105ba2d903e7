#include "control/Registration.h"

#include <string_view>

#include "control/App.h"
#include "control/Guids.h"
#include "control/TypeLib.h"
#include "platform/Registry.h"

namespace tolmix::control {

using namespace platform;

namespace {

bool Edit(const std::string& registry, const std::function<bool(Registry&)>& edit) {
  std::string error;
  return EditRegistry(registry, edit, &error);
}

std::string ClassKey(const CLSID& clsid) { return "CLSID\\" + GuidToString(clsid); }

bool RegisterServerClass(Registry& reg, const CLSID& clsid, const char* typeName,
                         const std::string& module) {
  const std::string key = ClassKey(clsid);
  return reg.SetValue(key, "@", typeName) &&
         reg.SetValue(key + "\\InprocServer32", "@", module) &&
         reg.SetValue(key + "\\InprocServer32", "ThreadingModel", "Apartment");
}

// The control: class, ProgID both ways, control marks, misc status, type
// library identity and version.  Not insertable: no "Insertable" key.
bool RegisterControlClass(Registry& reg, const std::string& module) {
  const COleObjectFactory& f = theApp.ControlFactory();
  const std::string key = ClassKey(f.clsid());
  const char* typeName = LoadResourceString(IDS_TOLMIX);
  const TypeLibAttributes& lib = TypeLibrary();
  const std::string version = std::to_string(lib.major) + "." + std::to_string(lib.minor);
  return RegisterServerClass(reg, f.clsid(), typeName, module) &&
         reg.SetValue(key + "\\ProgID", "@", f.progId()) &&
         reg.CreateKey(key + "\\Control") &&
         reg.SetValue(key + "\\MiscStatus", "@", "0") &&
         reg.SetValue(key + "\\MiscStatus\\1", "@", std::to_string(kControlMiscStatus)) &&
         reg.SetValue(key + "\\TypeLib", "@", GuidToString(lib.libid)) &&
         reg.SetValue(key + "\\Version", "@", version) &&
         reg.SetValue(f.progId(), "@", typeName) &&
         reg.SetValue(std::string(f.progId()) + "\\CLSID", "@", GuidToString(f.clsid()));
}

// The page is registered by class ID and type name only, as property pages
// are: its factory's ProgID is not written.
bool RegisterPageClass(Registry& reg, const std::string& module) {
  return RegisterServerClass(reg, theApp.PageFactory().clsid(), LoadResourceString(IDS_TOLMIX_PPG),
                             module);
}

}  // namespace

HRESULT CreateComponentCategory(const std::string& registry, const GUID& catid,
                                const std::string& description) {
  // The category record holds at most 127 characters and a NUL.
  std::string text = description.substr(0, 127);
  bool ok = Edit(registry, [&](Registry& reg) {
    return reg.SetValue("Component Categories\\" + GuidToString(catid), "409", text);
  });
  return ok ? S_OK : E_FAIL;
}

HRESULT RegisterCLSIDInCategory(const std::string& registry, const CLSID& clsid,
                                const GUID& catid) {
  bool ok = Edit(registry, [&](Registry& reg) {
    return reg.CreateKey(ClassKey(clsid) + "\\Implemented Categories\\" + GuidToString(catid));
  });
  return ok ? S_OK : E_FAIL;
}

HRESULT RegisterServer(const std::string& registry, const std::string& module) {
  if (!Edit(registry, [&](Registry& reg) { return RegisterTypeLib(reg, module); })) {
    return SELFREG_E_TYPELIB;
  }
  if (!Edit(registry, [&](Registry& reg) {
        return RegisterControlClass(reg, module) && RegisterPageClass(reg, module);
      })) {
    return SELFREG_E_CLASS;
  }
  struct Step {
    const GUID* catid;
    const char* description;
  };
  const Step steps[] = {
      {&CATID_SafeForInitializing, "Controls safely initializable from persistent data!"},
      {&CATID_SafeForScripting, "Controls safely scriptable!"},
  };
  for (const Step& s : steps) {
    HRESULT hr = CreateComponentCategory(registry, *s.catid, s.description);
    if (Failed(hr)) return hr;
    hr = RegisterCLSIDInCategory(registry, CLSID_TOLMIX, *s.catid);
    if (Failed(hr)) return hr;
  }
  return S_OK;
}

// Removing a class removes its key with everything under it, the
// "Implemented Categories" marks included; the categories themselves stay.
HRESULT UnregisterServer(const std::string& registry) {
  if (!Edit(registry, [](Registry& reg) {
        UnRegisterTypeLib(reg);
        return true;
      })) {
    return SELFREG_E_TYPELIB;
  }
  if (!Edit(registry, [](Registry& reg) {
        const COleObjectFactory& ctrl = theApp.ControlFactory();
        // The ProgID goes only while it still names this class.
        const std::string* owner = reg.GetValue(std::string(ctrl.progId()) + "\\CLSID");
        if (owner && GuidFromString(*owner) == std::optional<GUID>(ctrl.clsid())) {
          reg.DeleteTree(ctrl.progId());
        }
        reg.DeleteTree(ClassKey(ctrl.clsid()));
        reg.DeleteTree(ClassKey(theApp.PageFactory().clsid()));
        return true;
      })) {
    return SELFREG_E_CLASS;
  }
  return S_OK;
}

}  // namespace tolmix::control
