// Code-page conversion through glibc's iconv.  Conversions are opened
// without //TRANSLIT or //IGNORE, so a character that does not convert
// stops the conversion (EILSEQ) and the text is refused.  Unicode input is
// checked here first as well: glibc's decoders have differed between
// releases on lone surrogates, and a refusal must not depend on that.
#include "platform/CodePage.h"

#include <iconv.h>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <bit>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "util/Utf8.h"

namespace tolmix::platform {
namespace {

constexpr const char* kGbk = "GBK";
constexpr const char* kUtf8 = "UTF-8";
// char16_t in memory order, so that no byte-order mark is read or written.
constexpr const char* kUtf16 =
    std::endian::native == std::endian::little ? "UTF-16LE" : "UTF-16BE";

class Iconv {
 public:
  Iconv(const char* to, const char* from) : cd_(iconv_open(to, from)) {}
  ~Iconv() {
    if (ok()) iconv_close(cd_);
  }
  Iconv(const Iconv&) = delete;
  Iconv& operator=(const Iconv&) = delete;
  bool ok() const { return cd_ != reinterpret_cast<iconv_t>(-1); }
  iconv_t get() const { return cd_; }

 private:
  iconv_t cd_;
};

// Converts IN (SIZE bytes) from FROM to TO into *OUT.  False, with *OUT
// cleared, when any input does not convert exactly.
bool Convert(const char* to, const char* from, const char* in, size_t size, std::string* out) {
  out->clear();
  if (size == 0) return true;
  Iconv cd(to, from);
  if (!cd.ok()) return false;

  std::string buf(size * 2 + 16, '\0');
  char* src = const_cast<char*>(in);
  size_t srcLeft = size;
  size_t used = 0;
  for (;;) {
    char* dst = buf.data() + used;
    size_t dstLeft = buf.size() - used;
    size_t r = srcLeft ? iconv(cd.get(), &src, &srcLeft, &dst, &dstLeft)
                       : iconv(cd.get(), nullptr, nullptr, &dst, &dstLeft);
    int err = errno;
    used = buf.size() - dstLeft;
    if (r == static_cast<size_t>(-1)) {
      if (err != E2BIG) return false;  // EILSEQ, or EINVAL: cut sequence at the end
      buf.resize(buf.size() * 2);
      continue;
    }
    // A positive count means characters were converted "irreversibly"
    // (approximated): not acceptable.
    if (r != 0) return false;
    if (srcLeft == 0 && src != nullptr) {
      src = nullptr;  // next round flushes any shift state
      continue;
    }
    break;
  }
  buf.resize(used);
  *out = std::move(buf);
  return true;
}

// True when every surrogate in TEXT is part of a high-low pair.
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

// True when TEXT is well-formed UTF-8 (RFC 3629: shortest form, no
// surrogates, nothing above U+10FFFF).
bool ValidUtf8(std::string_view text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  size_t i = 0;
  while (i < text.size()) {
    if (p[i] < 0x80) {
      ++i;
      continue;
    }
    char32_t cp;
    size_t len = DecodeUtf8Char(p + i, text.size() - i, &cp);
    if (len == 0) return false;
    i += len;
  }
  return true;
}

bool ToUtf16(const char* from, std::string_view in, std::u16string* out) {
  out->clear();
  std::string bytes;
  if (!Convert(kUtf16, from, in.data(), in.size(), &bytes)) return false;
  if (bytes.size() % 2 != 0) return false;
  out->resize(bytes.size() / 2);
  if (!bytes.empty()) memcpy(out->data(), bytes.data(), bytes.size());
  // What iconv produced must itself be sound UTF-16.
  if (!ValidUtf16(*out)) {
    out->clear();
    return false;
  }
  return true;
}

bool FromUtf16(const char* to, std::u16string_view in, std::string* out) {
  out->clear();
  if (!ValidUtf16(in)) return false;
  return Convert(to, kUtf16, reinterpret_cast<const char*>(in.data()),
                 in.size() * sizeof(char16_t), out);
}

// Text below 0x80 is the same characters in GBK and in UTF-16 (GBK keeps
// ASCII as single bytes), so it is widened or narrowed as it stands: most
// texts that cross the scripting boundary (PEM, Base64, digests, selectors)
// need no iconv at all.  Both look at eight bytes at a time.
bool IsAscii(std::string_view text) {
  const char* p = text.data();
  size_t n = text.size(), i = 0;
  uint64_t any = 0;
  for (; i + 8 <= n; i += 8) {
    uint64_t w;
    memcpy(&w, p + i, sizeof w);
    any |= w;
  }
  for (; i < n; ++i) any |= static_cast<unsigned char>(p[i]);
  return (any & 0x8080808080808080ull) == 0;
}

// Narrows TEXT into *OUT when every code unit is below 0x80; false (with
// *OUT holding a partial copy) otherwise.
bool NarrowAscii(std::u16string_view text, std::string* out) {
  out->resize(text.size());
  const char16_t* p = text.data();
  char* d = out->data();
  size_t n = text.size(), i = 0;
  uint16_t any = 0;
#if defined(__SSE2__)
  // Sixteen code units at a time: saturating packs keep every unit below
  // 0x80 as it is, and a unit at or above 0x80 shows in the OR.
  __m128i seen = _mm_setzero_si128();
  for (; i + 16 <= n; i += 16) {
    __m128i lo = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
    __m128i hi = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i + 8));
    seen = _mm_or_si128(seen, _mm_or_si128(lo, hi));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(d + i), _mm_packus_epi16(lo, hi));
  }
  if (_mm_movemask_epi8(_mm_cmpeq_epi16(_mm_and_si128(seen, _mm_set1_epi16(static_cast<short>(0xFF80))),
                                        _mm_setzero_si128())) != 0xFFFF) {
    return false;
  }
#endif
  for (; i < n; ++i) {
    any |= p[i];
    d[i] = static_cast<char>(p[i]);
  }
  return any < 0x80;
}

}  // namespace

bool GbkToUtf16(std::string_view gbk, std::u16string* out) {
  if (out == nullptr) return false;
  if (IsAscii(gbk)) {
    out->assign(gbk.begin(), gbk.end());
    return true;
  }
  return ToUtf16(kGbk, gbk, out);
}

bool Utf16ToGbk(std::u16string_view utf16, std::string* out) {
  if (out == nullptr) return false;
  if (NarrowAscii(utf16, out)) return true;
  return FromUtf16(kGbk, utf16, out);
}

bool Utf8ToGbk(std::string_view utf8, std::string* out) {
  if (out == nullptr) return false;
  out->clear();
  if (!ValidUtf8(utf8)) return false;
  return Convert(kGbk, kUtf8, utf8.data(), utf8.size(), out);
}

bool GbkToUtf8(std::string_view gbk, std::string* out) {
  if (out == nullptr) return false;
  return Convert(kUtf8, kGbk, gbk.data(), gbk.size(), out);
}

bool Utf8ToUtf16(std::string_view utf8, std::u16string* out) {
  if (out == nullptr) return false;
  out->clear();
  if (!ValidUtf8(utf8)) return false;
  return ToUtf16(kUtf8, utf8, out);
}

bool Utf16ToUtf8(std::u16string_view utf16, std::string* out) {
  if (out == nullptr) return false;
  return FromUtf16(kUtf8, utf16, out);
}

}  // namespace tolmix::platform
