#include "control/win32/ClassInfo.h"

#include <atomic>
#include <new>

#include <olectl.h>

#include "control/win32/ComControl.h"

namespace tolmix::win32 {

namespace {

// An enumerator over no connection points.
class NoConnectionPoints final : public IEnumConnectionPoints {
 public:
  STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
    if (out == nullptr) return E_POINTER;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IEnumConnectionPoints)) {
      *out = static_cast<IEnumConnectionPoints*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++refs_; }
  STDMETHODIMP_(ULONG) Release() override {
    ULONG left = --refs_;
    if (left == 0) delete this;
    return left;
  }
  STDMETHODIMP Next(ULONG count, IConnectionPoint** points, ULONG* fetched) override {
    if (fetched != nullptr) *fetched = 0;
    if (count > 0 && points == nullptr) return E_POINTER;
    return count == 0 ? S_OK : S_FALSE;
  }
  STDMETHODIMP Skip(ULONG count) override { return count == 0 ? S_OK : S_FALSE; }
  STDMETHODIMP Reset() override { return S_OK; }
  STDMETHODIMP Clone(IEnumConnectionPoints** out) override {
    if (out == nullptr) return E_POINTER;
    *out = new (std::nothrow) NoConnectionPoints;
    return *out ? S_OK : E_OUTOFMEMORY;
  }

 private:
  ~NoConnectionPoints() = default;
  std::atomic<ULONG> refs_{1};
};

}  // namespace

HRESULT ClassInfo::GetClassInfo(ITypeInfo** out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  ITypeLib* lib = nullptr;
  HRESULT hr = LoadModuleTypeLib(reinterpret_cast<void**>(&lib));
  if (FAILED(hr)) return hr;
  hr = lib->GetTypeInfoOfGuid(clsid_, out);
  lib->Release();
  return hr;
}

HRESULT ClassInfo::GetGUID(DWORD kind, GUID* out) {
  if (out == nullptr) return E_POINTER;
  if (kind != GUIDKIND_DEFAULT_SOURCE_DISP_IID) {
    *out = GUID_NULL;
    return E_INVALIDARG;
  }
  *out = events_;
  return S_OK;
}

HRESULT ClassInfo::EnumConnectionPoints(IEnumConnectionPoints** out) {
  if (out == nullptr) return E_POINTER;
  *out = new (std::nothrow) NoConnectionPoints;
  return *out ? S_OK : E_OUTOFMEMORY;
}

HRESULT ClassInfo::FindConnectionPoint(REFIID, IConnectionPoint** out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  return CONNECT_E_NOCONNECTION;
}

}  // namespace tolmix::win32
