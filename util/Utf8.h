// UTF-8 one character at a time (RFC 3629: shortest form only, no
// surrogates, nothing above U+10FFFF), for the few places that check or
// build UTF-8 by hand rather than through iconv.
#pragma once

#include <cstddef>
#include <string>

namespace tolmix {

// Decodes the character at P (N > 0 bytes available): returns its length
// (1 to 4) and sets *CP, or returns 0 when the bytes at P are not a
// well-formed character (*CP is then unspecified).
inline size_t DecodeUtf8Char(const unsigned char* p, size_t n, char32_t* cp) noexcept {
  unsigned char c = p[0];
  size_t len;
  if (c < 0x80) {
    *cp = c;
    return 1;
  } else if (c >= 0xC2 && c <= 0xDF) {
    len = 2;
    *cp = c & 0x1F;
  } else if (c >= 0xE0 && c <= 0xEF) {
    len = 3;
    *cp = c & 0x0F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    len = 4;
    *cp = c & 0x07;
  } else {
    return 0;
  }
  if (n < len) return 0;
  for (size_t k = 1; k < len; ++k) {
    if ((p[k] & 0xC0) != 0x80) return 0;
    *cp = (*cp << 6) | (p[k] & 0x3F);
  }
  if ((len == 3 && *cp < 0x800) || (len == 4 && (*cp < 0x10000 || *cp > 0x10FFFF)) ||
      (*cp >= 0xD800 && *cp <= 0xDFFF)) {
    return 0;
  }
  return len;
}

// Appends CP (at most U+10FFFF) to OUT as UTF-8.  Surrogate code points are
// written like any other (CESU-8 for callers that want it).
inline void AppendUtf8(char32_t cp, std::string* out) {
  if (cp < 0x80) {
    out->push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

}  // namespace tolmix
