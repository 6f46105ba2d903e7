// VARIANT: the tagged value that carries arguments and results through the
// dispatch interface.  Only the types the control and the scripts that
// call it use exist: VT_EMPTY, VT_NULL, VT_I2, VT_I4, VT_R8 (a script's
// number that is no 32-bit integer), VT_BOOL and VT_BSTR.  A VT_BSTR variant owns its BSTR:
// VariantClear frees it.  VARIANT itself is a plain struct, as on the
// platform the shape comes from; the Variant class below clears itself when
// it goes and is what C++ callers should hold.
#pragma once

#include <cstdint>
#include <string_view>

#include "platform/Bstr.h"
#include "platform/HResult.h"

namespace tolmix::platform {

using VARTYPE = uint16_t;
inline constexpr VARTYPE VT_EMPTY = 0;
inline constexpr VARTYPE VT_NULL = 1;
inline constexpr VARTYPE VT_I2 = 2;
inline constexpr VARTYPE VT_I4 = 3;
inline constexpr VARTYPE VT_R8 = 5;
inline constexpr VARTYPE VT_BSTR = 8;
inline constexpr VARTYPE VT_BOOL = 11;

using VARIANT_BOOL = int16_t;
inline constexpr VARIANT_BOOL VARIANT_TRUE = -1;
inline constexpr VARIANT_BOOL VARIANT_FALSE = 0;

// Flags of VariantChangeType.  VARIANT_ALPHABOOL: VT_BOOL becomes "True" /
// "False" instead of "-1" / "0".
inline constexpr uint16_t VARIANT_ALPHABOOL = 0x2;

struct VARIANT {
  VARTYPE vt;
  union {
    int16_t iVal;
    int32_t lVal;
    double dblVal;
    VARIANT_BOOL boolVal;
    BSTR bstrVal;
  };
};

// Makes V empty without looking at what it held.
void VariantInit(VARIANT* v) noexcept;

// Frees what V owns and makes it empty.  DISP_E_BADVARTYPE (V unchanged)
// for a type this layer does not know; E_INVALIDARG for null.
HRESULT VariantClear(VARIANT* v) noexcept;

// Clears DST and makes it a deep copy of SRC.  E_OUTOFMEMORY leaves DST
// empty.
HRESULT VariantCopy(VARIANT* dst, const VARIANT* src) noexcept;

// Converts SRC to type VT into DST (DST may be SRC).  On failure DST is
// left as it was.  The conversions are Automation's, with the user
// locale's separators (platform/Coerce.h has the rules for numbers):
//   to VT_I2 / VT_I4: I2, I4 as they are; R8 rounded half to even; BOOL as
//     -1 / 0; EMPTY as 0; BSTR read as a number, then rounded.  A number
//     outside the target's range is DISP_E_OVERFLOW; NULL, and a text that
//     is no number (the empty text included), DISP_E_TYPEMISMATCH.
//   to VT_R8: the same values, not rounded.
//   to VT_BOOL: numbers are true when non-zero; EMPTY is false; BSTR "True"
//     / "False" in any letter case, or a number as above; NULL is
//     DISP_E_TYPEMISMATCH.
//   to VT_BSTR: EMPTY is ""; I2 / I4 in decimal; R8 as Automation writes a
//     double ("1.5", "1E+20"); BOOL is "-1" / "0", or "True" / "False" with
//     VARIANT_ALPHABOOL; NULL is DISP_E_TYPEMISMATCH.
//   to VT_EMPTY: always empty.
// Other types are DISP_E_BADVARTYPE; a failed allocation E_OUTOFMEMORY.
HRESULT VariantChangeType(VARIANT* dst, const VARIANT* src, uint16_t flags, VARTYPE vt) noexcept;

// A VARIANT that clears itself.  Copies are deep.  The factory functions
// throw std::bad_alloc when a BSTR cannot be allocated.
class Variant : public VARIANT {
 public:
  Variant() noexcept { VariantInit(this); }
  ~Variant() { VariantClear(this); }
  Variant(const Variant& other);
  Variant& operator=(const Variant& other);
  Variant(Variant&& other) noexcept;
  Variant& operator=(Variant&& other) noexcept;

  static Variant I2(int16_t value) noexcept;
  static Variant I4(int32_t value) noexcept;
  static Variant R8(double value) noexcept;
  static Variant Null() noexcept;
  static Variant Bool(bool value) noexcept;
  static Variant Text(std::u16string_view text);
  // A VT_BSTR variant holding the null BSTR.
  static Variant NullText() noexcept;
};

}  // namespace tolmix::platform
