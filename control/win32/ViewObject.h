// The control's view: IViewObject, IViewObject2 and IViewObjectEx of an
// invisible control.  Draw succeeds and draws nothing, whatever the
// extent (zero included); the extent is the one the container set
// (IOleObject::SetExtent, or the <param>s _ExtentX and _ExtentY); the
// view is transparent and never hit.  The advise sink is kept and told
// nothing, as nothing the control shows ever changes.  IUnknown is the
// object's own (the class that derives from this one).
//
// Included after the Windows headers.
#pragma once

#include <ole2.h>
#include <ocidl.h>

#include "control/win32/Embedding.h"

namespace tolmix::win32 {

class ViewObject : public IViewObjectEx {
 public:
  explicit ViewObject(Embedding& state) : state_(state) {}
  virtual ~ViewObject() = default;
  ViewObject(const ViewObject&) = delete;
  ViewObject& operator=(const ViewObject&) = delete;

  // IViewObject
  STDMETHODIMP Draw(DWORD aspect, LONG index, void* aspectInfo, DVTARGETDEVICE* target,
                    HDC targetDc, HDC dc, LPCRECTL bounds, LPCRECTL wBounds,
                    BOOL(STDMETHODCALLTYPE* cont)(ULONG_PTR), ULONG_PTR arg) override;
  STDMETHODIMP GetColorSet(DWORD, LONG, void*, DVTARGETDEVICE*, HDC,
                           LOGPALETTE** colors) override;
  STDMETHODIMP Freeze(DWORD, LONG, void*, DWORD* freeze) override;
  STDMETHODIMP Unfreeze(DWORD) override { return S_OK; }
  STDMETHODIMP SetAdvise(DWORD aspects, DWORD advf, IAdviseSink* sink) override;
  STDMETHODIMP GetAdvise(DWORD* aspects, DWORD* advf, IAdviseSink** sink) override;

  // IViewObject2
  STDMETHODIMP GetExtent(DWORD aspect, LONG index, DVTARGETDEVICE*, LPSIZEL size) override;

  // IViewObjectEx
  STDMETHODIMP GetRect(DWORD aspect, LPRECTL rect) override;
  STDMETHODIMP GetViewStatus(DWORD* status) override;
  STDMETHODIMP QueryHitPoint(DWORD aspect, LPCRECT, POINT, LONG, DWORD* hit) override;
  STDMETHODIMP QueryHitRect(DWORD aspect, LPCRECT, LPCRECT, LONG, DWORD* hit) override;
  STDMETHODIMP GetNaturalExtent(DWORD aspect, LONG, DVTARGETDEVICE*, HDC, DVEXTENTINFO*,
                                LPSIZEL size) override;

 private:
  Embedding& state_;
};

}  // namespace tolmix::win32
