// The dispatch interface with random member names, DISPIDs and VARIANTs:
// a sequence of up to 8 calls on one control.  Each call names its member
// by GetIDsOfNames on a fuzzed name, by an entry of the table, or by any
// DISPID; passes any flags, 0 to 4 arguments of any type (numbers, texts
// with NULs, surrogates and characters without GBK form, unknown VARIANT
// types) and sometimes named arguments.  Nothing may crash; every call
// returns S_OK with a result of the member's type, or an error HRESULT.
//
// No device is reached (UseSandbox), and paths never leave the sandbox:
// every text argument of a file member loses its "/" characters and is
// taken relative to the sandbox, the working folder.
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "control/DispatchTable.h"
#include "control/TOLMIXCtrl.h"
#include "fuzz/FuzzSupport.h"

namespace {

using namespace tolmix;
using namespace tolmix::platform;

bool IsFileMember(DISPID id) { return id >= 38 && id <= 41; }

std::u16string Text(fuzz::Reader& in) {
  const uint8_t kind = in.Byte();
  std::u16string s;
  const size_t n = in.Byte() | ((kind & 0x80) ? in.Byte() << 8 : 0);
  for (size_t i = 0; i < n && in.Left() > 0; ++i) {
    switch (in.Byte() & 7) {
      case 0: s += static_cast<char16_t>(in.U16()); break;   // any unit: lone surrogates too
      case 1: s += u'\0'; break;
      case 2: s += u'\u4E2D'; break;                          // has a GBK form
      case 3: s += u"\U0001F600"; break;                      // has none
      case 4: s += static_cast<char16_t>(0x3400 + in.Byte()); break;  // GB18030 only
      default: s += static_cast<char16_t>(0x20 + in.Byte() % 0x5F); break;  // ASCII
    }
  }
  if (kind & 0x40) s.append(static_cast<size_t>(in.U16()) * 4, u'A');  // long texts
  return s;
}

void MakeArg(fuzz::Reader& in, bool fileMember, VARIANT* v) {
  memset(v, 0, sizeof *v);  // an unknown tag must not find a stray pointer
  switch (in.Byte() % 8) {
    case 0: break;  // VT_EMPTY
    case 1: v->vt = VT_I2; v->iVal = static_cast<int16_t>(in.U16()); break;
    case 2: v->vt = VT_I4; v->lVal = static_cast<int32_t>(in.U32()); break;
    case 3: v->vt = VT_BOOL; v->boolVal = (in.Byte() & 1) ? VARIANT_TRUE : VARIANT_FALSE; break;
    case 4: v->vt = VT_BSTR; v->bstrVal = nullptr; break;
    case 5: v->vt = static_cast<VARTYPE>(in.U16()); v->lVal = 0; break;  // any type tag
    default: {
      std::u16string s = Text(in);
      if (fileMember) std::erase(s, u'/');
      v->vt = VT_BSTR;
      v->bstrVal = SysAllocString(std::u16string_view(s));
      break;
    }
  }
}

void Call(CTOLMIXCtrl& c, fuzz::Reader& in) {
  DISPID id = DISPID_UNKNOWN;
  const auto table = control::DispatchTable();
  switch (in.Byte() % 3) {
    case 0: {
      std::u16string name = Text(in);
      const OLECHAR* names[2] = {name.c_str(), u"x"};
      DISPID ids[2];
      c.GetIDsOfNames(IID_NULL, names, 1 + (in.Byte() & 1), 0, ids);
      id = ids[0];
      break;
    }
    case 1: id = table[in.Byte() % table.size()].id; break;
    default: id = static_cast<DISPID>(in.U32()); break;
  }
  const uint16_t flags = in.Byte() & 0x0F;
  const unsigned argc = in.Byte() % 5;
  const unsigned named = argc > 0 && (in.Byte() & 3) == 0 ? 1 : 0;
  std::vector<VARIANT> args(argc);
  for (VARIANT& v : args) MakeArg(in, IsFileMember(id), &v);
  DISPID namedId = (in.Byte() & 1) ? DISPID_PROPERTYPUT : static_cast<DISPID>(in.Byte());
  DISPPARAMS params{args.data(), named ? &namedId : nullptr, argc, named};
  VARIANT result;
  VariantInit(&result);
  unsigned argerr = 0xFFFF;
  HRESULT hr = c.Invoke(id, IID_NULL, 0, flags, &params, &result, nullptr, &argerr);
  const control::DispatchEntry* e = control::FindMember(id);
  if (hr == S_OK && e && result.vt != VT_EMPTY && result.vt != e->result) abort();
  if (hr != S_OK && argerr != 0xFFFF && argerr >= argc) abort();
  if (strnlen(c.GetLastErrorInfo(0).c_str(), 600) >= 512) abort();
  VariantClear(&result);
  for (VARIANT& v : args) {
    if (v.vt == VT_BSTR) VariantClear(&v);  // unknown tags own nothing
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  tolmix::fuzz::UseSandbox();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 16384) return 0;
  fuzz::Reader in(data, size);
  CTOLMIXCtrl* c = CTOLMIXCtrl::Create();
  for (int i = 0; i < 8 && in.Left() > 0; ++i) Call(*c, in);
  c->ClearPasswd();  // the session is process-wide: every input starts from none
  c->Release();
  return 0;
}
