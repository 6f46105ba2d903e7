// Texts taken from certificates, stores and devices (names, labels) shown
// on a terminal or in a window: control characters are written so that they
// show instead of acting.  A name such as "Evil\e[2J\e]0;PWNED\aName" would
// otherwise clear the screen, retitle the window or draw fake rows.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

#include "util/Utf8.h"

namespace tolmix {

// True for the characters written as escapes: C0 controls, DEL, C1
// controls (terminals read U+009B as CSI), the line and paragraph
// separators and the bidirectional embeddings, overrides and isolates
// (which reorder what follows them).
inline bool IsShownAsEscape(char32_t cp) {
  return cp < 0x20 || (cp >= 0x7F && cp < 0xA0) || cp == 0x200E || cp == 0x200F ||
         (cp >= 0x2028 && cp <= 0x202E) || (cp >= 0x2066 && cp <= 0x2069);
}

namespace control_text {
// Walks UTF8 and appends each character to OUT, or MARK(cp or byte,
// is_byte) for the ones to show as marks and for bytes that are no UTF-8.
template <class Mark>
std::string Render(std::string_view utf8, Mark mark) {
  std::string out;
  out.reserve(utf8.size());
  const auto* p = reinterpret_cast<const unsigned char*>(utf8.data());
  for (size_t i = 0, n = utf8.size(); i < n;) {
    char32_t cp = 0;
    size_t len = DecodeUtf8Char(p + i, n - i, &cp);
    if (len == 0) {
      mark(p[i], true, &out);
      ++i;
      continue;
    }
    if (IsShownAsEscape(cp)) {
      mark(cp, false, &out);
    } else {
      out.append(utf8.substr(i, len));
    }
    i += len;
  }
  return out;
}

inline void AppendEscape(char32_t cp, bool is_byte, std::string* out) {
  char buf[12];
  snprintf(buf, sizeof buf, is_byte || cp < 0x80 ? "\\x%02X" : "\\u%04X",
           static_cast<unsigned>(cp));
  out->append(buf);
}
}  // namespace control_text

// For a terminal: "\x1B" for ESC, "\x07" for BEL, "\u009B", "\u202E"; a
// byte that is no UTF-8 as "\xNN".  Everything else unchanged.
inline std::string EscapeControls(std::string_view utf8) {
  return control_text::Render(utf8, control_text::AppendEscape);
}

// For a window: C0 controls and DEL as their control pictures (U+2400..,
// "␛" for ESC, U+2421 for DEL), the other marked characters and bytes that
// are no UTF-8 as in EscapeControls.
inline std::string ShowControls(std::string_view utf8) {
  return control_text::Render(utf8, [](char32_t cp, bool is_byte, std::string* out) {
    if (!is_byte && cp < 0x20) {
      AppendUtf8(0x2400 + cp, out);
    } else if (!is_byte && cp == 0x7F) {
      AppendUtf8(0x2421, out);
    } else {
      control_text::AppendEscape(cp, is_byte, out);
    }
  });
}

}  // namespace tolmix
