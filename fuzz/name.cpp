// The X.500 name formatter: a DER Name (mode byte even) or one attribute
// value of any string type (mode byte odd).  The text stays within the
// 1023 bytes of the callers' buffer and is never cut inside a double-byte
// character; CutGbk never cuts inside a character, whatever the bytes.
#include <openssl/asn1.h>
#include <openssl/x509.h>

#include <cstdlib>
#include <string>

#include "engine/OsslPtr.h"
#include "fuzz/FuzzSupport.h"
#include "platform/NameFormatter.h"

namespace {

// True when TEXT ends inside a double-byte GBK character.
bool EndsInLeadByte(std::string_view text) {
  size_t i = 0;
  while (i < text.size()) {
    const unsigned char b = static_cast<unsigned char>(text[i]);
    if (b >= 0x81 && b <= 0xFE) {
      if (i + 1 == text.size()) return true;
      i += 2;
    } else {
      ++i;
    }
  }
  return false;
}

// String types an attribute value can carry.
constexpr int kTypes[] = {V_ASN1_UTF8STRING,      V_ASN1_BMPSTRING,   V_ASN1_UNIVERSALSTRING,
                          V_ASN1_T61STRING,       V_ASN1_PRINTABLESTRING, V_ASN1_IA5STRING,
                          V_ASN1_NUMERICSTRING,   V_ASN1_VISIBLESTRING, V_ASN1_OCTET_STRING,
                          V_ASN1_GENERALSTRING,   V_ASN1_BIT_STRING,  V_ASN1_SEQUENCE};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tolmix::platform;
  tolmix::fuzz::Reader in(data, size);
  const uint8_t mode = in.Byte();
  const size_t cut = in.U16();
  std::string_view rest = in.Rest();
  const auto* p = reinterpret_cast<const unsigned char*>(rest.data());

  if ((mode & 1) == 0) {
    X509_NAME* name = d2i_X509_NAME(nullptr, &p, static_cast<long>(rest.size()));
    std::string text = FormatX500Name(name);
    if (text.size() >= kNameTextSize || EndsInLeadByte(text)) abort();
    X509_NAME_free(name);
  } else {
    ASN1_STRING* s = ASN1_STRING_type_new(kTypes[(mode >> 1) % std::size(kTypes)]);
    if (!s || !ASN1_STRING_set(s, rest.data(), static_cast<int>(rest.size()))) abort();
    NameValueToGbk(s);
    ASN1_STRING_free(s);
  }
  std::string_view part = CutGbk(rest, cut);
  if (part.size() > cut || part.size() > rest.size()) abort();
  // A cut text never ends inside a character (a text that fits is whole,
  // even when it ends in a lone lead byte).
  if (part.size() < rest.size() && EndsInLeadByte(part)) abort();
  return 0;
}
