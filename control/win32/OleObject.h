// The control's IOleObject: what a container asks of an embedded control
// that never shows a window of its own.  Its verbs are those of the
// registry; the in-place verbs (show, open, primary, in-place and UI
// activation) activate it in place, windowless where the site allows it
// (InPlace.cpp); the Properties verb opens the property page in a property
// frame.  The control draws nothing, so there is no data transfer and no
// advise sink of its own.  IUnknown is the object's own (the class that
// derives from this one).
//
// Included after the Windows headers.
#pragma once

#include <ole2.h>

#include "control/win32/Embedding.h"

namespace tolmix::win32 {

class OleObject : public IOleObject {
 public:
  // CLSID: the control's class; PAGE: its property page's; MISC_STATUS:
  // the misc status of the content aspect; STATE: the control's embedding.
  OleObject(const CLSID& clsid, const CLSID& page, DWORD miscStatus, Embedding& state)
      : clsid_(clsid), page_(page), misc_(miscStatus), state_(state) {}
  virtual ~OleObject() = default;
  OleObject(const OleObject&) = delete;
  OleObject& operator=(const OleObject&) = delete;

  STDMETHODIMP SetClientSite(IOleClientSite* site) override;
  STDMETHODIMP GetClientSite(IOleClientSite** site) override;
  STDMETHODIMP SetHostNames(LPCOLESTR, LPCOLESTR) override { return S_OK; }
  STDMETHODIMP Close(DWORD) override { return DeactivateInPlace(state_); }
  STDMETHODIMP SetMoniker(DWORD, IMoniker*) override { return E_NOTIMPL; }
  STDMETHODIMP GetMoniker(DWORD, DWORD, IMoniker** out) override;
  STDMETHODIMP InitFromData(IDataObject*, BOOL, DWORD) override { return E_NOTIMPL; }
  STDMETHODIMP GetClipboardData(DWORD, IDataObject** out) override;
  STDMETHODIMP DoVerb(LONG verb, LPMSG, IOleClientSite*, LONG, HWND parent, LPCRECT) override;
  STDMETHODIMP EnumVerbs(IEnumOLEVERB** out) override { return OleRegEnumVerbs(clsid_, out); }
  STDMETHODIMP Update() override { return S_OK; }
  STDMETHODIMP IsUpToDate() override { return S_OK; }
  STDMETHODIMP GetUserClassID(CLSID* out) override;
  STDMETHODIMP GetUserType(DWORD form, LPOLESTR* out) override { return OleRegGetUserType(clsid_, form, out); }
  STDMETHODIMP SetExtent(DWORD aspect, SIZEL* size) override;
  STDMETHODIMP GetExtent(DWORD aspect, SIZEL* size) override;
  STDMETHODIMP Advise(IAdviseSink*, DWORD* cookie) override;
  STDMETHODIMP Unadvise(DWORD) override { return OLE_E_NOCONNECTION; }
  STDMETHODIMP EnumAdvise(IEnumSTATDATA** out) override;
  STDMETHODIMP GetMiscStatus(DWORD aspect, DWORD* status) override;
  STDMETHODIMP SetColorScheme(LOGPALETTE*) override { return E_NOTIMPL; }

 private:
  CLSID clsid_, page_;
  DWORD misc_;
  Embedding& state_;
};

}  // namespace tolmix::win32
