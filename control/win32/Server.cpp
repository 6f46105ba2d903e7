// The exports of TOLMIX.OCX: DllGetClassObject hands out the control's
// class factory, DllCanUnloadNow reports whether a control is alive or the
// factory locked, DllRegisterServer / DllUnregisterServer are in
// Registration.cpp.  The .def file exports them undecorated, with
// OPENSSL_Applink (Applink.c).
#include "control/Guids.h"
#include "control/win32/ComControl.h"

#include <windows.h>
#include <ole2.h>

#include <atomic>
#include <cstring>

namespace {

std::atomic<long> g_locks{0};

class ControlFactory final : public IClassFactory {
 public:
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
    return tolmix::win32::CreateComControl(&iid, out);
  }
  STDMETHODIMP LockServer(BOOL lock) override {
    if (lock) {
      ++g_locks;
    } else if (g_locks.load() > 0) {
      --g_locks;
    }
    return S_OK;
  }
};

ControlFactory g_factory;

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
  if (memcmp(&clsid, &tolmix::control::CLSID_TOLMIX, sizeof(CLSID)) != 0) {
    return CLASS_E_CLASSNOTAVAILABLE;
  }
  return g_factory.QueryInterface(iid, out);
}

extern "C" HRESULT STDAPICALLTYPE DllCanUnloadNow() {
  return (tolmix::win32::LiveComControls() == 0 && g_locks.load() == 0) ? S_OK : S_FALSE;
}
