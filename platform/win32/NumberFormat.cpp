// The user locale's number separators on Windows: LOCALE_SDECIMAL and
// LOCALE_STHOUSAND of LOCALE_USER_DEFAULT, what VariantChangeType reads.
#include "platform/Coerce.h"

#include <windows.h>

namespace tolmix::platform {

namespace {

char16_t Separator(LCTYPE type, char16_t fallback) {
  wchar_t text[8] = {};
  if (GetLocaleInfoW(LOCALE_USER_DEFAULT, type, text, 8) != 2) return fallback;  // one character
  return static_cast<char16_t>(text[0]);
}

}  // namespace

NumberFormat UserNumberFormat() {
  NumberFormat format;
  format.decimal = Separator(LOCALE_SDECIMAL, u'.');
  format.grouping = Separator(LOCALE_STHOUSAND, u',');
  return format;
}

}  // namespace tolmix::platform
