#include "control/PropPage.h"

#include <atomic>
#include <new>

#include "certs/CertSelectDlg.h"
#include "control/App.h"
#include "control/TOLMIXCtrl.h"

namespace tolmix {
namespace control {

using namespace platform;

namespace {

std::atomic<long> g_livePages{0};

const PropPageTemplate kTemplate = {
    200, 250, 62, "MS Sans Serif", 8, LoadResourceString(IDS_TOLMIX_PPG_CAPTION),
    "TODO: Place controls to manipulate properties of TOLMIX Control on this dialog."};

class CTOLMIXPropPage final : public ITolmixPropertyPage {
 public:
  CTOLMIXPropPage() { ++g_livePages; }

  HRESULT QueryInterface(const IID& iid, void** out) override {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    if (!(iid == IID_IUnknown) && !(iid == IID_ITolmixPropertyPage)) return E_NOINTERFACE;
    *out = static_cast<ITolmixPropertyPage*>(this);
    AddRef();
    return S_OK;
  }
  ULONG AddRef() override { return ++refs_; }
  ULONG Release() override {
    ULONG left = --refs_;
    if (left == 0) delete this;
    return left;
  }
  HRESULT GetTemplate(const PropPageTemplate** out) override {
    if (out == nullptr) return E_POINTER;
    *out = &kTemplate;
    return S_OK;
  }
  HRESULT Apply() override { return S_OK; }

 private:
  ~CTOLMIXPropPage() { --g_livePages; }

  std::atomic<ULONG> refs_{1};
};

}  // namespace

const PropPageTemplate& PropertyPageTemplate() { return kTemplate; }

HRESULT CreatePropPage(const IID& iid, void** out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  auto* page = new (std::nothrow) CTOLMIXPropPage();
  if (page == nullptr) return E_OUTOFMEMORY;
  HRESULT hr = page->QueryInterface(iid, out);
  page->Release();  // *OUT holds its own reference
  return hr;
}

long LivePageCount() { return g_livePages.load(); }

}  // namespace control

// The chooser over "MY" with the signing filter, run modally; what the user
// does there (viewing included) is the chooser's business, and its outcome
// is dropped: no result, property, error text or session value changes.
void CTOLMIXCtrl::AboutBox() {
  CCertSelectDlg dlg(nullptr);
  dlg.SetKeyUsageFilter(1);
  dlg.DoModal();
}

}  // namespace tolmix
