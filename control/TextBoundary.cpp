#include "control/TextBoundary.h"

#include "platform/CodePage.h"

namespace tolmix::control {
namespace {

constexpr char16_t kReplacement = u'\uFFFD';

// Byte count of the GBK character that starts with LEAD: 1 for ASCII, 2 for
// a lead byte 0x81-0xFE, 0 for a byte that starts nothing.
size_t GbkUnitLength(unsigned char lead) {
  if (lead < 0x80) return 1;
  if (lead >= 0x81 && lead <= 0xFE) return 2;
  return 0;
}

// The slow path of ResultToUtf16, for text known not to be valid GBK.
// ASCII is copied as it is; each double-byte character is converted on its
// own, and a lead byte whose character does not convert is replaced.
std::u16string ConvertWithReplacement(std::string_view gbk) {
  std::u16string out;
  out.reserve(gbk.size());
  size_t i = 0;
  while (i < gbk.size()) {
    unsigned char b = static_cast<unsigned char>(gbk[i]);
    size_t len = GbkUnitLength(b);
    if (len == 1) {
      out.push_back(static_cast<char16_t>(b));
      ++i;
      continue;
    }
    std::u16string one;
    if (len == 2 && i + 1 < gbk.size() && platform::GbkToUtf16(gbk.substr(i, 2), &one) &&
        one.size() == 1) {
      out += one;
      i += 2;
      continue;
    }
    out.push_back(kReplacement);
    ++i;  // the next byte is looked at afresh
  }
  return out;
}

}  // namespace

bool PasswordFitsEngine(std::string_view password) {
  // Only the bytes before a NUL count, as the engine copies a C string.
  size_t end = password.find('\0');
  if (end != std::string_view::npos) password = password.substr(0, end);
  return password.size() < 32;
}

bool ArgumentToGbk(const platform::OLECHAR* arg, std::string* out) {
  std::u16string_view text = platform::BstrView(arg);
  // One pass for the usual argument: the whole text is converted and then
  // cut at its first NUL byte, which is where its first NUL character was
  // (no GBK character holds a zero byte).  Only when the whole text does
  // not convert does the part after a NUL matter: the text up to the NUL is
  // converted on its own then.
  if (platform::Utf16ToGbk(text, out)) {
    size_t nul = out->find('\0');
    if (nul != std::string::npos) out->resize(nul);
    return true;
  }
  size_t end = text.find(u'\0');
  if (end == std::u16string_view::npos) return false;
  return platform::Utf16ToGbk(text.substr(0, end), out);
}

std::u16string ResultToUtf16(std::string_view gbk) {
  std::u16string out;
  if (platform::GbkToUtf16(gbk, &out)) return out;
  return ConvertWithReplacement(gbk);
}

}  // namespace tolmix::control
