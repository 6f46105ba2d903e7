// OLE Automation's coercions of numbers, for VariantChangeType
// (platform/Variant.cpp), so that a script's value reaches the control the
// same way on every platform: the Windows COM layer and the Linux script
// host both hand the control the script's own value (an integer, a
// double, a boolean, a text, Empty or Null) and the control converts it to
// its parameter's type with these rules.
//   - A double becomes an integer rounded half to even (2.5 -> 2,
//     3.5 -> 4, -2.5 -> -2), then DISP_E_OVERFLOW unless it fits the type;
//     NaN and the infinities overflow.
//   - A text becomes a number as Automation reads one in the user's
//     locale: blanks around it, a sign (or parentheses), digits with the
//     locale's grouping separator between them, the locale's decimal
//     separator, an exponent ("1e3", "2.5E-1"), or "&H" / "&O" and hex or
//     octal digits (a 16- or 32-bit pattern, as Automation reads it);
//     DISP_E_TYPEMISMATCH for anything else.
//   - A double becomes text as Automation writes it: 15 significant
//     digits, the exponent form ("1E+20", "1E-07") where %G would use it,
//     the locale's decimal separator.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/HResult.h"

namespace tolmix::platform {

// The user locale's separators of numbers (platform/NumberFormat.cpp,
// platform/win32/NumberFormat.cpp).
struct NumberFormat {
  char16_t decimal = u'.';
  char16_t grouping = u',';
};
NumberFormat UserNumberFormat();

// D rounded half to even into [MIN, MAX]: S_OK with *OUT, or
// DISP_E_OVERFLOW.
HRESULT RoundToInteger(double d, int32_t min, int32_t max, int32_t* out);

// TEXT read as a number: S_OK with *OUT, DISP_E_TYPEMISMATCH, or
// DISP_E_OVERFLOW for a number past a double's range.  HEX_BITS: the width
// an "&H" / "&O" pattern is read at (16 for a short, 32 otherwise): a
// pattern with the top bit set is negative.
HRESULT ParseNumber(std::u16string_view text, const NumberFormat& format, int hexBits,
                    double* out);

// D as Automation's text of a double.
std::u16string FormatNumber(double d, const NumberFormat& format);

}  // namespace tolmix::platform
