// What a script cannot ask the control under Wine: its type information,
// IObjectSafety and its property page, through real COM on the control
// made by its ProgID.
// Prints one line per check; run.sh compares them.
#include <windows.h>
#include <ole2.h>
#include <objsafe.h>
#include <ocidl.h>
#include <olectl.h>

#include <cstdio>
#include <cwchar>

// The property frame's closer: finds a window of this process that shows
// the page's text, and cancels it.
bool g_seen;

BOOL CALLBACK FindPageText(HWND c, LPARAM) {
  wchar_t t[200] = {};
  GetWindowTextW(c, t, 199);
  if (wcsncmp(t, L"TODO: ", 6) == 0) g_seen = true;
  return !g_seen;
}

BOOL CALLBACK FindFrame(HWND h, LPARAM) {
  DWORD pid = 0;
  GetWindowThreadProcessId(h, &pid);
  if (pid != GetCurrentProcessId()) return TRUE;
  EnumChildWindows(h, FindPageText, 0);
  if (g_seen) PostMessageW(h, WM_COMMAND, IDCANCEL, 0);
  return !g_seen;
}

DWORD WINAPI CloseFrame(void*) {
  for (int i = 0; i < 400 && !g_seen; ++i, Sleep(50)) EnumWindows(FindFrame, 0);
  return 0;
}

int main() {
  CoInitialize(nullptr);
  CLSID clsid;
  IDispatch* d = nullptr;
  if (FAILED(CLSIDFromProgID(L"TOLMIX.TOLMIXCtrl.1", &clsid)) ||
      FAILED(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                              reinterpret_cast<void**>(&d)))) {
    puts("create: failed");
    return 1;
  }
  ITypeInfo* ti = nullptr;
  TYPEATTR* attr = nullptr;
  if (FAILED(d->GetTypeInfo(0, 0, &ti)) || FAILED(ti->GetTypeAttr(&attr))) {
    puts("typeinfo: none");
    return 1;
  }
  // Every member the type library names must be the dispatch table's
  // member of the same DISPID.
  int resolved = 0;
  for (int k = 0; k < attr->cFuncs + attr->cVars; ++k) {
    MEMBERID id;
    if (k < attr->cFuncs) {
      FUNCDESC* f;
      ti->GetFuncDesc(k, &f);
      id = f->memid;
      ti->ReleaseFuncDesc(f);
    } else {
      VARDESC* v;
      ti->GetVarDesc(k - attr->cFuncs, &v);
      id = v->memid;
      ti->ReleaseVarDesc(v);
    }
    BSTR name = nullptr;
    ti->GetDocumentation(id, &name, nullptr, nullptr, nullptr);
    DISPID found = DISPID_UNKNOWN;
    d->GetIDsOfNames(IID_NULL, &name, 1, 0, &found);
    if (found == id) ++resolved;
    printf("member %ld %ls%s\n", static_cast<long>(id), name, found == id ? "" : " MISMATCH");
    SysFreeString(name);
  }
  printf("typeinfo: %d methods, %d properties, %d resolve\n", attr->cFuncs, attr->cVars, resolved);
  ti->ReleaseTypeAttr(attr);
  ti->Release();

  IObjectSafety* s = nullptr;
  if (FAILED(d->QueryInterface(IID_IObjectSafety, reinterpret_cast<void**>(&s)))) {
    puts("safety: none");
    return 1;
  }
  DWORD sup = 0, en = 0;
  HRESULT hr = s->GetInterfaceSafetyOptions(IID_IDispatch, &sup, &en);
  printf("safety get IDispatch %08lx %lu %lu\n", hr, sup, en);
  sup = en = 0;
  hr = s->GetInterfaceSafetyOptions(IID_IPersistStream, &sup, &en);
  printf("safety get IPersistStream %08lx %lu %lu\n", hr, sup, en);
  const DWORD sets[][2] = {{3, 3}, {1, 0}, {4, 4}};
  for (const auto& m : sets) {
    printf("safety set %lu %lu %08lx\n", m[0], m[1],
           s->SetInterfaceSafetyOptions(IID_IDispatch, m[0], m[1]));
  }
  s->Release();

  // The property page the control names, shown in a window of ours as a
  // property frame would, then handed back.
  ISpecifyPropertyPages* spp = nullptr;
  CAUUID pages = {};
  IPropertyPage* page = nullptr;
  PROPPAGEINFO info = {};
  if (FAILED(d->QueryInterface(IID_ISpecifyPropertyPages, reinterpret_cast<void**>(&spp))) ||
      FAILED(spp->GetPages(&pages)) || pages.cElems != 1 ||
      FAILED(CoCreateInstance(pages.pElems[0], nullptr, CLSCTX_INPROC_SERVER, IID_IPropertyPage,
                              reinterpret_cast<void**>(&page))) ||
      FAILED(page->GetPageInfo(&info))) {
    puts("page: none");
    return 1;
  }
  wchar_t clsid_text[40];
  StringFromGUID2(pages.pElems[0], clsid_text, 40);
  printf("page %ls %ls %s\n", clsid_text, info.pszTitle, info.size.cx > 0 && info.size.cy > 0 ? "sized" : "unsized");
  HWND frame = CreateWindowExW(0, L"STATIC", L"frame", WS_POPUP, 0, 0, 600, 400, nullptr, nullptr, nullptr, nullptr);
  IUnknown* objects[] = {d};
  RECT r = {0, 0, info.size.cx, info.size.cy};
  HRESULT set = page->SetObjects(1, objects), act = page->Activate(frame, &r, TRUE);
  wchar_t text[200] = {};
  HWND shown = FindWindowExW(frame, nullptr, nullptr, nullptr);
  if (shown) GetWindowTextW(FindWindowExW(shown, nullptr, L"Static", nullptr), text, 199);
  printf("page shows \"%ls\" %08lx %08lx\n", text, set, act);
  printf("page dirty %08lx apply %08lx\n", page->IsPageDirty(), page->Apply());
  printf("page closes %08lx %08lx\n", page->Deactivate(), page->SetObjects(0, nullptr));
  // The Properties verb: a property frame with the page in it, closed
  // here as a user would once its text has been seen.
  IOleObject* ole = nullptr;
  if (FAILED(d->QueryInterface(IID_IOleObject, reinterpret_cast<void**>(&ole)))) {
    puts("ole: none");
    return 1;
  }
  DWORD misc = 0;
  CLSID user = {};
  ole->GetMiscStatus(DVASPECT_CONTENT, &misc);
  ole->GetUserClassID(&user);
  printf("ole misc %lu class %s\n", misc, IsEqualCLSID(user, clsid) ? "same" : "other");
  HANDLE closer = CreateThread(nullptr, 0, CloseFrame, nullptr, 0, nullptr);
  HRESULT verb = ole->DoVerb(OLEIVERB_PROPERTIES, nullptr, nullptr, 0, frame, nullptr);
  WaitForSingleObject(closer, 30000);
  CloseHandle(closer);
  printf("verb properties %08lx %s\n", verb, g_seen ? "showed the page" : "showed nothing");
  ole->Release();
  CoTaskMemFree(info.pszTitle);
  CoTaskMemFree(pages.pElems);
  page->Release();
  spp->Release();
  DestroyWindow(frame);
  d->Release();
  CoUninitialize();
  return 0;
}
