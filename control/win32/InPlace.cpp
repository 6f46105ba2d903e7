#include "control/win32/InPlace.h"

namespace tolmix::win32 {

namespace {

// Asks the site for its window context as a container expects the
// control to, and lets go of what it hands back: the control has nothing
// to put into the frame or the document window.
void TakeWindowContext(IOleInPlaceSite* site) {
  IOleInPlaceFrame* frame = nullptr;
  IOleInPlaceUIWindow* doc = nullptr;
  RECT pos = {}, clip = {};
  OLEINPLACEFRAMEINFO info = {};
  info.cb = sizeof info;
  if (SUCCEEDED(site->GetWindowContext(&frame, &doc, &pos, &clip, &info))) {
    if (doc != nullptr) doc->Release();
    if (frame != nullptr) frame->Release();
  }
}

}  // namespace

HRESULT ActivateInPlace(Embedding& e, IOleClientSite* site, bool ui) {
  if (e.inPlaceSite == nullptr) {
    if (site == nullptr) return E_UNEXPECTED;  // nobody to activate in
    IOleInPlaceSiteWindowless* wl = nullptr;
    IOleInPlaceSite* ip = nullptr;
    if (SUCCEEDED(site->QueryInterface(IID_IOleInPlaceSiteWindowless,
                                       reinterpret_cast<void**>(&wl)))) {
      ip = wl;
    } else if (FAILED(site->QueryInterface(IID_IOleInPlaceSite, reinterpret_cast<void**>(&ip)))) {
      return E_NOINTERFACE;
    }
    if (ip->CanInPlaceActivate() != S_OK) {
      ip->Release();
      return E_FAIL;
    }
    bool windowless = false;
    HRESULT hr;
    if (wl != nullptr) {
      windowless = wl->CanWindowlessActivate() == S_OK;
      BOOL noRedraw = FALSE;
      hr = wl->OnInPlaceActivateEx(&noRedraw, windowless ? ACTIVATE_WINDOWLESS : 0);
    } else {
      hr = ip->OnInPlaceActivate();
    }
    if (FAILED(hr)) {
      ip->Release();
      return hr;
    }
    e.inPlaceSite = ip;
    e.windowless = windowless;
    TakeWindowContext(ip);
  }
  if (ui && !e.uiActive) {
    e.uiActive = true;
    e.inPlaceSite->OnUIActivate();
  }
  return S_OK;
}

HRESULT DeactivateInPlace(Embedding& e) {
  IOleInPlaceSite* ip = e.inPlaceSite;
  if (ip == nullptr) return S_OK;
  if (e.uiActive) {
    e.uiActive = false;
    ip->OnUIDeactivate(FALSE);
  }
  e.inPlaceSite = nullptr;
  IOleInPlaceSiteEx* ex = nullptr;
  if (SUCCEEDED(ip->QueryInterface(IID_IOleInPlaceSiteEx, reinterpret_cast<void**>(&ex)))) {
    ex->OnInPlaceDeactivateEx(TRUE);
    ex->Release();
  } else {
    ip->OnInPlaceDeactivate();
  }
  ip->Release();
  e.windowless = false;
  return S_OK;
}

HRESULT InPlace::GetWindow(HWND* out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  return E_FAIL;  // windowless: there is no window to give
}

HRESULT InPlace::UIDeactivate() {
  if (state_.uiActive && state_.inPlaceSite != nullptr) {
    state_.uiActive = false;
    state_.inPlaceSite->OnUIDeactivate(FALSE);
  }
  return S_OK;
}

HRESULT InPlace::SetObjectRects(LPCRECT pos, LPCRECT) {
  return pos == nullptr ? E_POINTER : S_OK;  // nothing is drawn, so nothing moves
}

HRESULT InPlace::OnWindowMessage(UINT, WPARAM, LPARAM, LRESULT* result) {
  if (result != nullptr) *result = 0;
  return S_FALSE;  // the container handles it as it would with no control
}

HRESULT InPlace::GetDropTarget(IDropTarget** out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  return E_NOTIMPL;
}

}  // namespace tolmix::win32
