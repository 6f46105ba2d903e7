// How a container starts the control up: IQuickActivate, which hands over
// the client site and the view's advise sink in one call and gets the
// misc and view status back, and IOleControl, of which an invisible
// control with no mnemonics and no events needs nothing (ambient
// properties are not read: nothing is drawn).  IUnknown is the object's own
// (the class that derives from this one).
//
// Included after the Windows headers.
#pragma once

#include <ole2.h>
#include <ocidl.h>

#include "control/win32/Embedding.h"

namespace tolmix::win32 {

class Activation : public IQuickActivate, public IOleControl {
 public:
  // MISC_STATUS: the misc status of the content aspect; STATE: the
  // control's embedding.
  Activation(DWORD miscStatus, Embedding& state) : misc_(miscStatus), state_(state) {}
  virtual ~Activation() = default;
  Activation(const Activation&) = delete;
  Activation& operator=(const Activation&) = delete;

  // IQuickActivate
  STDMETHODIMP QuickActivate(QACONTAINER* container, QACONTROL* control) override;
  STDMETHODIMP SetContentExtent(LPSIZEL size) override;
  STDMETHODIMP GetContentExtent(LPSIZEL size) override;

  // IOleControl
  STDMETHODIMP GetControlInfo(CONTROLINFO* info) override;
  STDMETHODIMP OnMnemonic(MSG*) override { return E_NOTIMPL; }
  STDMETHODIMP OnAmbientPropertyChange(DISPID) override { return S_OK; }
  STDMETHODIMP FreezeEvents(BOOL) override { return S_OK; }

 protected:
  // The object's IOleObject and IViewObject (no reference added), which
  // take the site and the sink.
  virtual IOleObject* OleObjectOf() = 0;
  virtual IViewObject* ViewOf() = 0;

 private:
  DWORD misc_;
  Embedding& state_;
};

}  // namespace tolmix::win32
