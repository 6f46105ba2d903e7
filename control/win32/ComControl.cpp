#include "control/win32/ComControl.h"

// The control's headers first: their COM names (S_OK, VT_BSTR, ...) are
// macros once the Windows headers are in.  Below those only the Windows
// spellings are used, which carry the same values.
#include "control/Guids.h"
#include "control/Registration.h"
#include "control/TOLMIXCtrl.h"
#include "platform/Variant.h"

namespace tolmix::win32 {
// The control's own "no interface" IID, named before the Windows headers
// make IID_NULL a macro.
inline constexpr const platform::IID& kInnerNoIid = platform::IID_NULL;
}  // namespace tolmix::win32

#include <windows.h>
#include <ole2.h>
#include <objsafe.h>
#include <ocidl.h>

#include "control/win32/Activation.h"
#include "control/win32/ClassInfo.h"
#include "control/win32/Embedding.h"
#include "control/win32/InPlace.h"
#include "control/win32/OleObject.h"
#include "control/win32/Persist.h"
#include "control/win32/Same.h"
#include "control/win32/ViewObject.h"

#include <atomic>
#include <cstring>
#include <vector>

namespace tolmix::win32 {
namespace {

namespace pf = tolmix::platform;

std::atomic<long> g_live{0};
HINSTANCE g_module = nullptr;

const IID kDIID = Same<IID>(control::DIID__DTOLMIX);
static_assert(sizeof(DISPID) == sizeof(pf::DISPID));

// One argument of the script as the control takes it: the script's own
// value, which the control converts to its parameter's type by the same
// rules as on Linux (platform/Variant.h, platform/Coerce.h).  Integers of
// any width are a long where they fit and a double otherwise, as are
// currency and decimal values; an object is its default value, as
// VariantChangeType would take it; a date is the user locale's text of it
// (what a text parameter would receive; a number parameter then refuses
// it).  Arrays and other types are DISP_E_TYPEMISMATCH, as
// VariantChangeType makes them.
HRESULT ToControl(const VARIANT* in, pf::Variant* out, int depth = 0) {
  if (V_VT(in) == (VT_BYREF | VT_VARIANT)) in = V_VARIANTREF(in);
  switch (V_VT(in)) {
    case VT_EMPTY:
      *out = pf::Variant();
      return S_OK;
    case VT_NULL:
      *out = pf::Variant::Null();
      return S_OK;
    case VT_I2:
      *out = pf::Variant::I2(V_I2(in));
      return S_OK;
    case VT_I4:
      *out = pf::Variant::I4(V_I4(in));
      return S_OK;
    case VT_R8:
      *out = pf::Variant::R8(V_R8(in));
      return S_OK;
    case VT_BOOL:
      *out = pf::Variant::Bool(V_BOOL(in) != VARIANT_FALSE);
      return S_OK;
    case VT_BSTR: {
      BSTR s = V_BSTR(in);
      *out = s ? pf::Variant::Text(std::u16string_view(reinterpret_cast<const char16_t*>(s),
                                                       SysStringLen(s)))
               : pf::Variant::NullText();
      return S_OK;
    }
    case VT_DATE: {
      VARIANT text;
      VariantInit(&text);
      HRESULT hr = VariantChangeType(&text, const_cast<VARIANT*>(in), 0, VT_BSTR);
      if (FAILED(hr)) return hr;
      hr = ToControl(&text, out, depth);
      VariantClear(&text);
      return hr;
    }
    case VT_DISPATCH: {
      // The object's default value, fetched as VariantChangeType does.
      IDispatch* disp = V_DISPATCH(in);
      if (disp == nullptr || depth > 4) return DISP_E_TYPEMISMATCH;
      DISPPARAMS none = {nullptr, nullptr, 0, 0};
      VARIANT value;
      VariantInit(&value);
      HRESULT hr = disp->Invoke(DISPID_VALUE, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYGET,
                                &none, &value, nullptr, nullptr);
      if (FAILED(hr)) return DISP_E_TYPEMISMATCH;
      hr = ToControl(&value, out, depth + 1);
      VariantClear(&value);
      return hr;
    }
    case VT_I1: case VT_UI1: case VT_UI2: case VT_UI4: case VT_INT: case VT_UINT:
    case VT_I8: case VT_UI8: case VT_R4: case VT_CY: case VT_DECIMAL: {
      VARIANT number;
      VariantInit(&number);
      HRESULT hr = VariantChangeType(&number, const_cast<VARIANT*>(in), 0, VT_R8);
      if (FAILED(hr)) return hr;
      const double d = V_R8(&number);
      if (d >= -2147483648.0 && d <= 2147483647.0 && d == static_cast<double>(static_cast<LONG>(d))) {
        *out = pf::Variant::I4(static_cast<int32_t>(d));
      } else {
        *out = pf::Variant::R8(d);
      }
      return S_OK;
    }
    default:
      return DISP_E_TYPEMISMATCH;
  }
}

HRESULT ToScript(const pf::VARIANT& in, VARIANT* out) {
  VariantClear(out);
  switch (in.vt) {
    case VT_I2:
      V_VT(out) = VT_I2;
      V_I2(out) = in.iVal;
      break;
    case VT_I4:
      V_VT(out) = VT_I4;
      V_I4(out) = in.lVal;
      break;
    case VT_R8:
      V_VT(out) = VT_R8;
      V_R8(out) = in.dblVal;
      break;
    case VT_BOOL:
      V_VT(out) = VT_BOOL;
      V_BOOL(out) = in.boolVal ? VARIANT_TRUE : VARIANT_FALSE;
      break;
    case VT_BSTR: {
      std::u16string_view text = pf::BstrView(in.bstrVal);
      BSTR s = SysAllocStringLen(reinterpret_cast<const OLECHAR*>(text.data()),
                                 static_cast<UINT>(text.size()));
      if (s == nullptr) return E_OUTOFMEMORY;
      V_VT(out) = VT_BSTR;
      V_BSTR(out) = s;
      break;
    }
    default:
      break;  // no result
  }
  return S_OK;
}

const CLSID kCLSID = Same<CLSID>(control::CLSID_TOLMIX);

class ComControl final : public IDispatch,
                         public IObjectSafety,
                         public ISpecifyPropertyPages,
                         public OleObject,
                         public InPlace,
                         public ViewObject,
                         public Persist,
                         public ClassInfo,
                         public Activation {
 public:
  explicit ComControl(CTOLMIXCtrl* inner)
      : OleObject(kCLSID, Same<CLSID>(control::CLSID_TOLMIXPropPage), control::kControlMiscStatus,
                  state_),
        InPlace(state_),
        ViewObject(state_),
        Persist(kCLSID, state_),
        ClassInfo(kCLSID, Same<IID>(control::DIID__DTOLMIXEvents)),
        Activation(control::kControlMiscStatus, state_),
        inner_(inner) {
    ++g_live;
  }
  ComControl(const ComControl&) = delete;
  ComControl& operator=(const ComControl&) = delete;

  // IUnknown
  STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
    if (out == nullptr) return E_POINTER;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IDispatch) ||
        IsEqualIID(iid, kDIID)) {
      *out = static_cast<IDispatch*>(this);
    } else if (IsEqualIID(iid, IID_IObjectSafety)) {
      *out = static_cast<IObjectSafety*>(this);
    } else if (IsEqualIID(iid, IID_ISpecifyPropertyPages)) {
      *out = static_cast<ISpecifyPropertyPages*>(this);
    } else if (IsEqualIID(iid, IID_IOleObject)) {
      *out = static_cast<IOleObject*>(this);
    } else if (IsEqualIID(iid, IID_IOleWindow) || IsEqualIID(iid, IID_IOleInPlaceObject) ||
               IsEqualIID(iid, IID_IOleInPlaceObjectWindowless)) {
      *out = static_cast<IOleInPlaceObjectWindowless*>(this);
    } else if (IsEqualIID(iid, IID_IOleInPlaceActiveObject)) {
      *out = static_cast<IOleInPlaceActiveObject*>(this);
    } else if (IsEqualIID(iid, IID_IViewObject) || IsEqualIID(iid, IID_IViewObject2) ||
               IsEqualIID(iid, IID_IViewObjectEx)) {
      *out = static_cast<IViewObjectEx*>(this);
    } else if (IsEqualIID(iid, IID_IPersist) || IsEqualIID(iid, IID_IPersistPropertyBag)) {
      *out = static_cast<IPersistPropertyBag*>(this);
    } else if (IsEqualIID(iid, IID_IPersistStreamInit)) {
      *out = static_cast<IPersistStreamInit*>(this);
    } else if (IsEqualIID(iid, IID_IProvideClassInfo) ||
               IsEqualIID(iid, IID_IProvideClassInfo2)) {
      *out = static_cast<IProvideClassInfo2*>(this);
    } else if (IsEqualIID(iid, IID_IConnectionPointContainer)) {
      *out = static_cast<IConnectionPointContainer*>(this);
    } else if (IsEqualIID(iid, IID_IQuickActivate)) {
      *out = static_cast<IQuickActivate*>(this);
    } else if (IsEqualIID(iid, IID_IOleControl)) {
      *out = static_cast<IOleControl*>(this);
    } else {
      *out = nullptr;
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++refs_; }
  STDMETHODIMP_(ULONG) Release() override {
    ULONG left = --refs_;
    if (left == 0) delete this;
    return left;
  }

