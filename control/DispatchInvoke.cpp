// IDispatch of the control: name lookup and Invoke over the dispatch table.
//
// Invoke follows the rules of the control framework the interface comes
// from:
//  - a method is called with DISPATCH_METHOD or DISPATCH_PROPERTYGET (script
//    engines pass either or both); a put on a method is
//    DISP_E_MEMBERNOTFOUND;
//  - a property is read with DISPATCH_PROPERTYGET, or DISPATCH_METHOD and no
//    arguments; it is written with DISPATCH_PROPERTYPUT(REF), one argument
//    named DISPID_PROPERTYPUT (else DISP_E_PARAMNOTFOUND), converted to the
//    property's type and then dropped;
//  - named arguments are not supported for calls (DISP_E_NONAMEDARGS); the
//    argument count must match exactly (DISP_E_BADPARAMCOUNT);
//  - each argument is converted to its parameter's type as VariantChangeType
//    does; a failure returns that HRESULT with *ARGERR = its index in
//    rgvarg.
// After those checks the member always runs or fails as a value: a string
// argument that does not convert to GBK, or that is longer than its field
// allows, makes the member return its failure value (false or "") with
// S_OK, recording kMsgArgumentNotGbk / kMsgArgumentTooLong in m_szLastError
// unless the member never records errors.  A refused SetPasswd still
// empties the process-wide session, as its first step does.
#include <cstring>
#include <new>

#include "control/DispatchTable.h"
#include "control/Session.h"
#include "control/TOLMIXCtrl.h"
#include "control/TextBoundary.h"
#include "control/TypeLib.h"

