// A container that embeds the control as a browser does for
// <object classid="clsid:..."> with <param>s: the interfaces it asks
// for, object safety for the data it loads, quick activation with its
// client site, the property bag, in-place activation (windowless where
// it may), drawing, scripting through IDispatch and the type
// information, and the release of everything, the control's last
// reference included.  Prints one line per step; run.sh compares them.
#include <windows.h>
#include <ole2.h>
#include <objsafe.h>
#include <ocidl.h>
#include <olectl.h>

#include <cstdio>
#include <cwchar>
#include <string>

namespace {

// The <param>s of the element: two properties, an unknown name, the extent.
const wchar_t* const kParams[][2] = {{L"SignedData", L"from the page"},
                                     {L"ErrorCode", L"7"},
                                     {L"NoSuchParam", L"x"},
                                     {L"_ExtentX", L"0"},
                                     {L"_ExtentY", L"0"}};

std::string g_read;  // names the control read from the bag, in order
std::string g_site;  // what the control told the site, in order
HWND g_window;

void Note(std::string* log, const char* what) {
  if (!log->empty()) *log += ",";
  *log += what;
}

class Bag final : public IPropertyBag {
 public:
  STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IPropertyBag)) {
      *out = this;
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return 2; }
  STDMETHODIMP_(ULONG) Release() override { return 1; }
  STDMETHODIMP Read(LPCOLESTR name, VARIANT* v, IErrorLog*) override {
    char n[64];
    WideCharToMultiByte(CP_ACP, 0, name, -1, n, sizeof n, nullptr, nullptr);
    Note(&g_read, n);
    for (const auto& p : kParams) {
      if (wcscmp(p[0], name) != 0) continue;
      VARIANT text;
      V_VT(&text) = VT_BSTR;
      V_BSTR(&text) = SysAllocString(p[1]);
      VARTYPE want = V_VT(v);
      HRESULT hr = want == VT_EMPTY ? VariantCopy(v, &text) : VariantChangeType(v, &text, 0, want);
      VariantClear(&text);
      return hr;
    }
    return E_INVALIDARG;  // as a browser answers for a <param> the page lacks
  }
  STDMETHODIMP Write(LPCOLESTR, VARIANT*) override { return E_NOTIMPL; }
};

