// Code-page conversion on Windows: the system's ANSI code page (CP_ACP,
// 936 on the machines the control serves) through MultiByteToWideChar and
// WideCharToMultiByte.  As on Linux a text that does not convert is
// refused whole: invalid bytes (MB_ERR_INVALID_CHARS), lone surrogates and
// characters without a form in the code page (no best-fit mapping, no
// default character) give false.
#include "platform/CodePage.h"

#include <windows.h>

#include <climits>

namespace tolmix::platform {
namespace {

bool ValidUtf16(std::u16string_view text) {
  for (size_t i = 0; i < text.size(); ++i) {
    char16_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF) {
      if (i + 1 >= text.size() || text[i + 1] < 0xDC00 || text[i + 1] > 0xDFFF) return false;
      ++i;
    } else if (c >= 0xDC00 && c <= 0xDFFF) {
      return false;
    }
  }
  return true;
}

bool ToWide(UINT cp, std::string_view in, std::u16string* out) {
  out->clear();
  if (in.empty()) return true;
  if (in.size() > INT_MAX) return false;
  const int n = MultiByteToWideChar(cp, MB_ERR_INVALID_CHARS, in.data(), static_cast<int>(in.size()),
                                    nullptr, 0);
  if (n <= 0) return false;
  std::u16string wide(static_cast<size_t>(n), u'\0');
  if (MultiByteToWideChar(cp, MB_ERR_INVALID_CHARS, in.data(), static_cast<int>(in.size()),
                          reinterpret_cast<wchar_t*>(wide.data()), n) != n ||
      !ValidUtf16(wide)) {
    return false;
  }
  *out = std::move(wide);
  return true;
}

bool FromWide(UINT cp, std::u16string_view in, std::string* out) {
  out->clear();
  if (in.empty()) return true;
  if (in.size() > INT_MAX / 4 || !ValidUtf16(in)) return false;
  const auto* w = reinterpret_cast<const wchar_t*>(in.data());
  const int len = static_cast<int>(in.size());
  // CP_UTF8 takes no default-character argument; every valid UTF-16 text
  // has a UTF-8 form.
  const DWORD flags = cp == CP_UTF8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS;
  BOOL usedDefault = FALSE;
  BOOL* used = cp == CP_UTF8 ? nullptr : &usedDefault;
  const int n = WideCharToMultiByte(cp, flags, w, len, nullptr, 0, nullptr, used);
  if (n <= 0 || usedDefault) return false;
  std::string bytes(static_cast<size_t>(n), '\0');
  if (WideCharToMultiByte(cp, flags, w, len, bytes.data(), n, nullptr, used) != n || usedDefault) {
    return false;
  }
  *out = std::move(bytes);
  return true;
}

}  // namespace

bool GbkToUtf16(std::string_view gbk, std::u16string* out) { return ToWide(CP_ACP, gbk, out); }
bool Utf16ToGbk(std::u16string_view utf16, std::string* out) {
  return FromWide(CP_ACP, utf16, out);
}
bool Utf8ToUtf16(std::string_view utf8, std::u16string* out) { return ToWide(CP_UTF8, utf8, out); }
bool Utf16ToUtf8(std::u16string_view utf16, std::string* out) {
  return FromWide(CP_UTF8, utf16, out);
}

bool Utf8ToGbk(std::string_view utf8, std::string* out) {
  std::u16string wide;
  if (!Utf8ToUtf16(utf8, &wide)) {
    out->clear();
    return false;
  }
  return Utf16ToGbk(wide, out);
}

bool GbkToUtf8(std::string_view gbk, std::string* out) {
  std::u16string wide;
  if (!GbkToUtf16(gbk, &wide)) {
    out->clear();
    return false;
  }
  return Utf16ToUtf8(wide, out);
}

}  // namespace tolmix::platform
