#include "control/win32/Persist.h"

#include <cstring>

namespace tolmix::win32 {

namespace {

// The stream: the version stamp (major in the high word), then the extent.
constexpr DWORD kVersion = 0x00010000;
struct Saved {
  DWORD version;
  LONG cx, cy;
};

// Reads NAME from BAG as a long into *OUT; false when the bag lacks it or
// it is no number.
bool ReadLong(IPropertyBag* bag, const wchar_t* name, IErrorLog* log, LONG* out) {
  VARIANT v;
  VariantInit(&v);
  V_VT(&v) = VT_I4;
  HRESULT hr = bag->Read(name, &v, log);
  if (SUCCEEDED(hr) && V_VT(&v) != VT_I4) hr = VariantChangeType(&v, &v, 0, VT_I4);
  const bool ok = SUCCEEDED(hr) && V_VT(&v) == VT_I4;
  if (ok) *out = V_I4(&v);
  VariantClear(&v);
  return ok;
}

// Assigns the <param> of every property TYPE lists to the object through
// DISP.
void PutProperties(IPropertyBag* bag, IErrorLog* log, IDispatch* disp, ITypeInfo* type) {
  TYPEATTR* attr = nullptr;
  if (FAILED(type->GetTypeAttr(&attr))) return;
  for (UINT i = 0; i < attr->cVars; ++i) {
    VARDESC* var = nullptr;
    if (FAILED(type->GetVarDesc(i, &var))) continue;
    BSTR name = nullptr;
    if (SUCCEEDED(type->GetDocumentation(var->memid, &name, nullptr, nullptr, nullptr))) {
      VARIANT v;
      VariantInit(&v);
      if (SUCCEEDED(bag->Read(name, &v, log))) {
        DISPID put = DISPID_PROPERTYPUT;
        DISPPARAMS params = {&v, &put, 1, 1};
        // A value the property's type does not take is passed over, as
        // the control would pass over a script's.
        disp->Invoke(var->memid, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYPUT, &params,
                     nullptr, nullptr, nullptr);
      }
      VariantClear(&v);
      SysFreeString(name);
    }
    type->ReleaseVarDesc(var);
  }
  type->ReleaseTypeAttr(attr);
}

HRESULT WriteLong(IPropertyBag* bag, const wchar_t* name, LONG value) {
  VARIANT v;
  VariantInit(&v);
  V_VT(&v) = VT_I4;
  V_I4(&v) = value;
  return bag->Write(name, &v);
}

}  // namespace

HRESULT Persist::GetClassID(CLSID* out) {
  if (out == nullptr) return E_POINTER;
  *out = clsid_;
  return S_OK;
}

HRESULT Persist::Load(IPropertyBag* bag, IErrorLog* log) {
  if (bag == nullptr) return E_POINTER;
  LONG cx = 0, cy = 0;
  if (ReadLong(bag, L"_ExtentX", log, &cx) && cx >= 0) state_.extent.cx = cx;
  if (ReadLong(bag, L"_ExtentY", log, &cy) && cy >= 0) state_.extent.cy = cy;
  IDispatch* disp = Dispatch();
  ITypeInfo* type = nullptr;
  if (SUCCEEDED(disp->GetTypeInfo(0, LOCALE_USER_DEFAULT, &type)) && type != nullptr) {
    PutProperties(bag, log, disp, type);
    type->Release();
  }
  ClearModified();
  return S_OK;
}

HRESULT Persist::Save(IPropertyBag* bag, BOOL clearDirty, BOOL) {
  if (bag == nullptr) return E_POINTER;
  HRESULT hr = WriteLong(bag, L"_Version", static_cast<LONG>(kVersion));
  if (SUCCEEDED(hr)) hr = WriteLong(bag, L"_ExtentX", state_.extent.cx);
  if (SUCCEEDED(hr)) hr = WriteLong(bag, L"_ExtentY", state_.extent.cy);
  if (SUCCEEDED(hr) && clearDirty) ClearModified();
  return hr;
}

HRESULT Persist::Load(LPSTREAM stream) {
  if (stream == nullptr) return E_POINTER;
  Saved saved = {};
  ULONG got = 0;
  HRESULT hr = stream->Read(&saved, sizeof saved, &got);
  if (FAILED(hr)) return hr;
  // Any 1.x stamp is the control's; a short stream or another major
  // version is not.
  if (got != sizeof saved || HIWORD(saved.version) != HIWORD(kVersion) || saved.cx < 0 ||
      saved.cy < 0) {
    return STG_E_READFAULT;
  }
  state_.extent = {saved.cx, saved.cy};
  ClearModified();
  return S_OK;
}

HRESULT Persist::Save(LPSTREAM stream, BOOL clearDirty) {
  if (stream == nullptr) return E_POINTER;
  const Saved saved = {kVersion, state_.extent.cx, state_.extent.cy};
  ULONG put = 0;
  HRESULT hr = stream->Write(&saved, sizeof saved, &put);
  if (SUCCEEDED(hr) && put != sizeof saved) hr = STG_E_WRITEFAULT;
  if (SUCCEEDED(hr) && clearDirty) ClearModified();
  return hr;
}

HRESULT Persist::GetSizeMax(ULARGE_INTEGER* size) {
  if (size == nullptr) return E_POINTER;
  size->QuadPart = sizeof(Saved);
  return S_OK;
}

}  // namespace tolmix::win32
