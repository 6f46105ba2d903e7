// DllRegisterServer / DllUnregisterServer of TOLMIX.OCX into the Windows
// registry (HKEY_CLASSES_ROOT): the type library from the module's own
// TYPELIB resource, the two classes with the keys the control framework
// writes, and the two safety categories through the standard component
// categories manager (ICatRegister).  Each step's failure ends the run
// with its HRESULT; the categories stay after unregistration.
#include "control/App.h"
#include "control/Guids.h"
#include "control/Registration.h"
#include "control/win32/ComControl.h"
#include "control/win32/Same.h"

#include <windows.h>
#include <ole2.h>
#include <comcat.h>
#include <olectl.h>

#include <cstring>
#include <string>

namespace {

using tolmix::control::kControlProgId;
using tolmix::win32::Same;

std::string Text(const tolmix::platform::GUID& g) { return tolmix::platform::GuidToString(g); }

bool SetValue(const std::string& key, const char* name, const std::string& value) {
  HKEY h = nullptr;
  if (RegCreateKeyExA(HKEY_CLASSES_ROOT, key.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &h,
                      nullptr) != ERROR_SUCCESS) {
    return false;
  }
  LONG r = ERROR_SUCCESS;
  if (name != nullptr || !value.empty()) {
    r = RegSetValueExA(h, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                       static_cast<DWORD>(value.size() + 1));
  }
  RegCloseKey(h);
  return r == ERROR_SUCCESS;
}

bool CreateKey(const std::string& key) { return SetValue(key, nullptr, ""); }

std::string ModulePath() {
  char path[MAX_PATH];
  DWORD n = GetModuleFileNameA(static_cast<HMODULE>(tolmix::win32::Module()), path, MAX_PATH);
  return (n > 0 && n < MAX_PATH) ? std::string(path, n) : std::string();
}

bool RegisterClass(const tolmix::platform::CLSID& clsid, int typeName, const std::string& module) {
  const std::string key = "CLSID\\" + Text(clsid);
  return SetValue(key, nullptr, tolmix::control::LoadResourceString(typeName)) &&
         SetValue(key + "\\InprocServer32", nullptr, module) &&
         SetValue(key + "\\InprocServer32", "ThreadingModel", "Apartment");
}

bool RegisterClasses(const std::string& module) {
  using namespace tolmix::control;
  const std::string key = "CLSID\\" + Text(CLSID_TOLMIX);
  const char* typeName = LoadResourceString(IDS_TOLMIX);
  return RegisterClass(CLSID_TOLMIX, IDS_TOLMIX, module) &&
         SetValue(key + "\\ProgID", nullptr, kControlProgId) && CreateKey(key + "\\Control") &&
         SetValue(key + "\\MiscStatus", nullptr, "0") &&
         SetValue(key + "\\MiscStatus\\1", nullptr, std::to_string(kControlMiscStatus)) &&
         SetValue(key + "\\TypeLib", nullptr, Text(LIBID_TOLMIXLib)) &&
         SetValue(key + "\\Version", nullptr, "1.0") &&
         SetValue(kControlProgId, nullptr, typeName) &&
         SetValue(std::string(kControlProgId) + "\\CLSID", nullptr, Text(CLSID_TOLMIX)) &&
         RegisterClass(CLSID_TOLMIXPropPage, IDS_TOLMIX_PPG, module);
}

// The component categories manager, in process, or null.
ICatRegister* Categories() {
  ICatRegister* cr = nullptr;
  if (FAILED(CoCreateInstance(CLSID_StdComponentCategoriesMgr, nullptr, CLSCTX_INPROC_SERVER,
                              IID_ICatRegister, reinterpret_cast<void**>(&cr)))) {
    return nullptr;
  }
  return cr;
}

HRESULT CreateComponentCategory(const tolmix::platform::GUID& catid, const wchar_t* description) {
  ICatRegister* cr = Categories();
  if (cr == nullptr) return E_FAIL;
  CATEGORYINFO info{};
  info.catid = Same<CATID>(catid);
  info.lcid = 0x0409;
  // The record holds at most 127 characters and a NUL.
  wcsncpy(info.szDescription, description, 127);
  info.szDescription[127] = L'\0';
  HRESULT hr = cr->RegisterCategories(1, &info);
  cr->Release();
  return hr;
}

HRESULT RegisterCLSIDInCategory(const tolmix::platform::CLSID& clsid,
                                const tolmix::platform::GUID& catid) {
  ICatRegister* cr = Categories();
  if (cr == nullptr) return E_FAIL;
  CATID id = Same<CATID>(catid);
  HRESULT hr = cr->RegisterClassImplCategories(Same<CLSID>(clsid), 1, &id);
  cr->Release();
  return hr;
}

// COM for the length of one call, unless the caller has it already.
class ComScope {
 public:
  ComScope() : hr_(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)) {}
  ~ComScope() {
    if (SUCCEEDED(hr_)) CoUninitialize();
  }

