// What the control's OLE interfaces share while a container holds it: the
// client site, the extent, the view's advise sink and whether the control is
// active in place.  One per control, owned by the COM object
// (ComControl.cpp); each interface group keeps a reference to it.  The
// control is invisible and windowless: it has no window and draws nothing,
// so this is all it keeps.
//
// Included after the Windows headers.
#pragma once

#include <ole2.h>
#include <ocidl.h>

namespace tolmix::win32 {

struct Embedding {
  Embedding() = default;
  Embedding(const Embedding&) = delete;
  Embedding& operator=(const Embedding&) = delete;
  ~Embedding() {
    if (inPlaceSite) inPlaceSite->Release();
    if (viewSink) viewSink->Release();
    if (site) site->Release();
  }

  IOleClientSite* site = nullptr;
  SIZEL extent = {0, 0};  // HIMETRIC; zero is allowed
  // IViewObject::SetAdvise.
  IAdviseSink* viewSink = nullptr;
  DWORD viewAspects = 0, viewAdvf = 0;
  // Set while active in place: the site that activated the control, and
  // whether it took it as windowless (IOleInPlaceSiteWindowless).
  IOleInPlaceSite* inPlaceSite = nullptr;
  bool windowless = false;
  bool uiActive = false;
  bool dirty = false;  // a property was written since the last save
};

// Activates the control in place on SITE (a client site): asks the site's
// IOleInPlaceSiteWindowless (else IOleInPlaceSite) whether it may, tells
// it the control is active (windowless where the site allows it) and
// fetches and lets go of the window context.  S_OK when already active.
// UI: also the UI-active state (OLEIVERB_UIACTIVATE), which a control with
// no window takes without asking the frame for anything.
HRESULT ActivateInPlace(Embedding& e, IOleClientSite* site, bool ui);

// Ends the in-place (and UI) activation, telling the site: S_OK, also when
// not active.
HRESULT DeactivateInPlace(Embedding& e);

}  // namespace tolmix::win32
