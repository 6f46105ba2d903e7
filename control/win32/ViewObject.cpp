#include "control/win32/ViewObject.h"

namespace tolmix::win32 {

HRESULT ViewObject::Draw(DWORD aspect, LONG, void*, DVTARGETDEVICE*, HDC, HDC dc,
                         LPCRECTL bounds, LPCRECTL, BOOL(STDMETHODCALLTYPE*)(ULONG_PTR),
                         ULONG_PTR) {
  if (aspect != DVASPECT_CONTENT) return DV_E_DVASPECT;
  if (dc == nullptr) return E_INVALIDARG;
  // The control's picture: its bounds filled with the stock white brush and
  // an ellipse inscribed in them.  A windowless control may be asked to
  // draw with no bounds or an empty rectangle: nothing to draw then.
  if (bounds == nullptr || bounds->right <= bounds->left || bounds->bottom <= bounds->top) {
    return S_OK;
  }
  RECT r{bounds->left, bounds->top, bounds->right, bounds->bottom};
  HBRUSH white = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
  FillRect(dc, &r, white);
  HGDIOBJ oldBrush = SelectObject(dc, white);
  HGDIOBJ oldPen = SelectObject(dc, GetStockObject(BLACK_PEN));
  Ellipse(dc, r.left, r.top, r.right, r.bottom);
  SelectObject(dc, oldPen);
  SelectObject(dc, oldBrush);
  return S_OK;
}

HRESULT ViewObject::GetColorSet(DWORD, LONG, void*, DVTARGETDEVICE*, HDC, LOGPALETTE** colors) {
  if (colors == nullptr) return E_POINTER;
  *colors = nullptr;
  return S_FALSE;  // no colours used
}

HRESULT ViewObject::Freeze(DWORD, LONG, void*, DWORD* freeze) {
  if (freeze != nullptr) *freeze = 0;
  return S_OK;
}

HRESULT ViewObject::SetAdvise(DWORD aspects, DWORD advf, IAdviseSink* sink) {
  if (sink != nullptr) sink->AddRef();
  if (state_.viewSink != nullptr) state_.viewSink->Release();
  state_.viewSink = sink;
  state_.viewAspects = aspects;
  state_.viewAdvf = advf;
  return S_OK;
}

HRESULT ViewObject::GetAdvise(DWORD* aspects, DWORD* advf, IAdviseSink** sink) {
  if (aspects != nullptr) *aspects = state_.viewAspects;
  if (advf != nullptr) *advf = state_.viewAdvf;
  if (sink != nullptr) {
    *sink = state_.viewSink;
    if (*sink != nullptr) (*sink)->AddRef();
  }
  return S_OK;
}

HRESULT ViewObject::GetExtent(DWORD aspect, LONG, DVTARGETDEVICE*, LPSIZEL size) {
  if (size == nullptr) return E_POINTER;
  if (aspect != DVASPECT_CONTENT) return DV_E_DVASPECT;
  *size = state_.extent;
  return S_OK;
}

HRESULT ViewObject::GetRect(DWORD aspect, LPRECTL rect) {
  if (rect == nullptr) return E_POINTER;
  if (aspect != DVASPECT_CONTENT) return DV_E_DVASPECT;
  *rect = {0, 0, state_.extent.cx, state_.extent.cy};
  return S_OK;
}

HRESULT ViewObject::GetViewStatus(DWORD* status) {
  if (status == nullptr) return E_POINTER;
  *status = 0;  // transparent: whatever lies behind shows through
  return S_OK;
}

HRESULT ViewObject::QueryHitPoint(DWORD aspect, LPCRECT, POINT, LONG, DWORD* hit) {
  if (hit == nullptr) return E_POINTER;
  if (aspect != DVASPECT_CONTENT) return DV_E_DVASPECT;
  *hit = HITRESULT_OUTSIDE;  // nothing drawn, nothing to click
  return S_OK;
}

HRESULT ViewObject::QueryHitRect(DWORD aspect, LPCRECT, LPCRECT, LONG, DWORD* hit) {
  if (hit == nullptr) return E_POINTER;
  if (aspect != DVASPECT_CONTENT) return DV_E_DVASPECT;
  *hit = HITRESULT_OUTSIDE;
  return S_OK;
}

HRESULT ViewObject::GetNaturalExtent(DWORD aspect, LONG, DVTARGETDEVICE*, HDC, DVEXTENTINFO*,
                                     LPSIZEL size) {
  if (size == nullptr) return E_POINTER;
  if (aspect != DVASPECT_CONTENT) return DV_E_DVASPECT;
  *size = {0, 0};  // the control needs no room
  return S_OK;
}

}  // namespace tolmix::win32
