// The COM-shaped layer: the interface shapes the control is scripted
// through, kept as they are on the platform the control was first written
// for so that the control's code reads the same.  Objects count their
// references and delete themselves when the count reaches zero; interfaces
// are handed out by QueryInterface with one reference added.
//
// What is here: GUIDs (with their registry text form), IUnknown, IDispatch
// with DISPPARAMS and EXCEPINFO, and (through the headers below) HRESULT
// values, BSTR and VARIANT.  Class factories, object safety and
// registration build on these in their own headers.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/Bstr.h"
#include "platform/HResult.h"
#include "platform/Variant.h"

namespace tolmix::platform {

using ULONG = uint32_t;
using LCID = uint32_t;
using DISPID = int32_t;

struct GUID {
  uint32_t Data1;
  uint16_t Data2;
  uint16_t Data3;
  uint8_t Data4[8];

  friend constexpr bool operator==(const GUID& a, const GUID& b) {
    if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) return false;
    for (int i = 0; i < 8; ++i) {
      if (a.Data4[i] != b.Data4[i]) return false;
    }
    return true;
  }
};
using IID = GUID;
using CLSID = GUID;

// Registry text form: "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", upper-case
// hex digits.
std::string GuidToString(const GUID& guid);

// Reads the text form, with or without the braces, hex digits in either
// case.  Nothing for any other text.
std::optional<GUID> GuidFromString(std::string_view text);

inline constexpr GUID IID_NULL = {0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};
inline constexpr IID IID_IUnknown = {0x00000000, 0x0000, 0x0000,
                                     {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
inline constexpr IID IID_IDispatch = {0x00020400, 0x0000, 0x0000,
                                      {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

class IUnknown {
 public:
  // Hands out the interface IID of this object in *OUT with one reference
  // added: S_OK; or E_NOINTERFACE with *OUT null; E_POINTER for null OUT.
  virtual HRESULT QueryInterface(const IID& iid, void** out) = 0;
  // Both return the new count (for diagnostics only).
  virtual ULONG AddRef() = 0;
  virtual ULONG Release() = 0;

 protected:
  ~IUnknown() = default;  // objects go through Release, never delete
};

// Invoke flags.
inline constexpr uint16_t DISPATCH_METHOD = 0x1;
inline constexpr uint16_t DISPATCH_PROPERTYGET = 0x2;
inline constexpr uint16_t DISPATCH_PROPERTYPUT = 0x4;
inline constexpr uint16_t DISPATCH_PROPERTYPUTREF = 0x8;

inline constexpr DISPID DISPID_UNKNOWN = -1;
// The named argument that carries the value of a property put.
inline constexpr DISPID DISPID_PROPERTYPUT = -3;
inline constexpr DISPID DISPID_ABOUTBOX = -552;

// Arguments of one Invoke.  RGVARG holds the arguments in REVERSE order:
// rgvarg[cArgs - 1] is the first argument.  The first cNamedArgs entries
// of rgvarg are named by rgdispidNamedArgs.
struct DISPPARAMS {
  VARIANT* rgvarg;
  DISPID* rgdispidNamedArgs;
  unsigned cArgs;
  unsigned cNamedArgs;
};

// Detail of a DISP_E_EXCEPTION.  The control never raises one (failures are
// values); the shape is here for clients that pass it.
struct EXCEPINFO {
  uint16_t wCode;
  uint16_t wReserved;
  BSTR bstrSource;
  BSTR bstrDescription;
  BSTR bstrHelpFile;
  uint32_t dwHelpContext;
  void* pvReserved;
  void* pfnDeferredFillIn;
  HRESULT scode;
};

class ITypeInfo;  // type information is not served through IDispatch here

class IDispatch : public IUnknown {
 public:
  virtual HRESULT GetTypeInfoCount(unsigned* count) = 0;
  virtual HRESULT GetTypeInfo(unsigned index, LCID lcid, ITypeInfo** info) = 0;
  // Maps NAMES[0] (a member name, compared without regard to letter case as
  // Automation does) to its DISPID in IDS[0]; NAMES[1..] name parameters.
  // DISP_E_UNKNOWNNAME when any name is not known; its entry is then
  // DISPID_UNKNOWN.  RIID must be IID_NULL.
  virtual HRESULT GetIDsOfNames(const IID& riid, const OLECHAR* const* names, unsigned count,
                                LCID lcid, DISPID* ids) = 0;
  // Calls member ID.  RESULT (may be null) must hold an initialised VARIANT
  // and receives the result, owned by the caller.  EXCEPINFO may be null.
  // ARGERR (may be null) receives the index in rgvarg of an argument that
  // could not be converted.
  virtual HRESULT Invoke(DISPID id, const IID& riid, LCID lcid, uint16_t flags,
                         DISPPARAMS* params, VARIANT* result, EXCEPINFO* excepinfo,
                         unsigned* argerr) = 0;

 protected:
  ~IDispatch() = default;
};

}  // namespace tolmix::platform