  // IDispatch
  STDMETHODIMP GetTypeInfoCount(UINT* count) override {
    if (count == nullptr) return E_POINTER;
    *count = 1;
    return S_OK;
  }
  STDMETHODIMP GetTypeInfo(UINT index, LCID, ITypeInfo** info) override {
    if (info == nullptr) return E_POINTER;
    *info = nullptr;
    if (index != 0) return DISP_E_BADINDEX;
    ITypeLib* lib = nullptr;
    HRESULT hr = LoadModuleTypeLib(reinterpret_cast<void**>(&lib));
    if (FAILED(hr)) return hr;
    hr = lib->GetTypeInfoOfGuid(kDIID, info);
    lib->Release();
    return hr;
  }
  STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID lcid,
                             DISPID* ids) override {
    if (names == nullptr || ids == nullptr) return E_POINTER;
    return inner_->GetIDsOfNames(kInnerNoIid, reinterpret_cast<const char16_t* const*>(names),
                                 count, lcid, reinterpret_cast<pf::DISPID*>(ids));
  }
  STDMETHODIMP Invoke(DISPID id, REFIID, LCID lcid, WORD flags, DISPPARAMS* params,
                      VARIANT* result, EXCEPINFO*, UINT* argerr) override {
    const unsigned count = params ? params->cArgs : 0;
    std::vector<pf::Variant> args(count);
    for (unsigned i = 0; i < count; ++i) {
      HRESULT hr = ToControl(&params->rgvarg[i], &args[i]);
      if (FAILED(hr)) {
        if (argerr) *argerr = i;
        return hr;
      }
    }
    std::vector<pf::DISPID> named;
    if (params && params->cNamedArgs) {
      named.assign(params->rgdispidNamedArgs, params->rgdispidNamedArgs + params->cNamedArgs);
    }
    pf::DISPPARAMS inner{args.data(), named.data(), count, static_cast<unsigned>(named.size())};
    pf::Variant out;
    HRESULT hr = inner_->Invoke(id, kInnerNoIid, lcid, flags, &inner, result ? &out : nullptr,
                                nullptr, argerr);
    if (SUCCEEDED(hr) && result) hr = ToScript(out, result);
    return hr;
  }

  // IObjectSafety: the control's own answers (control/ObjectSafety.h), for
  // every interface of this object, those of the OLE interfaces too
  // (IPersistPropertyBag with untrusted data above all): the inner control
  // is asked about an interface it has, with the same rules.
  STDMETHODIMP GetInterfaceSafetyOptions(REFIID iid, DWORD* supported, DWORD* enabled) override {
    uint32_t s = 0, e = 0;
    HRESULT hr = Safety()->GetInterfaceSafetyOptions(SafetyIid(iid), &s, &e);
    if (supported) *supported = s;
    if (enabled) *enabled = e;
    return (supported && enabled) ? hr : E_POINTER;
  }
  STDMETHODIMP SetInterfaceSafetyOptions(REFIID iid, DWORD mask, DWORD enabled) override {
    return Safety()->SetInterfaceSafetyOptions(SafetyIid(iid), mask, enabled);
  }

  // ISpecifyPropertyPages: the one page, CTOLMIXPropPage.
  STDMETHODIMP GetPages(CAUUID* pages) override {
    if (pages == nullptr) return E_POINTER;
    pages->pElems = static_cast<GUID*>(CoTaskMemAlloc(sizeof(GUID)));
    if (pages->pElems == nullptr) {
      pages->cElems = 0;
      return E_OUTOFMEMORY;
    }
    pages->cElems = 1;
    pages->pElems[0] = Same<GUID>(control::CLSID_TOLMIXPropPage);
    return S_OK;
  }

 protected:
  // Persist and Activation.
  IDispatch* Dispatch() override { return this; }
  bool Modified() override { return inner_->IsModified(); }
  void ClearModified() override { inner_->ClearModified(); }
  IOleObject* OleObjectOf() override { return this; }
  IViewObject* ViewOf() override { return this; }

 private:
  ~ComControl() {
    inner_->Release();
    --g_live;
  }
  control::IObjectSafety* Safety() {
    void* p = nullptr;
    inner_->QueryInterface(control::IID_IObjectSafety, &p);
    auto* safety = static_cast<control::IObjectSafety*>(p);
    safety->Release();  // a part of inner_, which this object keeps alive
    return safety;
  }

  // IID as the inner control's IObjectSafety is to be asked about it: an
  // interface of this object's the inner control lacks stands in as
  // IDispatch, which it has.
  pf::IID SafetyIid(REFIID iid) {
    void* p = nullptr;
    if (FAILED(QueryInterface(iid, &p))) return Same<pf::IID>(iid);
    static_cast<IUnknown*>(static_cast<IDispatch*>(this))->Release();
    void* q = nullptr;
    if (inner_->QueryInterface(Same<pf::IID>(iid), &q) == S_OK) {
      static_cast<pf::IUnknown*>(q)->Release();
      return Same<pf::IID>(iid);
    }
    return Same<pf::IID>(IID_IDispatch);
  }

  Embedding state_;
  std::atomic<ULONG> refs_{1};
  CTOLMIXCtrl* inner_;
};

}  // namespace

void SetModule(void* instance) { g_module = static_cast<HINSTANCE>(instance); }
void* Module() { return g_module; }

long CreateComControl(const void* iid, void** out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  CTOLMIXCtrl* inner = CTOLMIXCtrl::Create();
  if (inner == nullptr) return E_OUTOFMEMORY;
  auto* ctrl = new (std::nothrow) ComControl(inner);
  if (ctrl == nullptr) {
    inner->Release();
    return E_OUTOFMEMORY;
  }
  HRESULT hr = ctrl->QueryInterface(*static_cast<const IID*>(iid), out);
  ctrl->Release();
  return hr;
}

long LoadModuleTypeLib(void** out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  wchar_t path[MAX_PATH];
  DWORD n = GetModuleFileNameW(g_module, path, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return E_FAIL;
  return LoadTypeLibEx(path, REGKIND_NONE, reinterpret_cast<ITypeLib**>(out));
}

long LiveComControls() { return g_live.load(); }

}  // namespace tolmix::win32
