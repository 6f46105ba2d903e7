#include "control/App.h"

#include "control/Guids.h"
#include "control/PropPage.h"
#include "control/TOLMIXCtrl.h"

namespace tolmix::control {

using namespace platform;

CTOLMIXApp theApp;

const char* LoadResourceString(int id) {
  switch (id) {
    case IDS_TOLMIX: return "TOLMIX Control";
    case IDS_TOLMIX_PPG: return "TOLMIX Property Page";
    case IDS_TOLMIX_PPG_CAPTION: return "General";
    default: return "";
  }
}

CTOLMIXApp::CTOLMIXApp()
    : control_(CLSID_TOLMIX, kControlProgId, CreateControl),
      page_(CLSID_TOLMIXPropPage, kPageProgId, CreatePropPage) {}

HRESULT CTOLMIXApp::GetClassObject(const CLSID& clsid, const IID& iid, void** out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  for (COleObjectFactory* f : {&control_, &page_}) {
    if (f->clsid() == clsid) return f->QueryInterface(iid, out);
  }
  return CLASS_E_CLASSNOTAVAILABLE;
}

HRESULT CTOLMIXApp::CanUnloadNow() const {
  bool busy = LiveControlCount() > 0 || LivePageCount() > 0 || ServerLockCount() > 0;
  return busy ? S_FALSE : S_OK;
}

}  // namespace tolmix::control
