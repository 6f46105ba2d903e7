// X.500 name text in CryptoAPI's string form: the stand-in for
// CertNameToStrA(X509_ASN_ENCODING, name,
// CERT_X500_NAME_STR | CERT_NAME_STR_REVERSE_FLAG, buf, 1024).
//
// The text is GBK.  Layout, as the callers' item lookups rely on it:
//   - relative distinguished names (RDNs) last-encoded first (most specific
//     element first), separated by ", ";
//   - the attributes of a multi-valued RDN in their encoded order, joined
//     by " + ";
//   - each attribute as KEY=VALUE, KEY from X500KeyWord();
//   - a character-string VALUE quoted with double quotes when it is empty,
//     starts or ends with white space (space, tab, CR, LF, VT, FF), or
//     holds any of
//     , + = " \n < > # ;  -- an inner double quote is then doubled; a
//     value that is no character string is written "#<hex>", unquoted;
//   - the whole text cut to 1023 bytes (kNameTextSize less the NUL), never
//     inside a double-byte character.
#pragma once

#include <openssl/asn1.h>
#include <openssl/x509.h>

#include <cstddef>
#include <string>
#include <string_view>

namespace tolmix::platform {

// Size of the callers' name buffer, NUL included.
inline constexpr size_t kNameTextSize = 1024;

// The key word of attribute type OBJ: "CN", "OU", "O", "L", "S", "C", "E",
// "STREET", "T", "G", "I", "SN" (surname), "DC", "SERIALNUMBER",
// "Description", "PostalCode", "POBox", "Phone", "X21Address",
// "dnQualifier"; "OID.<dotted>" for every other type.
std::string X500KeyWord(const ASN1_OBJECT* obj);

// The value of one attribute as GBK text, unquoted.
//   UTF8String: UTF-8; BMPString: UTF-16 big-endian; UniversalString:
//   UCS-4 big-endian; TeletexString (T61): UTF-8 when the bytes are valid
//   UTF-8, else one character per byte (Latin-1); PrintableString,
//   IA5String, NumericString, VisibleString and the other 8-bit string
//   types: one character per byte (Latin-1).
//   A character that has no GBK form, a malformed sequence and U+0000 each
//   come out as one "?" -- the default character that the Windows code-page
//   conversion substitutes.  Nothing else of the value is lost.
//   A value that is no character string (an OCTET STRING, a SEQUENCE...)
//   comes out as "#" followed by the upper-case hex of its DER encoding.
std::string NameValueToGbk(const ASN1_STRING* value);

// The whole name as described at the top of this file.  A null NAME gives
// the empty text.
std::string FormatX500Name(const X509_NAME* name);

// The longest prefix of the GBK text TEXT that is at most MAX_BYTES bytes
// and does not end in the first byte of a double-byte character.
std::string_view CutGbk(std::string_view text, size_t maxBytes);

}  // namespace tolmix::platform