class Site final : public IOleClientSite, public IOleInPlaceSiteWindowless {
 public:
  LONG refs = 1;
  STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IOleClientSite)) {
      *out = static_cast<IOleClientSite*>(this);
    } else if (IsEqualIID(iid, IID_IOleWindow) || IsEqualIID(iid, IID_IOleInPlaceSite) ||
               IsEqualIID(iid, IID_IOleInPlaceSiteEx) ||
               IsEqualIID(iid, IID_IOleInPlaceSiteWindowless)) {
      *out = static_cast<IOleInPlaceSiteWindowless*>(this);
    } else {
      *out = nullptr;
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return InterlockedIncrement(&refs); }
  STDMETHODIMP_(ULONG) Release() override { return InterlockedDecrement(&refs); }
  // IOleClientSite
  STDMETHODIMP SaveObject() override { return E_NOTIMPL; }
  STDMETHODIMP GetMoniker(DWORD, DWORD, IMoniker** m) override { *m = nullptr; return E_NOTIMPL; }
  STDMETHODIMP GetContainer(IOleContainer** c) override { *c = nullptr; return E_NOINTERFACE; }
  STDMETHODIMP ShowObject() override { Note(&g_site, "show"); return S_OK; }
  STDMETHODIMP OnShowWindow(BOOL) override { return S_OK; }
  STDMETHODIMP RequestNewObjectLayout() override { return E_NOTIMPL; }
  // IOleWindow
  STDMETHODIMP GetWindow(HWND* w) override { *w = g_window; return S_OK; }
  STDMETHODIMP ContextSensitiveHelp(BOOL) override { return E_NOTIMPL; }
  // IOleInPlaceSite
  STDMETHODIMP CanInPlaceActivate() override { return S_OK; }
  STDMETHODIMP OnInPlaceActivate() override { Note(&g_site, "activate"); return S_OK; }
  STDMETHODIMP OnUIActivate() override { Note(&g_site, "ui"); return S_OK; }
  STDMETHODIMP GetWindowContext(IOleInPlaceFrame** f, IOleInPlaceUIWindow** d, LPRECT pos,
                                LPRECT clip, LPOLEINPLACEFRAMEINFO) override {
    *f = nullptr;
    *d = nullptr;
    SetRect(pos, 0, 0, 0, 0);
    SetRect(clip, 0, 0, 0, 0);
    return S_OK;
  }
  STDMETHODIMP Scroll(SIZE) override { return E_NOTIMPL; }
  STDMETHODIMP OnUIDeactivate(BOOL) override { Note(&g_site, "ui-off"); return S_OK; }
  STDMETHODIMP OnInPlaceDeactivate() override { Note(&g_site, "deactivate"); return S_OK; }
  STDMETHODIMP DiscardUndoState() override { return S_OK; }
  STDMETHODIMP DeactivateAndUndo() override { return S_OK; }
  STDMETHODIMP OnPosRectChange(LPCRECT) override { return S_OK; }
  // IOleInPlaceSiteEx
  STDMETHODIMP OnInPlaceActivateEx(BOOL* noRedraw, DWORD flags) override {
    if (noRedraw) *noRedraw = FALSE;
    Note(&g_site, flags & ACTIVATE_WINDOWLESS ? "activate-windowless" : "activate-windowed");
    return S_OK;
  }
  STDMETHODIMP OnInPlaceDeactivateEx(BOOL) override { Note(&g_site, "deactivate"); return S_OK; }
  STDMETHODIMP RequestUIActivate() override { return S_OK; }
  // IOleInPlaceSiteWindowless
  STDMETHODIMP CanWindowlessActivate() override { return S_OK; }
  STDMETHODIMP GetCapture() override { return S_FALSE; }
  STDMETHODIMP SetCapture(BOOL) override { return S_OK; }
  STDMETHODIMP GetFocus() override { return S_FALSE; }
  STDMETHODIMP SetFocus(BOOL) override { return S_OK; }
  STDMETHODIMP GetDC(LPCRECT, DWORD, HDC*) override { return E_NOTIMPL; }
  STDMETHODIMP ReleaseDC(HDC) override { return E_NOTIMPL; }
  STDMETHODIMP InvalidateRect(LPCRECT, BOOL) override { Note(&g_site, "invalidate"); return S_OK; }
  STDMETHODIMP InvalidateRgn(HRGN, BOOL) override { Note(&g_site, "invalidate"); return S_OK; }
  STDMETHODIMP ScrollRect(INT, INT, LPCRECT, LPCRECT) override { return E_NOTIMPL; }
  STDMETHODIMP AdjustRect(LPRECT) override { return S_OK; }
  STDMETHODIMP OnDefWindowMessage(UINT, WPARAM, LPARAM, LRESULT*) override { return S_FALSE; }
};

struct Wanted {
  const char* name;
  IID iid;
};

// Invokes NAME on D with ARGS (in the script's order) and prints the result.
void Call(IDispatch* d, const wchar_t* name, VARIANT* args, UINT count, WORD flags) {
  DISPID id = DISPID_UNKNOWN;
  LPOLESTR n = const_cast<LPOLESTR>(name);
  HRESULT hr = d->GetIDsOfNames(IID_NULL, &n, 1, LOCALE_USER_DEFAULT, &id);
  VARIANT rev[3], result;
  for (UINT i = 0; i < count; ++i) rev[i] = args[count - 1 - i];
  DISPPARAMS params = {rev, nullptr, count, 0};
  VariantInit(&result);
  if (SUCCEEDED(hr)) hr = d->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, &result, nullptr, nullptr);
  if (SUCCEEDED(hr) && V_VT(&result) != VT_BSTR) hr = VariantChangeType(&result, &result, 0, VT_BSTR);
  printf("call %ls %ld %08lx %ls\n", name, static_cast<long>(id), hr, SUCCEEDED(hr) ? V_BSTR(&result) : L"");
  VariantClear(&result);
}

}  // namespace

