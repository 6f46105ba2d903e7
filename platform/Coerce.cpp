#include "platform/Coerce.h"

#include <charconv>
#include <cmath>
#include <string>

namespace tolmix::platform {

namespace {

bool IsBlank(char16_t c) { return c == u' ' || c == u'\t'; }
bool IsDigit(char16_t c) { return c >= u'0' && c <= u'9'; }

int HexValue(char16_t c) {
  if (IsDigit(c)) return c - u'0';
  if (c >= u'a' && c <= u'f') return c - u'a' + 10;
  if (c >= u'A' && c <= u'F') return c - u'A' + 10;
  return -1;
}

// "&H..." / "&O..." from AT (just past the '&') to END: the pattern read
// at HEX_BITS, as a signed number.
HRESULT ParsePattern(std::u16string_view text, size_t at, size_t end, int hexBits, double* out) {
  if (at >= end) return DISP_E_TYPEMISMATCH;
  const char16_t kind = text[at++];
  const int base = (kind == u'H' || kind == u'h') ? 16 : (kind == u'O' || kind == u'o') ? 8 : 0;
  if (base == 0 || at >= end) return DISP_E_TYPEMISMATCH;
  uint64_t value = 0;
  for (; at < end; ++at) {
    const int d = HexValue(text[at]);
    if (d < 0 || d >= base) return DISP_E_TYPEMISMATCH;
    value = value * base + static_cast<uint64_t>(d);
    if (value > 0xFFFFFFFFu) return DISP_E_OVERFLOW;
  }
  if (hexBits == 16 && value <= 0xFFFF) {
    *out = static_cast<int16_t>(static_cast<uint16_t>(value));
  } else {
    *out = static_cast<int32_t>(static_cast<uint32_t>(value));
  }
  return S_OK;
}

// Whether PLAIN (digits, '.', exponent), out of a double's range, is so
// because it is tiny rather than huge: its first significant digit stands
// below the units.
bool Tiny(const std::string& plain) {
  long exponent = 0;
  const size_t e = plain.find('e');
  if (e != std::string::npos) {
    std::from_chars(plain.data() + e + (plain[e + 1] == '+' ? 2 : 1), plain.data() + plain.size(),
                    exponent);
  }
  const std::string mantissa = plain.substr(0, e);
  const size_t point = mantissa.find('.');
  const size_t first = mantissa.find_first_of("123456789");
  if (first == std::string::npos) return true;
  const long place = point == std::string::npos || first < point
                         ? static_cast<long>((point == std::string::npos ? mantissa.size() : point) - first)
                         : -static_cast<long>(first - point - 1);
  return place + exponent <= 0;
}

}  // namespace

HRESULT RoundToInteger(double d, int32_t min, int32_t max, int32_t* out) {
  if (!std::isfinite(d)) return DISP_E_OVERFLOW;
  double whole = std::floor(d);
  const double rest = d - whole;
  if (rest > 0.5 || (rest == 0.5 && std::fmod(whole, 2.0) != 0.0)) whole += 1.0;
  if (whole < min || whole > max) return DISP_E_OVERFLOW;
  *out = static_cast<int32_t>(whole);
  return S_OK;
}

HRESULT ParseNumber(std::u16string_view text, const NumberFormat& format, int hexBits,
                    double* out) {
  size_t i = 0, end = text.size();
  while (i < end && IsBlank(text[i])) ++i;
  while (end > i && IsBlank(text[end - 1])) --end;
  if (i < end && text[i] == u'&') return ParsePattern(text, i + 1, end, hexBits, out);

  bool negative = false, signSeen = false;
  if (i < end && text[i] == u'(' && text[end - 1] == u')' && end - i >= 2) {
    negative = signSeen = true;
    ++i;
    --end;
  }
  if (!signSeen && i < end && (text[i] == u'+' || text[i] == u'-')) {
    negative = text[i++] == u'-';
    signSeen = true;
  }
  if (!signSeen && end > i && (text[end - 1] == u'+' || text[end - 1] == u'-')) {
    negative = text[--end] == u'-';  // a trailing sign
  }
  // The number in the C form from_chars reads: digits, '.', exponent.
  std::string plain;
  size_t digits = 0;
  for (; i < end && (IsDigit(text[i]) || (text[i] == format.grouping && digits > 0)); ++i) {
    if (text[i] == format.grouping) continue;
    plain.push_back(static_cast<char>(text[i]));
    ++digits;
  }
  if (i < end && text[i] == format.decimal) {
    plain.push_back('.');
    for (++i; i < end && IsDigit(text[i]); ++i, ++digits) plain.push_back(static_cast<char>(text[i]));
  }
  if (digits == 0) return DISP_E_TYPEMISMATCH;
  if (i < end && (text[i] == u'e' || text[i] == u'E' || text[i] == u'd' || text[i] == u'D')) {
    plain.push_back('e');
    ++i;
    if (i < end && (text[i] == u'+' || text[i] == u'-')) plain.push_back(static_cast<char>(text[i++]));
    const size_t start = i;
    for (; i < end && IsDigit(text[i]); ++i) plain.push_back(static_cast<char>(text[i]));
    if (i == start) return DISP_E_TYPEMISMATCH;
  }
  if (i != end) return DISP_E_TYPEMISMATCH;
  double value = 0;
  auto [ptr, ec] = std::from_chars(plain.data(), plain.data() + plain.size(), value);
  if (ec == std::errc::result_out_of_range) {
    if (!Tiny(plain)) return DISP_E_OVERFLOW;
    value = 0;  // too small to tell from zero
  } else if (ec != std::errc() || ptr != plain.data() + plain.size()) {
    return DISP_E_TYPEMISMATCH;
  }
  *out = negative ? -value : value;
  return S_OK;
}

std::u16string FormatNumber(double d, const NumberFormat& format) {
  char buf[64];
  auto [ptr, ec] = std::to_chars(buf, buf + sizeof buf, d, std::chars_format::general, 15);
  std::u16string text;
  if (ec != std::errc()) return text;
  for (const char* p = buf; p != ptr; ++p) {
    char c = *p;
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');  // "1E+20", "NAN", "INF"
    text.push_back(c == '.' ? format.decimal : static_cast<char16_t>(c));
  }
  return text;
}

}  // namespace tolmix::platform
