#include "control/win32/OleObject.h"

#include <olectl.h>

namespace tolmix::win32 {

HRESULT OleObject::SetClientSite(IOleClientSite* site) {
  if (site != nullptr) site->AddRef();
  if (site == nullptr) DeactivateInPlace(state_);  // the container lets go
  if (state_.site != nullptr) state_.site->Release();
  state_.site = site;
  return S_OK;
}

HRESULT OleObject::GetClientSite(IOleClientSite** site) {
  if (site == nullptr) return E_POINTER;
  *site = state_.site;
  if (state_.site != nullptr) state_.site->AddRef();
  return S_OK;
}

HRESULT OleObject::GetMoniker(DWORD, DWORD, IMoniker** out) {
  if (out != nullptr) *out = nullptr;
  return E_NOTIMPL;
}

HRESULT OleObject::GetClipboardData(DWORD, IDataObject** out) {
  if (out != nullptr) *out = nullptr;
  return E_NOTIMPL;
}

HRESULT OleObject::DoVerb(LONG verb, LPMSG, IOleClientSite* site, LONG, HWND parent,
                          LPCRECT) {
  if (site == nullptr) site = state_.site;
  switch (verb) {
    case OLEIVERB_PRIMARY:
    case OLEIVERB_SHOW:
    case OLEIVERB_OPEN:
    case OLEIVERB_INPLACEACTIVATE:
      return ActivateInPlace(state_, site, false);
    case OLEIVERB_UIACTIVATE:
      return ActivateInPlace(state_, site, true);
    case OLEIVERB_DISCARDUNDOSTATE:
      return S_OK;
    case OLEIVERB_PROPERTIES: {
      LPOLESTR name = nullptr;
      OleRegGetUserType(clsid_, USERCLASSTYPE_SHORT, &name);
      IUnknown* self = static_cast<IOleObject*>(this);
      const HRESULT hr = OleCreatePropertyFrame(parent, 0, 0, name, 1, &self, 1, &page_,
                                                GetUserDefaultLCID(), 0, nullptr);
      CoTaskMemFree(name);
      return hr;
    }
    case OLEIVERB_HIDE:
      return DeactivateInPlace(state_);  // nothing of the control is shown
    default:
      return verb >= 0 ? OLEOBJ_S_INVALIDVERB : E_NOTIMPL;
  }
}

HRESULT OleObject::GetUserClassID(CLSID* out) {
  if (out == nullptr) return E_POINTER;
  *out = clsid_;
  return S_OK;
}

HRESULT OleObject::SetExtent(DWORD aspect, SIZEL* size) {
  if (size == nullptr) return E_POINTER;
  if (aspect != DVASPECT_CONTENT) return E_FAIL;
  state_.extent = *size;
  return S_OK;
}

HRESULT OleObject::GetExtent(DWORD aspect, SIZEL* size) {
  if (size == nullptr) return E_POINTER;
  if (aspect != DVASPECT_CONTENT) return E_FAIL;
  *size = state_.extent;
  return S_OK;
}

HRESULT OleObject::Advise(IAdviseSink*, DWORD* cookie) {
  if (cookie != nullptr) *cookie = 0;
  return OLE_E_ADVISENOTSUPPORTED;
}

HRESULT OleObject::EnumAdvise(IEnumSTATDATA** out) {
  if (out != nullptr) *out = nullptr;
  return OLE_E_ADVISENOTSUPPORTED;
}

HRESULT OleObject::GetMiscStatus(DWORD aspect, DWORD* status) {
  if (status == nullptr) return E_POINTER;
  *status = aspect == DVASPECT_CONTENT ? misc_ : 0;
  return S_OK;
}

}  // namespace tolmix::win32
