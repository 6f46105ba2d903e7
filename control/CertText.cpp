#include "control/CertText.h"

#include <cstdio>
#include <cstring>

#include "platform/LocalTime.h"
#include "platform/NameFormatter.h"
#include "util/Base64.h"
#include "util/FixedText.h"

namespace tolmix::control {
namespace {

constexpr std::string_view kBeginMarker = "-----BEGIN CERTIFICATE-----";
constexpr std::string_view kEndMarker = "-----END CERTIFICATE-----";
constexpr std::string_view kEmailPattern = "EMAIL=";
constexpr std::string_view kEmailKey = "E=";

// True when POS in NAME is where an element (or an attribute of a
// multi-valued element) starts: the text's start, or after ", " or " + ".
bool AtElementStart(std::string_view name, size_t pos) {
  if (pos == 0) return true;
  std::string_view before = name.substr(0, pos);
  return before.ends_with(", ") || before.ends_with(" + ");
}

// Position of the first attribute keyed KEY ("E=") outside quoted values;
// npos when there is none.  Quotes, commas and blanks are never GBK trail
// bytes, so a byte scan is safe.
size_t FindElementKey(std::string_view name, std::string_view key) {
  bool quoted = false;
  for (size_t i = 0; i < name.size(); ++i) {
    if (name[i] == '"') {
      quoted = !quoted;  // a doubled inner quote toggles twice
    } else if (!quoted && AtElementStart(name, i) && name.substr(i).starts_with(key)) {
      return i;
    }
  }
  return std::string_view::npos;
}

std::string ValueFrom(std::string_view name, size_t start) {
  size_t end = name.find(',', start);
  std::string_view value = name.substr(start, end == std::string_view::npos ? end : end - start);
  return std::string(platform::CutGbk(value, kItemValueSize - 1));
}

}  // namespace

std::optional<std::string_view> PemBody(std::string_view text) {
  size_t begin = text.find(kBeginMarker);
  if (begin == std::string_view::npos) return text;
  size_t start = begin + kBeginMarker.size();
  // A one-line PEM ("-----BEGIN CERTIFICATE-----MIIB...") keeps its first
  // Base64 character: only a line break after the marker is skipped.
  if (start < text.size() && (text[start] == '\n' || text[start] == '\r')) ++start;
  size_t end = text.find(kEndMarker, start);
  if (end == std::string_view::npos) return std::nullopt;
  return text.substr(start, end - start);
}

ParsedCertText ParseCertText(const char* text) {
  ParsedCertText parsed;
  if (text == nullptr || !FitsField<kCertInputSize>(text)) return parsed;
  std::optional<std::string_view> body = PemBody(text);
  if (!body) return parsed;

  std::string bodyText(*body);  // Base64Decode reads a NUL-terminated text
  unsigned int size = 0;
  if (Base64Decode(nullptr, bodyText.c_str(), &size) != 0) return parsed;
  std::vector<unsigned char> der(size);
  if (size == 0 || Base64Decode(der.data(), bodyText.c_str(), &size) != 0) {
    return parsed;
  }
  parsed.cert = platform::Certificate::FromDer(der.data(), size);
  parsed.outcome = parsed.cert ? CertTextOutcome::kCertificate : CertTextOutcome::kNoCertificate;
  return parsed;
}

std::string SerialText(const std::vector<unsigned char>& bytes) {
  if (bytes.size() * 2 >= kSerialTextSize) return std::string();
  char text[kSerialTextSize] = {};
  for (size_t i = 0; i < bytes.size(); ++i) {
    std::snprintf(text + 2 * i, sizeof text - 2 * i, "%02x", bytes[i]);
  }
  return text;
}

std::string LocalDateText(std::time_t t, std::time_t now) {
  std::tm tm = platform::LocalTimeAtTodaysOffset(t, now);
  char text[kDateTextSize];
  FormatBounded(text, "%04d-%02d-%02d %02d:%02d:%02d", tm.tm_year + 1900, tm.tm_mon + 1,
                tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
  return text;
}

std::string DaysToExpiryText(std::time_t notAfter, std::time_t now) {
  double days = std::difftime(notAfter, now) / 86400.0;
  char text[64];
  FormatBounded(text, "%.0f", days);
  return text;
}

std::optional<std::string> ItemPattern(const char* item) {
  std::string_view in(item ? item : "");
  if (in.size() > kItemPatternSize - 2) return std::nullopt;
  std::string pattern;
  for (size_t i = 0; i < in.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(in[i]);
    if (c >= 0x81 && c <= 0xFE && i + 1 < in.size()) {
      // A GBK lead byte: the character is copied whole, its trail byte
      // (which may be an ASCII letter) untouched.
      pattern += in[i];
      pattern += in[++i];
    } else {
      pattern += (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : in[i];
    }
  }
  pattern += '=';
  return pattern;
}

std::string NameItemValue(std::string_view name, std::string_view pattern) {
  size_t at = name.find(pattern);
  if (at != std::string_view::npos) return ValueFrom(name, at + pattern.size());
  if (pattern == kEmailPattern) {
    at = FindElementKey(name, kEmailKey);
    if (at != std::string_view::npos) return ValueFrom(name, at + kEmailKey.size());
  }
  return std::string();
}

}  // namespace tolmix::control
