// ITypeInfo: the type information of one interface, as a client reads it
// to learn which members are methods and which are properties.  Only the
// part of the interface that the system serves and reads is here, with
// the shapes cut down to the fields used: the attributes (cFuncs methods,
// cVars properties of a dispatch interface) and one description per
// method and per property.
//
// Descriptions are owned by the type information: a caller hands each one
// back with the matching Release* call.
#pragma once

#include <cstdint>

#include "platform/Com.h"

namespace tolmix::platform {

using MEMBERID = DISPID;

enum TYPEKIND : int { TKIND_DISPATCH = 4, TKIND_COCLASS = 5 };
enum INVOKEKIND : int {
  INVOKE_FUNC = 1,
  INVOKE_PROPERTYGET = 2,
  INVOKE_PROPERTYPUT = 4,
  INVOKE_PROPERTYPUTREF = 8
};

struct TYPEATTR {
  GUID guid;
  LCID lcid;
  TYPEKIND typekind;
  uint16_t cFuncs;  // methods
  uint16_t cVars;   // properties of a dispatch interface
  uint16_t wMajorVerNum;
  uint16_t wMinorVerNum;
};

struct FUNCDESC {
  MEMBERID memid;
  INVOKEKIND invkind;
  int16_t cParams;
  VARTYPE vtResult;  // VT_EMPTY for no result
};

struct VARDESC {
  MEMBERID memid;
  VARTYPE vt;
};

class ITypeInfo : public IUnknown {
 public:
  virtual HRESULT GetTypeAttr(TYPEATTR** attr) = 0;
  // INDEX counts from 0 below cFuncs / cVars; TYPE_E_ELEMENTNOTFOUND past
  // the end.
  virtual HRESULT GetFuncDesc(unsigned index, FUNCDESC** desc) = 0;
  virtual HRESULT GetVarDesc(unsigned index, VARDESC** desc) = 0;
  virtual void ReleaseTypeAttr(TYPEATTR* attr) = 0;
  virtual void ReleaseFuncDesc(FUNCDESC* desc) = 0;
  virtual void ReleaseVarDesc(VARDESC* desc) = 0;

 protected:
  ~ITypeInfo() = default;
};

inline constexpr HRESULT TYPE_E_ELEMENTNOTFOUND = MakeHResult(0x8002802B);

}  // namespace tolmix::platform
