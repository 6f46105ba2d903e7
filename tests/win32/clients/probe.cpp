// What a script cannot ask the control under Wine: its type information
// and IObjectSafety, through real COM on the control made by its ProgID.
// Prints one line per check; run.sh compares them.
#include <windows.h>
#include <ole2.h>
#include <objsafe.h>

#include <cstdio>

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
  d->Release();
  CoUninitialize();
  return 0;
}
