// CTOLMIXPropPage as a real OLE property page: IPropertyPage over the
// page's dialog template (control/PropPage.cpp), built in memory and made
// a child of the frame's window on Activate.  The page binds no field, so
// it is never dirty and Apply changes nothing on the objects it was given.
#include "control/win32/PropertyPage.h"

#include <cstring>
#include <new>

#include "control/win32/ComControl.h"

// The control's headers first (their COM names are macros once the Windows
// headers are in).
#include "control/PropPage.h"

#include <windows.h>
#include <ole2.h>
#include <olectl.h>

#include <atomic>
#include <string>
#include <vector>

namespace tolmix::win32 {
namespace {

std::atomic<long> g_pages{0};

std::wstring Wide(const char* ascii) { return std::wstring(ascii, ascii + strlen(ascii)); }

// The page's template as DLGTEMPLATE data: a child dialog (DS_CONTROL)
// with the one static text across it.
std::vector<WORD> PageTemplate(bool child) {
  const control::PropPageTemplate& t = control::PropertyPageTemplate();
  std::vector<WORD> w;
  auto word = [&](WORD v) { w.push_back(v); };
  auto dword = [&](DWORD v) { word(LOWORD(v)), word(HIWORD(v)); };
  auto text = [&](const std::wstring& s) {
    w.insert(w.end(), s.begin(), s.end());
    word(0);
  };
  dword(DS_SETFONT | DS_CONTROL | (child ? WS_CHILD : WS_POPUP));
  dword(0);
  word(1);  // one control
  word(0), word(0), word(static_cast<WORD>(t.cx)), word(static_cast<WORD>(t.cy));
  word(0), word(0), text(L"");  // no menu, the standard class, no caption
  word(static_cast<WORD>(t.pointSize));
  text(Wide(t.font));
  while (w.size() % 2 != 0) word(0);
  dword(WS_CHILD | WS_VISIBLE | SS_LEFT);
  dword(0);
  word(7), word(25), word(229), word(16);  // the static text's place
  word(static_cast<WORD>(-1));                                       // IDC_STATIC
  word(0xFFFF), word(0x0082);                                        // the static class
  text(Wide(t.staticText));
  word(0);
  return w;
}

INT_PTR CALLBACK PageProc(HWND, UINT msg, WPARAM, LPARAM) { return msg == WM_INITDIALOG; }

HWND MakePage(HWND parent, bool child) {
  std::vector<WORD> t = PageTemplate(child);
  return CreateDialogIndirectParamW(static_cast<HINSTANCE>(Module()),
                                    reinterpret_cast<const DLGTEMPLATE*>(t.data()), parent, PageProc, 0);
}

class PropertyPage final : public IPropertyPage {
 public:
  PropertyPage() { ++g_pages; }
  PropertyPage(const PropertyPage&) = delete;
  PropertyPage& operator=(const PropertyPage&) = delete;

  STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
    if (out == nullptr) return E_POINTER;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IPropertyPage)) {
      *out = static_cast<IPropertyPage*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++refs_; }
  STDMETHODIMP_(ULONG) Release() override {
    const ULONG left = --refs_;
    if (left == 0) delete this;
    return left;
  }

  STDMETHODIMP SetPageSite(IPropertyPageSite* site) override {
    if (site != nullptr) site->AddRef();
    if (site_ != nullptr) site_->Release();
    site_ = site;
    return S_OK;
  }
  STDMETHODIMP Activate(HWND parent, LPCRECT rect, BOOL) override {
    if (rect == nullptr) return E_POINTER;
    if (window_ != nullptr) return E_UNEXPECTED;
    window_ = MakePage(parent, true);
    if (window_ == nullptr) return E_OUTOFMEMORY;
    MoveWindow(window_, rect->left, rect->top, rect->right - rect->left, rect->bottom - rect->top, TRUE);
    return S_OK;
  }
  STDMETHODIMP Deactivate() override {
    if (window_ != nullptr) DestroyWindow(window_);
    window_ = nullptr;
    return S_OK;
  }
  STDMETHODIMP GetPageInfo(PROPPAGEINFO* info) override {
    if (info == nullptr) return E_POINTER;
    const control::PropPageTemplate& t = control::PropertyPageTemplate();
    // The size in pixels of the page's dialog units in its own font.
    RECT r = {0, 0, t.cx, t.cy};
    if (HWND probe = MakePage(nullptr, false)) {
      MapDialogRect(probe, &r);
      DestroyWindow(probe);
    }
    const std::wstring title = Wide(t.caption);
    const size_t bytes = (title.size() + 1) * sizeof(wchar_t);
    info->cb = sizeof *info;
    info->pszTitle = static_cast<LPOLESTR>(CoTaskMemAlloc(bytes));
    if (info->pszTitle == nullptr) return E_OUTOFMEMORY;
    memcpy(info->pszTitle, title.c_str(), bytes);
    info->size.cx = r.right;
    info->size.cy = r.bottom;
    info->pszDocString = nullptr;
    info->pszHelpFile = nullptr;
    info->dwHelpContext = 0;
    return S_OK;
  }
  STDMETHODIMP SetObjects(ULONG count, IUnknown** objects) override {
    if (count > 0 && objects == nullptr) return E_POINTER;
    for (IUnknown* o : objects_) o->Release();
    objects_.clear();
    for (ULONG i = 0; i < count; ++i) {
      if (objects[i] == nullptr) continue;
      objects[i]->AddRef();
      objects_.push_back(objects[i]);
    }
    return S_OK;
  }
  STDMETHODIMP Show(UINT cmd) override {
    if (window_ == nullptr) return E_UNEXPECTED;
    ShowWindow(window_, static_cast<int>(cmd));
    return S_OK;
  }
  STDMETHODIMP Move(LPCRECT rect) override {
    if (rect == nullptr) return E_POINTER;
    if (window_ == nullptr) return E_UNEXPECTED;
    MoveWindow(window_, rect->left, rect->top, rect->right - rect->left, rect->bottom - rect->top, TRUE);
    return S_OK;
  }
  STDMETHODIMP IsPageDirty() override { return S_FALSE; }
  STDMETHODIMP Apply() override { return S_OK; }
  STDMETHODIMP Help(LPCOLESTR) override { return E_NOTIMPL; }
  STDMETHODIMP TranslateAccelerator(MSG* msg) override {
    return window_ != nullptr && msg != nullptr && IsDialogMessageW(window_, msg) ? S_OK : S_FALSE;
  }

 private:
  ~PropertyPage() {
    Deactivate();
    SetObjects(0, nullptr);
    SetPageSite(nullptr);
    --g_pages;
  }

  std::atomic<ULONG> refs_{1};
  IPropertyPageSite* site_ = nullptr;
  std::vector<IUnknown*> objects_;
  HWND window_ = nullptr;
};

}  // namespace

long CreatePropertyPage(const void* iid, void** out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  auto* page = new (std::nothrow) PropertyPage();
  if (page == nullptr) return E_OUTOFMEMORY;
  const HRESULT hr = page->QueryInterface(*static_cast<const IID*>(iid), out);
  page->Release();  // *OUT holds its own reference
  return hr;
}

long LivePropertyPages() { return g_pages.load(); }

}  // namespace tolmix::win32
