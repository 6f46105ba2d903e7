// The control in place: IOleInPlaceObjectWindowless and
// IOleInPlaceActiveObject of a control that has no window and draws
// nothing.  GetWindow says there is none; window messages are not the
// control's; rectangles and accelerators are taken and ignored.
// Activation and deactivation are ActivateInPlace / DeactivateInPlace
// (Embedding.h), which DoVerb and Close use too.  IUnknown is the
// object's own (the class that derives from this one).
//
// Included after the Windows headers.
#pragma once

#include <ole2.h>
#include <ocidl.h>

#include "control/win32/Embedding.h"

namespace tolmix::win32 {

class InPlace : public IOleInPlaceObjectWindowless, public IOleInPlaceActiveObject {
 public:
  explicit InPlace(Embedding& state) : state_(state) {}
  virtual ~InPlace() = default;
  InPlace(const InPlace&) = delete;
  InPlace& operator=(const InPlace&) = delete;

  // IOleWindow, of both interfaces: no window.
  STDMETHODIMP GetWindow(HWND* out) override;
  STDMETHODIMP ContextSensitiveHelp(BOOL) override { return E_NOTIMPL; }

  // IOleInPlaceObject
  STDMETHODIMP InPlaceDeactivate() override { return DeactivateInPlace(state_); }
  STDMETHODIMP UIDeactivate() override;
  STDMETHODIMP SetObjectRects(LPCRECT pos, LPCRECT clip) override;
  STDMETHODIMP ReactivateAndUndo() override { return INPLACE_E_NOTUNDOABLE; }

  // IOleInPlaceObjectWindowless: no message is the control's.
  STDMETHODIMP OnWindowMessage(UINT, WPARAM, LPARAM, LRESULT* result) override;
  STDMETHODIMP GetDropTarget(IDropTarget** out) override;

  // IOleInPlaceActiveObject
  STDMETHODIMP TranslateAccelerator(LPMSG) override { return S_FALSE; }
  STDMETHODIMP OnFrameWindowActivate(BOOL) override { return S_OK; }
  STDMETHODIMP OnDocWindowActivate(BOOL) override { return S_OK; }
  STDMETHODIMP ResizeBorder(LPCRECT, IOleInPlaceUIWindow*, BOOL) override { return S_OK; }
  STDMETHODIMP EnableModeless(BOOL) override { return S_OK; }

 private:
  Embedding& state_;
};

}  // namespace tolmix::win32
