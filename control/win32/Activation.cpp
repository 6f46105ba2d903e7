#include "control/win32/Activation.h"

namespace tolmix::win32 {

HRESULT Activation::QuickActivate(QACONTAINER* container, QACONTROL* control) {
  if (container == nullptr || control == nullptr) return E_POINTER;
  if (container->cbSize < sizeof(QACONTAINER) || control->cbSize < sizeof(QACONTROL)) {
    return E_UNEXPECTED;
  }
  HRESULT hr = OleObjectOf()->SetClientSite(container->pClientSite);
  if (FAILED(hr)) return hr;
  if (container->pAdviseSink != nullptr) {
    ViewOf()->SetAdvise(DVASPECT_CONTENT, 0, container->pAdviseSink);
  }
  control->dwMiscStatus = misc_;
  control->dwViewStatus = 0;  // transparent (ViewObject.h)
  control->dwEventCookie = 0;  // no events: the event sink is not advised
  control->dwPropNotifyCookie = 0;
  control->dwPointerActivationPolicy = 0;
  return S_OK;
}

HRESULT Activation::SetContentExtent(LPSIZEL size) {
  if (size == nullptr) return E_POINTER;
  if (size->cx < 0 || size->cy < 0) return E_INVALIDARG;
  state_.extent = *size;
  return S_OK;
}

HRESULT Activation::GetContentExtent(LPSIZEL size) {
  if (size == nullptr) return E_POINTER;
  *size = state_.extent;
  return S_OK;
}

HRESULT Activation::GetControlInfo(CONTROLINFO* info) {
  if (info == nullptr) return E_POINTER;
  info->hAccel = nullptr;  // no mnemonics
  info->cAccel = 0;
  info->dwFlags = 0;
  return S_OK;
}

}  // namespace tolmix::win32