namespace tolmix {

using namespace platform;
using control::DispArgs;
using control::DispatchEntry;
using control::DispResult;
using control::MemberKind;

namespace {

// Converts ARG (a VARIANT of the script) for parameter PARAM into ARGS at
// position I.  A failed type conversion is returned; a text refused at the
// boundary sets *REFUSAL to its message and returns S_OK.
HRESULT ConvertArgument(const VARIANT& arg, const control::ParamSpec& param, size_t i,
                        DispArgs* args, const char** refusal) {
  Variant converted;
  HRESULT hr = VariantChangeType(&converted, &arg, 0, param.type);
  if (Failed(hr)) return hr;
  switch (param.type) {
    case VT_I2:
      args->number[i] = converted.iVal;
      break;
    case VT_I4:
      args->number[i] = converted.lVal;
      break;
    case VT_BSTR:
      if (!control::ArgumentToGbk(converted.bstrVal, &args->text[i])) {
        *refusal = control::kMsgArgumentNotGbk;
      } else if (param.maxBytes != 0 && args->text[i].size() > param.maxBytes) {
        *refusal = control::kMsgArgumentTooLong;
      }
      break;
  }
  return S_OK;
}

// Stores R into *OUT (which the caller initialised).  E_OUTOFMEMORY when
// the text cannot be allocated.
HRESULT StoreResult(const DispResult& r, VARIANT* out) {
  if (out == nullptr) return S_OK;
  VariantClear(out);
  switch (r.vt) {
    case VT_BOOL:
      out->vt = VT_BOOL;
      out->boolVal = r.flag ? VARIANT_TRUE : VARIANT_FALSE;
      break;
    case VT_I4:
      out->vt = VT_I4;
      out->lVal = r.number;
      break;
    case VT_BSTR: {
      BSTR text = SysAllocString(std::u16string_view(control::ResultToUtf16(r.text)));
      if (text == nullptr) return E_OUTOFMEMORY;
      out->vt = VT_BSTR;
      out->bstrVal = text;
      break;
    }
    default:
      break;  // no result: VT_EMPTY
  }
  return S_OK;
}

HRESULT PutProperty(const DispatchEntry& e, const DISPPARAMS& params, unsigned* argerr,
                    CTOLMIXCtrl* ctrl) {
  if (params.cArgs != 1) return DISP_E_BADPARAMCOUNT;
  if (params.cNamedArgs != 1 || params.rgdispidNamedArgs == nullptr ||
      params.rgdispidNamedArgs[0] != DISPID_PROPERTYPUT) {
    return DISP_E_PARAMNOTFOUND;
  }
  Variant converted;
  HRESULT hr = VariantChangeType(&converted, &params.rgvarg[0], 0, e.result);
  if (Failed(hr)) {
    if (argerr) *argerr = 0;
    return hr;
  }
  ctrl->OnPropertyPut();
  return S_OK;
}

}  // namespace

HRESULT CTOLMIXCtrl::GetTypeInfoCount(unsigned* count) {
  if (count == nullptr) return E_POINTER;
  *count = 1;
  return S_OK;
}

HRESULT CTOLMIXCtrl::GetTypeInfo(unsigned index, LCID /*lcid*/, ITypeInfo** info) {
  if (info == nullptr) return E_POINTER;
  *info = index == 0 ? control::CreateDispatchTypeInfo() : nullptr;
  if (index != 0) return DISP_E_BADINDEX;
  return *info ? S_OK : E_OUTOFMEMORY;
}

// Parameter names are not resolved, as in the framework the interface comes
// from: only a call by position is supported.
HRESULT CTOLMIXCtrl::GetIDsOfNames(const IID& riid, const OLECHAR* const* names, unsigned count,
                                   LCID /*lcid*/, DISPID* ids) {
  if (!(riid == IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
  if (names == nullptr || ids == nullptr || count == 0) return E_INVALIDARG;
  for (unsigned i = 1; i < count; ++i) ids[i] = DISPID_UNKNOWN;
  const DispatchEntry* e =
      names[0] ? control::FindMember(std::u16string_view(names[0])) : nullptr;
  ids[0] = e ? e->id : DISPID_UNKNOWN;
  if (e == nullptr || count > 1) return DISP_E_UNKNOWNNAME;
  return S_OK;
}

HRESULT CTOLMIXCtrl::Invoke(DISPID id, const IID& riid, LCID /*lcid*/, uint16_t flags,
                            DISPPARAMS* params, VARIANT* result, EXCEPINFO* /*excepinfo*/,
                            unsigned* argerr) try {
  if (!(riid == IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
  if (params == nullptr || (params->cArgs > 0 && params->rgvarg == nullptr) ||
      params->cNamedArgs > params->cArgs) {
    return E_INVALIDARG;
  }
  const DispatchEntry* e = control::FindMember(id);
  if (e == nullptr) return DISP_E_MEMBERNOTFOUND;

  const bool put = (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) != 0;
  const bool call = (flags & (DISPATCH_METHOD | DISPATCH_PROPERTYGET)) != 0;
  if (e->kind == MemberKind::kProperty && put) {
    return PutProperty(*e, *params, argerr, this);
  }
  if (put || !call) return DISP_E_MEMBERNOTFOUND;
  if (e->kind == MemberKind::kProperty && !(flags & DISPATCH_PROPERTYGET) && params->cArgs != 0) {
    return DISP_E_MEMBERNOTFOUND;  // a property cannot be called with arguments
  }
  if (params->cNamedArgs != 0) return DISP_E_NONAMEDARGS;
  if (params->cArgs != e->paramCount) return DISP_E_BADPARAMCOUNT;

  DispArgs args;
  const char* refusal = nullptr;
  for (size_t i = 0; i < e->paramCount; ++i) {
    unsigned index = params->cArgs - 1 - static_cast<unsigned>(i);  // reverse order
    HRESULT hr = ConvertArgument(params->rgvarg[index], e->params[i], i, &args, &refusal);
    if (Failed(hr)) {
      if (argerr) *argerr = index;
      return hr;
    }
  }
  if (refusal != nullptr) {
    if (e->emptiesSessionFirst) control::ClearSession();
    if (e->recordsErrors) RecordError(refusal);
    return StoreResult(control::FailureResult(e->result), result);
  }
  return StoreResult(e->handler(*this, args), result);
} catch (const std::bad_alloc&) {
  // Nothing is thrown across the scripting boundary: a method that ran out
  // of memory building its text fails the call instead.
  return E_OUTOFMEMORY;
} catch (...) {
  return E_UNEXPECTED;
}

}  // namespace tolmix
