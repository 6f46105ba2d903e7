// Text conversions between the script engine, the dispatch interface and
// standard output for `tolmix run`.
#include "host/RunInternal.h"

#include <cstdint>

#include "util/Utf8.h"

namespace tolmix::host::run {

std::u16string ToUtf16(std::string_view s) {
  std::u16string out;
  for (size_t i = 0; i < s.size();) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    int extra = c < 0x80 ? 0 : c < 0xE0 ? 1 : c < 0xF0 ? 2 : 3;
    uint32_t cp = extra == 0 ? c : c & (0x3F >> extra);
    if (i + static_cast<size_t>(extra) >= s.size()) {  // cut short: not made by the engine
      out.push_back(u'\uFFFD');
      break;
    }
    for (int k = 1; k <= extra; ++k) cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
    i += static_cast<size_t>(extra) + 1;
    if (cp > 0xFFFF) {
      cp -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
  }
  return out;
}

namespace {

bool IsHigh(char16_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLow(char16_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

}  // namespace

void PushUtf16(duk_context* ctx, std::u16string_view text) {
  std::string cesu;
  for (char16_t c : text) AppendUtf8(c, &cesu);
  duk_push_lstring(ctx, cesu.data(), cesu.size());
}

std::string Utf16ToUtf8Lossy(std::u16string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    char16_t c = text[i];
    if (IsHigh(c) && i + 1 < text.size() && IsLow(text[i + 1])) {
      AppendUtf8(0x10000 + ((static_cast<char32_t>(c) - 0xD800) << 10) + (text[i + 1] - 0xDC00), &out);
      ++i;
    } else {
      AppendUtf8(IsHigh(c) || IsLow(c) ? 0xFFFD : c, &out);
    }
  }
  return out;
}

}  // namespace tolmix::host::run
