// The user locale's number separators on POSIX: LC_NUMERIC of the
// environment (LC_ALL, LC_NUMERIC, LANG), as the process has not set its
// own locale.
#include <langinfo.h>
#include <locale.h>

#include "platform/Coerce.h"

namespace tolmix::platform {

namespace {

// The one-byte separator TEXT, or FALLBACK for an empty or multi-byte one
// (a UTF-8 no-break space, say, which Automation's text never needs).
char16_t Separator(const char* text, char16_t fallback) {
  if (text == nullptr || text[0] == '\0' || text[1] != '\0') return fallback;
  const auto c = static_cast<unsigned char>(text[0]);
  return c < 0x80 ? static_cast<char16_t>(c) : fallback;
}

}  // namespace

NumberFormat UserNumberFormat() {
  NumberFormat format;
  locale_t loc = newlocale(LC_NUMERIC_MASK, "", static_cast<locale_t>(0));
  if (loc == static_cast<locale_t>(0)) return format;
  format.decimal = Separator(nl_langinfo_l(RADIXCHAR, loc), u'.');
  format.grouping = Separator(nl_langinfo_l(THOUSEP, loc), u',');
  if (format.grouping == format.decimal) format.grouping = format.decimal == u',' ? u'.' : u',';
  freelocale(loc);
  return format;
}

}  // namespace tolmix::platform
