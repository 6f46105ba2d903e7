#include "platform/NameFormatter.h"

#include <openssl/objects.h>

#include <array>
#include <vector>

#include "platform/CodePage.h"
#include "util/Utf8.h"

namespace tolmix::platform {
namespace {

struct KeyWord {
  int nid;
  const char* word;
};

// The key words of CryptoAPI's X.500 string form.  "SN" is the surname
// (2.5.4.4), not OpenSSL's short name for serialNumber.
constexpr std::array<KeyWord, 20> kKeyWords = {{
    {NID_commonName, "CN"},
    {NID_organizationalUnitName, "OU"},
    {NID_organizationName, "O"},
    {NID_localityName, "L"},
    {NID_stateOrProvinceName, "S"},
    {NID_countryName, "C"},
    {NID_pkcs9_emailAddress, "E"},
    {NID_streetAddress, "STREET"},
    {NID_title, "T"},
    {NID_givenName, "G"},
    {NID_initials, "I"},
    {NID_surname, "SN"},
    {NID_domainComponent, "DC"},
    {NID_serialNumber, "SERIALNUMBER"},
    {NID_description, "Description"},
    {NID_postalCode, "PostalCode"},
    {NID_postOfficeBox, "POBox"},
    {NID_telephoneNumber, "Phone"},
    {NID_x121Address, "X21Address"},
    {NID_dnQualifier, "dnQualifier"},
}};

constexpr char32_t kBad = 0xFFFD;  // marks a sequence that does not decode

// Decodes UTF-8; each byte of a malformed sequence gives one kBad.  With
// STRICT, the first malformed byte makes the whole decode fail instead.
bool DecodeUtf8(const unsigned char* p, size_t n, bool strict, std::u32string* out) {
  size_t i = 0;
  while (i < n) {
    char32_t cp;
    size_t len = DecodeUtf8Char(p + i, n - i, &cp);
    if (len == 0) {
      if (strict) return false;
      out->push_back(kBad);
      ++i;
      continue;
    }
    out->push_back(cp);
    i += len;
  }
  return true;
}

// UTF-16 big-endian; a lone surrogate or an odd last byte gives kBad.
void DecodeBmp(const unsigned char* p, size_t n, std::u32string* out) {
  size_t i = 0;
  while (i + 1 < n) {
    char32_t u = (char32_t{p[i]} << 8) | p[i + 1];
    i += 2;
    if (u >= 0xD800 && u <= 0xDBFF && i + 1 < n) {
      char32_t l = (char32_t{p[i]} << 8) | p[i + 1];
      if (l >= 0xDC00 && l <= 0xDFFF) {
        out->push_back(0x10000 + ((u - 0xD800) << 10) + (l - 0xDC00));
        i += 2;
        continue;
      }
    }
    out->push_back(u >= 0xD800 && u <= 0xDFFF ? kBad : u);
  }
  if (i < n) out->push_back(kBad);
}

void DecodeUcs4(const unsigned char* p, size_t n, std::u32string* out) {
  size_t i = 0;
  for (; i + 3 < n; i += 4) {
    char32_t u = (char32_t{p[i]} << 24) | (char32_t{p[i + 1]} << 16) |
                 (char32_t{p[i + 2]} << 8) | p[i + 3];
    out->push_back(u > 0x10FFFF || (u >= 0xD800 && u <= 0xDFFF) ? kBad : u);
  }
  if (i < n) out->push_back(kBad);
}

// Code points to GBK, one "?" for each that has no GBK form (kBad and
// U+0000 included).
std::string ToGbk(const std::u32string& cps) {
  std::string utf8;
  bool plain = true;
  for (char32_t cp : cps) {
    if (cp == 0 || cp == kBad) plain = false;
    AppendUtf8(cp, &utf8);
  }
  std::string gbk;
  if (plain && Utf8ToGbk(utf8, &gbk)) return gbk;

  // Some character does not convert: go one character at a time.
  gbk.clear();
  for (char32_t cp : cps) {
    if (cp > 0 && cp < 0x80) {
      gbk.push_back(static_cast<char>(cp));
      continue;
    }
    std::string one, conv;
    AppendUtf8(cp, &one);
    if (cp != 0 && cp != kBad && Utf8ToGbk(one, &conv)) {
      gbk += conv;
    } else {
      gbk.push_back('?');
    }
  }
  return gbk;
}

// "#" and the upper-case hex of the value's complete DER (tag included).
std::string HexOfEncoding(const ASN1_STRING* value) {
  std::string text = "#";
  ASN1_TYPE* any = ASN1_TYPE_new();
  ASN1_STRING* copy = ASN1_STRING_dup(value);
  if (any == nullptr || copy == nullptr) {
    ASN1_TYPE_free(any);
    ASN1_STRING_free(copy);
    return text;
  }
  ASN1_TYPE_set(any, ASN1_STRING_type(value), copy);  // takes COPY
  unsigned char* der = nullptr;
  int n = i2d_ASN1_TYPE(any, &der);
  ASN1_TYPE_free(any);
  static constexpr char kHex[] = "0123456789ABCDEF";
  for (int i = 0; i < n; ++i) {
    text.push_back(kHex[der[i] >> 4]);
    text.push_back(kHex[der[i] & 0x0F]);
  }
  OPENSSL_free(der);
  return text;
}

bool IsCharacterString(int type) {
  switch (type) {
    case V_ASN1_UTF8STRING:
    case V_ASN1_BMPSTRING:
    case V_ASN1_UNIVERSALSTRING:
    case V_ASN1_T61STRING:
    case V_ASN1_PRINTABLESTRING:
    case V_ASN1_IA5STRING:
    case V_ASN1_NUMERICSTRING:
    case V_ASN1_VISIBLESTRING:
    case V_ASN1_VIDEOTEXSTRING:
    case V_ASN1_GRAPHICSTRING:
    case V_ASN1_GENERALSTRING:
      return true;
    default:
      return false;
  }
}

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

// Bytes below 0x40 never occur inside a GBK double-byte character, so the
// checks below can look at single bytes.
bool NeedsQuotes(std::string_view v) {
  if (v.empty() || IsBlank(v.front()) || IsBlank(v.back())) return true;
  return v.find_first_of(",+=\"\n<>#;") != std::string_view::npos;
}

void AppendValue(std::string_view v, std::string* out) {
  if (!NeedsQuotes(v)) {
    out->append(v);
    return;
  }
  out->push_back('"');
  for (char c : v) {
    if (c == '"') out->push_back('"');
    out->push_back(c);
  }
  out->push_back('"');
}

}  // namespace

std::string X500KeyWord(const ASN1_OBJECT* obj) {
  int nid = OBJ_obj2nid(obj);
  if (nid != NID_undef) {
    for (const KeyWord& k : kKeyWords) {
      if (k.nid == nid) return k.word;
    }
  }
  char dotted[128];
  int n = OBJ_obj2txt(dotted, sizeof dotted, obj, 1);
  if (n < 0) n = 0;
  if (n >= static_cast<int>(sizeof dotted)) n = sizeof dotted - 1;  // cut by OpenSSL
  return "OID." + std::string(dotted, static_cast<size_t>(n));
}

std::string NameValueToGbk(const ASN1_STRING* value) {
  if (value == nullptr) return std::string();
  const unsigned char* p = ASN1_STRING_get0_data(value);
  size_t n = static_cast<size_t>(ASN1_STRING_length(value));
  std::u32string cps;
  switch (ASN1_STRING_type(value)) {
    case V_ASN1_UTF8STRING:
      DecodeUtf8(p, n, false, &cps);
      break;
    case V_ASN1_BMPSTRING:
      DecodeBmp(p, n, &cps);
      break;
    case V_ASN1_UNIVERSALSTRING:
      DecodeUcs4(p, n, &cps);
      break;
    case V_ASN1_T61STRING:
      // Read as UTF-8 first, as the Windows decoder does by default.
      if (DecodeUtf8(p, n, true, &cps)) break;
      cps.clear();
      [[fallthrough]];
    default:
      if (!IsCharacterString(ASN1_STRING_type(value))) return HexOfEncoding(value);
      for (size_t i = 0; i < n; ++i) cps.push_back(p[i]);  // 8-bit string types
      break;
  }
  return ToGbk(cps);
}

std::string FormatX500Name(const X509_NAME* name) {
  if (name == nullptr) return std::string();
  // One text per RDN, in encoded order; X509_NAME_ENTRY_set() numbers the
  // RDN that an attribute belongs to.
  std::vector<std::string> rdns;
  int last = -1;
  int count = X509_NAME_entry_count(name);
  for (int i = 0; i < count; ++i) {
    const X509_NAME_ENTRY* e = X509_NAME_get_entry(name, i);
    int set = X509_NAME_ENTRY_set(e);
    if (rdns.empty() || set != last) {
      rdns.emplace_back();
    } else {
      rdns.back() += " + ";
    }
    last = set;
    std::string& rdn = rdns.back();
    rdn += X500KeyWord(X509_NAME_ENTRY_get_object(e));
    rdn += '=';
    const ASN1_STRING* value = X509_NAME_ENTRY_get_data(e);
    if (IsCharacterString(ASN1_STRING_type(value))) {
      AppendValue(NameValueToGbk(value), &rdn);
    } else {
      rdn += NameValueToGbk(value);  // "#<hex>", never quoted
    }
  }

  std::string text;
  for (auto it = rdns.rbegin(); it != rdns.rend(); ++it) {
    if (!text.empty()) text += ", ";
    text += *it;
    if (text.size() >= kNameTextSize) break;  // the rest would be cut anyway
  }
  return std::string(CutGbk(text, kNameTextSize - 1));
}

std::string_view CutGbk(std::string_view text, size_t maxBytes) {
  if (text.size() <= maxBytes) return text;
  size_t i = 0;
  while (i < maxBytes) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    size_t len = (c >= 0x81 && c <= 0xFE && i + 1 < text.size()) ? 2 : 1;
    if (i + len > maxBytes) break;
    i += len;
  }
  return text.substr(0, i);
}

}  // namespace tolmix::platform
