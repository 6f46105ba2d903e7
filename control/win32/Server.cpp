// The exports of TOLMIX.OCX: DllGetClassObject hands out the class
// factories of the control and of its property page, DllCanUnloadNow
// reports whether a control or a page is alive or a factory locked, DllRegisterServer / DllUnregisterServer are in
// Registration.cpp.  The .def file exports them undecorated, with
// OPENSSL_Applink (Applink.c).
#include "control/Guids.h"
#include "control/win32/ComControl.h"
#include "control/win32/PropertyPage.h"

#include <windows.h>
#include <ole2.h>

#include <atomic>
#include <cstring>

namespace {

std::atomic<long> g_locks{0};

// The factory of one class: CREATE makes an object of it.
class Factory final : public IClassFactory {
 public:
  explicit Factory(long (*create)(const void* iid, void** out)) : create_(create) {}

  STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
    if (out == nullptr) return E_POINTER;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IClassFactory)) {
      *out = static_cast<IClassFactory*>(this);
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  // The factory lives from load to unload.
  STDMETHODIMP_(ULONG) AddRef() override { return 2; }
  STDMETHODIMP_(ULONG) Release() override { return 1; }
  STDMETHODIMP CreateInstance(IUnknown* outer, REFIID iid, void** out) override {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    return create_(&iid, out);
  }
  STDMETHODIMP LockServer(BOOL lock) override {
    if (lock) {
      ++g_locks;
    } else if (g_locks.load() > 0) {
      --g_locks;
    }
    return S_OK;
  }

 private:
  long (*create_)(const void* iid, void** out);
};

Factory g_control(tolmix::win32::CreateComControl);
Factory g_page(tolmix::win32::CreatePropertyPage);

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    tolmix::win32::SetModule(instance);
    DisableThreadLibraryCalls(instance);
  }
  return TRUE;
}

extern "C" HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID clsid, REFIID iid, void** out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  static_assert(sizeof(CLSID) == sizeof tolmix::control::CLSID_TOLMIX);
  if (memcmp(&clsid, &tolmix::control::CLSID_TOLMIX, sizeof(CLSID)) == 0) {
    return g_control.QueryInterface(iid, out);
  }
  if (memcmp(&clsid, &tolmix::control::CLSID_TOLMIXPropPage, sizeof(CLSID)) == 0) {
    return g_page.QueryInterface(iid, out);
  }
  return CLASS_E_CLASSNOTAVAILABLE;
}

extern "C" HRESULT STDAPICALLTYPE DllCanUnloadNow() {
  return (tolmix::win32::LiveComControls() == 0 && tolmix::win32::LivePropertyPages() == 0 &&
          g_locks.load() == 0)
             ? S_OK
             : S_FALSE;
}