int main() {
  CoInitialize(nullptr);
  g_window = CreateWindowExW(0, L"STATIC", L"page", WS_POPUP, 0, 0, 300, 200, nullptr, nullptr, nullptr, nullptr);
  CLSID clsid;
  IUnknown* unk = nullptr;
  if (FAILED(CLSIDFromProgID(L"TOLMIX.TOLMIXCtrl.1", &clsid)) ||
      FAILED(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, reinterpret_cast<void**>(&unk)))) {
    puts("create: failed");
    return 1;
  }
  const Wanted wanted[] = {
      {"IOleObject", IID_IOleObject}, {"IOleControl", IID_IOleControl},
      {"IPersistPropertyBag", IID_IPersistPropertyBag}, {"IPersistStreamInit", IID_IPersistStreamInit},
      {"IViewObject", IID_IViewObject}, {"IViewObject2", IID_IViewObject2}, {"IViewObjectEx", IID_IViewObjectEx},
      {"IOleInPlaceObject", IID_IOleInPlaceObject},
      {"IOleInPlaceObjectWindowless", IID_IOleInPlaceObjectWindowless},
      {"IOleInPlaceActiveObject", IID_IOleInPlaceActiveObject},
      {"IProvideClassInfo", IID_IProvideClassInfo}, {"IProvideClassInfo2", IID_IProvideClassInfo2},
      {"IConnectionPointContainer", IID_IConnectionPointContainer}, {"IQuickActivate", IID_IQuickActivate},
      {"IDispatch", IID_IDispatch}, {"IObjectSafety", IID_IObjectSafety}};
  for (const Wanted& w : wanted) {
    IUnknown* p = nullptr;
    HRESULT hr = unk->QueryInterface(w.iid, reinterpret_cast<void**>(&p));
    printf("qi %s %08lx\n", w.name, hr);
    if (p) p->Release();
  }
  IObjectSafety* safety = nullptr;
  IOleObject* ole = nullptr;
  IQuickActivate* qa = nullptr;
  IPersistPropertyBag* ppb = nullptr;
  IViewObjectEx* view = nullptr;
  IOleInPlaceObjectWindowless* inplace = nullptr;
  IDispatch* disp = nullptr;
  IProvideClassInfo2* pci = nullptr;
  IConnectionPointContainer* cpc = nullptr;
  IOleControl* oc = nullptr;
  IPersistStreamInit* psi = nullptr;
  unk->QueryInterface(IID_IObjectSafety, reinterpret_cast<void**>(&safety));
  unk->QueryInterface(IID_IOleObject, reinterpret_cast<void**>(&ole));
  unk->QueryInterface(IID_IQuickActivate, reinterpret_cast<void**>(&qa));
  unk->QueryInterface(IID_IPersistPropertyBag, reinterpret_cast<void**>(&ppb));
  unk->QueryInterface(IID_IViewObjectEx, reinterpret_cast<void**>(&view));
  unk->QueryInterface(IID_IOleInPlaceObjectWindowless, reinterpret_cast<void**>(&inplace));
  unk->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&disp));
  unk->QueryInterface(IID_IProvideClassInfo2, reinterpret_cast<void**>(&pci));
  unk->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&cpc));
  unk->QueryInterface(IID_IOleControl, reinterpret_cast<void**>(&oc));
  unk->QueryInterface(IID_IPersistStreamInit, reinterpret_cast<void**>(&psi));
  if (!safety || !ole || !qa || !ppb || !view || !inplace || !disp || !pci || !cpc || !oc || !psi) {
    puts("interfaces: missing");
    return 1;
  }
  // A browser initialises from the page's <param>s only when the control
  // is safe for untrusted data on IPersistPropertyBag, and scripts it
  // only when safe for untrusted callers on IDispatch.
  printf("safety data %08lx\n", safety->SetInterfaceSafetyOptions(IID_IPersistPropertyBag, 2, 2));
  printf("safety caller %08lx\n", safety->SetInterfaceSafetyOptions(IID_IDispatch, 1, 1));

  Site site;
  QACONTAINER qc = {};
  qc.cbSize = sizeof qc;
  qc.pClientSite = &site;
  QACONTROL qctl = {};
  qctl.cbSize = sizeof qctl;
  HRESULT hr = qa->QuickActivate(&qc, &qctl);
  printf("quickactivate %08lx misc %lu view %lu\n", hr, qctl.dwMiscStatus, qctl.dwViewStatus);
  IOleClientSite* back = nullptr;
  ole->GetClientSite(&back);
  printf("site kept %s\n", back == &site ? "yes" : "no");
  if (back) back->Release();

  Bag bag;
  hr = ppb->Load(&bag, nullptr);
  printf("bag load %08lx read %s\n", hr, g_read.c_str());
  printf("dirty after load %08lx\n", psi->IsDirty());

  RECT pos = {10, 10, 10, 10};
  printf("verb inplace %08lx\n", ole->DoVerb(OLEIVERB_INPLACEACTIVATE, nullptr, &site, 0, g_window, &pos));
  printf("verb show %08lx\n", ole->DoVerb(OLEIVERB_SHOW, nullptr, &site, 0, g_window, &pos));
  HWND own = reinterpret_cast<HWND>(1);
  hr = inplace->GetWindow(&own);
  printf("window %08lx %s\n", hr, own ? "some" : "none");
  printf("rects %08lx\n", inplace->SetObjectRects(&pos, &pos));
  LRESULT lr = 1;
  printf("message %08lx\n", inplace->OnWindowMessage(WM_LBUTTONDOWN, 0, 0, &lr));

  // Drawing: white bounds with an inscribed ellipse; an empty rectangle
  // draws nothing.
  HDC screen = GetDC(nullptr), dc = CreateCompatibleDC(screen);
  HBITMAP bmp = CreateCompatibleBitmap(screen, 20, 20);
  HGDIOBJ old = SelectObject(dc, bmp);
  RECT all = {0, 0, 20, 20};
  HBRUSH green = CreateSolidBrush(RGB(0, 128, 0));
  FillRect(dc, &all, green);
  RECTL bounds = {0, 0, 20, 20}, none = {5, 5, 5, 5};
  HRESULT d1 = view->Draw(DVASPECT_CONTENT, -1, nullptr, nullptr, nullptr, dc, &bounds, nullptr, nullptr, 0);
  HRESULT d2 = view->Draw(DVASPECT_CONTENT, -1, nullptr, nullptr, nullptr, dc, &none, nullptr, nullptr, 0);
  int white = 0, dark = 0, green_left = 0;
  for (int y = 0; y < 20; ++y)
    for (int x = 0; x < 20; ++x) {
      const COLORREF c = GetPixel(dc, x, y);
      white += c == RGB(255, 255, 255);
      dark += c == RGB(0, 0, 0);
      green_left += c == RGB(0, 128, 0);
    }
  const bool picture = GetPixel(dc, 0, 0) == RGB(255, 255, 255) &&
                       GetPixel(dc, 10, 10) == RGB(255, 255, 255) && dark > 0 && green_left == 0;
  printf("draw %08lx %08lx %s\n", d1, d2, picture ? "white bounds, ellipse" : "not the picture");
  SelectObject(dc, old);
  DeleteObject(bmp);
  DeleteObject(green);
  DeleteDC(dc);
  ReleaseDC(nullptr, screen);
  SIZEL ext = {-1, -1};
  DWORD status = 9, hit = 9;
  POINT pt = {1, 1};
  hr = view->GetExtent(DVASPECT_CONTENT, -1, nullptr, &ext);
  printf("extent %08lx %ldx%ld\n", hr, ext.cx, ext.cy);
  hr = view->GetViewStatus(&status);
  printf("viewstatus %08lx %lu\n", hr, status);
  hr = view->QueryHitPoint(DVASPECT_CONTENT, &pos, pt, 0, &hit);
  printf("hit %08lx %lu\n", hr, hit);

  // Scripting: the type information and calls, after the page's <param>s.
  ITypeInfo* ti = nullptr;
  TYPEATTR* attr = nullptr;
  if (SUCCEEDED(disp->GetTypeInfo(0, LOCALE_USER_DEFAULT, &ti)) && SUCCEEDED(ti->GetTypeAttr(&attr))) {
    printf("typeinfo %d methods %d properties\n", attr->cFuncs, attr->cVars);
    ti->ReleaseTypeAttr(attr);
    ti->Release();
  }
  VARIANT args[2];
  V_VT(&args[0]) = VT_BSTR;
  V_BSTR(&args[0]) = SysAllocString(L"abc");
  V_VT(&args[1]) = VT_I4;
  V_I4(&args[1]) = 2;
  Call(disp, L"Digest", args, 2, DISPATCH_METHOD);
  Call(disp, L"DigestData", nullptr, 0, DISPATCH_PROPERTYGET);
  Call(disp, L"SignedData", nullptr, 0, DISPATCH_PROPERTYGET);
  Call(disp, L"ErrorCode", nullptr, 0, DISPATCH_PROPERTYGET);
  VariantClear(&args[0]);

  ITypeInfo* cls = nullptr;
  hr = pci->GetClassInfo(&cls);
  if (SUCCEEDED(hr) && SUCCEEDED(cls->GetTypeAttr(&attr))) {
    printf("classinfo %s %s\n", attr->typekind == TKIND_COCLASS ? "coclass" : "other",
           IsEqualGUID(attr->guid, clsid) ? "of the control" : "of another class");
    cls->ReleaseTypeAttr(attr);
  } else {
    printf("classinfo %08lx\n", hr);
  }
  if (cls) cls->Release();
  GUID events = {};
  wchar_t text[40];
  hr = pci->GetGUID(GUIDKIND_DEFAULT_SOURCE_DISP_IID, &events);
  StringFromGUID2(events, text, 40);
  printf("events %08lx %ls\n", hr, text);
  IEnumConnectionPoints* points = nullptr;
  IConnectionPoint* point = nullptr;
  ULONG n = 9;
  hr = cpc->EnumConnectionPoints(&points);
  HRESULT next = points ? points->Next(1, &point, &n) : E_FAIL;
  printf("connection points %08lx next %08lx %lu\n", hr, next, n);
  if (points) points->Release();
  printf("find events %08lx\n", cpc->FindConnectionPoint(events, &point));
  CONTROLINFO ci = {};
  ci.cb = sizeof ci;
  ci.cAccel = 9;
  hr = oc->GetControlInfo(&ci);
  printf("controlinfo %08lx %u\n", hr, ci.cAccel);

  // Leaving the page: out of place, closed, the site taken back, released.
  printf("deactivate %08lx\n", inplace->InPlaceDeactivate());
  printf("close %08lx\n", ole->Close(OLECLOSE_NOSAVE));
  printf("unsite %08lx\n", ole->SetClientSite(nullptr));
  printf("site events %s\n", g_site.c_str());
  IUnknown* all_of[] = {safety, ole, qa, ppb, view, inplace, disp, pci, cpc, oc, psi};
  for (IUnknown* p : all_of) p->Release();
  printf("release %lu site refs %ld\n", unk->Release(), site.refs);

  // A second control, set up from nothing and saved to a stream.
  IPersistStreamInit* fresh = nullptr;
  CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IPersistStreamInit, reinterpret_cast<void**>(&fresh));
  IStream* stream = nullptr;
  CreateStreamOnHGlobal(nullptr, TRUE, &stream);
  if (fresh && stream) {
    HRESULT init = fresh->InitNew(), save = fresh->Save(stream, TRUE);
    LARGE_INTEGER zero = {};
    stream->Seek(zero, STREAM_SEEK_SET, nullptr);
    printf("stream initnew %08lx save %08lx load %08lx\n", init, save, fresh->Load(stream));
    stream->Release();
    printf("release %lu\n", fresh->Release());
  }
  DestroyWindow(g_window);
  CoUninitialize();
  return 0;
}
