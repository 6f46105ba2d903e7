// Text rules of the control's certificate methods, kept apart from the
// control so that each can be checked alone: the PEM body of a certificate
// text, the serial, date and countdown texts, and the item lookup in a name
// text.  All texts are GBK.
#pragma once

#include <cstddef>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Certificate.h"

namespace tolmix::control {

// Fixed sizes of the certificate methods, terminator included.
inline constexpr size_t kCertInputSize = 8192;   // CertParse input (8191 bytes of text)
inline constexpr size_t kSerialTextSize = 256;   // serial number text
inline constexpr size_t kDateTextSize = 64;      // validity date text
inline constexpr size_t kItemPatternSize = 64;   // item keyword and "="
inline constexpr size_t kItemValueSize = 1024;   // item value

// GBK messages recorded by the certificate methods.
// "证书解析失败."
inline constexpr char kMsgCertParseFailed[] = "\xd6\xa4\xca\xe9\xbd\xe2\xce\xf6\xca\xa7\xb0\xdc\x2e";
// "证书扩展域获取失败."
inline constexpr char kMsgExtensionFailed[] =
    "\xd6\xa4\xca\xe9\xc0\xa9\xd5\xb9\xd3\xf2\xbb\xf1\xc8\xa1\xca\xa7\xb0\xdc\x2e";
// "证书解析失败,未给出证书Base64编码."
inline constexpr char kMsgNoCertGiven[] =
    "\xd6\xa4\xca\xe9\xbd\xe2\xce\xf6\xca\xa7\xb0\xdc\x2c\xce\xb4\xb8\xf8\xb3\xf6\xd6\xa4\xca\xe9"
    "\x42\x61\x73\x65\x36\x34\xb1\xe0\xc2\xeb\x2e";

// How a certificate text turned out.
enum class CertTextOutcome {
  kNotDecoded,     // too long, no END marker after the body, or not Base64
  kNoCertificate,  // decoded, but the bytes are no certificate
  kCertificate,
};

struct ParsedCertText {
  CertTextOutcome outcome = CertTextOutcome::kNotDecoded;
  std::optional<platform::Certificate> cert;  // set for kCertificate only
};

// The Base64 body of TEXT.  With a "-----BEGIN CERTIFICATE-----" marker the
// body starts after it -- one CR or LF directly after the marker is skipped,
// any other character belongs to the body -- and ends before the first
// "-----END CERTIFICATE-----" that follows; text around them is ignored.
// Without the BEGIN marker the whole text is the body.  Empty when the BEGIN
// marker has no END marker after it.
std::optional<std::string_view> PemBody(std::string_view text);

// CertParse's reading of TEXT (NUL-terminated, null = empty): the body by
// PemBody, Base64-decoded, made a certificate.  A text of kCertInputSize
// bytes or more is refused as kNotDecoded rather than cut.
ParsedCertText ParseCertText(const char* text);

// The serial number BYTES (most significant first) as lowercase hex, two
// digits per byte.  Empty when the text would not fit kSerialTextSize.
std::string SerialText(const std::vector<unsigned char>& bytes);

// Instant T as "YYYY-MM-DD hh:mm:ss" in local time, shifted by the offset
// from UTC in force at NOW (not the one in force at T), as
// FileTimeToLocalFileTime does.
std::string LocalDateText(std::time_t t, std::time_t now);

// Days from NOW to NOT_AFTER, rounded to the nearest whole day ("%.0f"):
// "-0" for a certificate that expired less than half a day ago.
std::string DaysToExpiryText(std::time_t notAfter, std::time_t now);

// The pattern of keyword ITEM: ASCII letters upper-cased (double-byte GBK
// characters left alone) and "=" appended.  Empty when ITEM is longer than
// kItemPatternSize - 2 bytes.
std::optional<std::string> ItemPattern(const char* item);

// The value of PATTERN in the name text NAME: from after the first
// occurrence of PATTERN (plain, case-sensitive substring search) up to the
// next "," or the end.  Empty when PATTERN does not occur.
//
// The e-mail keyword: the name text writes the e-mail element with the key
// "E", so "EMAIL=" is not found in it; when it is not, the value of the
// first element whose key is "E" (at the start of an element, outside
// quoted values) is taken instead.
std::string NameItemValue(std::string_view name, std::string_view pattern);

}  // namespace tolmix::control
