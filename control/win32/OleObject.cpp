#include "control/win32/OleObject.h"

#include <olectl.h>

namespace tolmix::win32 {

OleObject::~OleObject() {
  if (site_ != nullptr) site_->Release();
}

HRESULT OleObject::SetClientSite(IOleClientSite* site) {
  if (site != nullptr) site->AddRef();
  if (site_ != nullptr) site_->Release();
  site_ = site;
  return S_OK;
}

HRESULT OleObject::GetClientSite(IOleClientSite** site) {
  if (site == nullptr) return E_POINTER;
  *site = site_;
  if (site_ != nullptr) site_->AddRef();
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

HRESULT OleObject::DoVerb(LONG verb, LPMSG, IOleClientSite*, LONG, HWND parent, LPCRECT) {
  switch (verb) {
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
      return S_OK;  // nothing of the control is shown
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
  extent_ = *size;
  return S_OK;
}

HRESULT OleObject::GetExtent(DWORD aspect, SIZEL* size) {
  if (size == nullptr) return E_POINTER;
  if (aspect != DVASPECT_CONTENT) return E_FAIL;
  *size = extent_;
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