 private:
  HRESULT hr_;
};

HRESULT Register() {
  using namespace tolmix::control;
  ComScope com;
  const std::string module = ModulePath();
  std::wstring wmodule(module.begin(), module.end());
  {
    wchar_t path[MAX_PATH];
    DWORD n = GetModuleFileNameW(static_cast<HMODULE>(tolmix::win32::Module()), path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return SELFREG_E_TYPELIB;
    wmodule.assign(path, n);
  }
  ITypeLib* lib = nullptr;
  if (FAILED(LoadTypeLibEx(wmodule.c_str(), REGKIND_REGISTER, &lib))) return SELFREG_E_TYPELIB;
  lib->Release();
  if (module.empty() || !RegisterClasses(module)) return SELFREG_E_CLASS;
  struct Step {
    const tolmix::platform::GUID* catid;
    const wchar_t* description;
  };
  const Step steps[] = {
      {&tolmix::control::CATID_SafeForInitializing, L"Controls safely initializable from persistent data!"},
      {&tolmix::control::CATID_SafeForScripting, L"Controls safely scriptable!"},
  };
  for (const Step& s : steps) {
    HRESULT hr = CreateComponentCategory(*s.catid, s.description);
    if (FAILED(hr)) return hr;
    hr = RegisterCLSIDInCategory(CLSID_TOLMIX, *s.catid);
    if (FAILED(hr)) return hr;
  }
  return S_OK;
}

bool DeleteTree(const std::string& key) {
  LONG r = RegDeleteTreeA(HKEY_CLASSES_ROOT, key.c_str());
  if (r == ERROR_SUCCESS || r == ERROR_FILE_NOT_FOUND) {
    RegDeleteKeyA(HKEY_CLASSES_ROOT, key.c_str());
    return true;
  }
  return false;
}

HRESULT Unregister() {
  using namespace tolmix::control;
  ComScope com;
  // Version 1.0, locale 0: the registered library that answers for it is
  // removed under its own locale and system, as the control framework
  // does.  A library that is not registered is not an error (as on Linux).
  ITypeLib* lib = nullptr;
  if (SUCCEEDED(LoadRegTypeLib(Same<GUID>(LIBID_TOLMIXLib), 1, 0, 0, &lib))) {
    TLIBATTR* attr = nullptr;
    HRESULT hr = lib->GetLibAttr(&attr);
    if (SUCCEEDED(hr)) {
      hr = UnRegisterTypeLib(attr->guid, attr->wMajorVerNum, attr->wMinorVerNum, attr->lcid,
                             attr->syskind);
      lib->ReleaseTLibAttr(attr);
    }
    lib->Release();
    if (FAILED(hr)) return SELFREG_E_TYPELIB;
  }
  // Wine's UnRegisterTypeLib keeps the version key with its help string;
  // Windows removes it, and the library's key when no version is left.
  const std::string libKey = "TypeLib\\" + Text(LIBID_TOLMIXLib);
  RegDeleteTreeA(HKEY_CLASSES_ROOT, (libKey + "\\1.0").c_str());
  RegDeleteKeyA(HKEY_CLASSES_ROOT, (libKey + "\\1.0").c_str());
  RegDeleteKeyA(HKEY_CLASSES_ROOT, libKey.c_str());
  // The ProgID goes only while it still names this class.
  char owner[64] = "";
  LONG size = sizeof owner;
  const std::string progClsid = std::string(kControlProgId) + "\\CLSID";
  bool ok = true;
  if (RegQueryValueA(HKEY_CLASSES_ROOT, progClsid.c_str(), owner, &size) == ERROR_SUCCESS &&
      _stricmp(owner, Text(CLSID_TOLMIX).c_str()) == 0) {
    ok = DeleteTree(kControlProgId);
  }
  ok = DeleteTree("CLSID\\" + Text(CLSID_TOLMIX)) && ok;
  ok = DeleteTree("CLSID\\" + Text(CLSID_TOLMIXPropPage)) && ok;
  return ok ? S_OK : SELFREG_E_CLASS;
}

}  // namespace

extern "C" HRESULT STDAPICALLTYPE DllRegisterServer() { return Register(); }
extern "C" HRESULT STDAPICALLTYPE DllUnregisterServer() { return Unregister(); }
