// Name text in CryptoAPI's X.500 string form: key words, order, quoting,
// multi-valued RDNs, the conversion of each string type to GBK, and the
// 1023-byte cut.  Names are built through the OpenSSL API and passed through
// DER once, as a parsed certificate's names are.
#include "platform/NameFormatter.h"

#include <gtest/gtest.h>
#include <openssl/objects.h>

#include <string>

#include "Vectors.h"

namespace tolmix::platform {
namespace {

// GBK texts (iconv -f UTF-8 -t GBK).
constexpr char kGbkZhongWen[] = "\xD6\xD0\xCE\xC4";  // 中文
constexpr char kGbkEAcute[] = "\xA8\xA6";            // é

class Name {
 public:
  Name() : name_(X509_NAME_new()) {}
  ~Name() { X509_NAME_free(name_); }
  Name(const Name&) = delete;
  Name& operator=(const Name&) = delete;

  // Adds attribute FIELD (short name or dotted OID) with string type TYPE
  // and content BYTES, as a new RDN, or joined to the last RDN with PLUS.
  Name& Add(const char* field, int type, const std::string& bytes, bool plus = false) {
    EXPECT_EQ(1, X509_NAME_add_entry_by_txt(name_, field, type,
                                            reinterpret_cast<const unsigned char*>(bytes.data()),
                                            static_cast<int>(bytes.size()), -1, plus ? -1 : 0))
        << field;
    return *this;
  }
  Name& Utf8(const char* field, const std::string& value, bool plus = false) {
    return Add(field, V_ASN1_UTF8STRING, value, plus);
  }

  std::string Text() {
    name_ = test::RoundTrip(name_);
    EXPECT_NE(name_, nullptr);
    return FormatX500Name(name_);
  }

 private:
  X509_NAME* name_;
};

TEST(NameFormatter, MostSpecificFirstWithCryptoApiKeyWords) {
  Name n;
  n.Add("C", V_ASN1_PRINTABLESTRING, "CN")
      .Utf8("ST", "Beijing")
      .Utf8("L", "Haidian")
      .Utf8("O", "Org")
      .Utf8("OU", "Unit")
      .Add("emailAddress", V_ASN1_IA5STRING, "a@b.cn")
      .Utf8("street", "Main St 1")
      .Utf8("title", "Dr")
      .Utf8("GN", "Wei")
      .Utf8("initials", "W")
      .Utf8("SN", "Zhang")
      .Add("DC", V_ASN1_IA5STRING, "example")
      .Add("serialNumber", V_ASN1_PRINTABLESTRING, "110101")
      .Utf8("1.2.3.4.5", "other")
      .Utf8("CN", "Zhang Wei");
  EXPECT_EQ(n.Text(),
            "CN=Zhang Wei, OID.1.2.3.4.5=other, SERIALNUMBER=110101, DC=example, SN=Zhang, "
            "I=W, G=Wei, T=Dr, STREET=Main St 1, E=a@b.cn, OU=Unit, O=Org, L=Haidian, "
            "S=Beijing, C=CN");
}

TEST(NameFormatter, QuotesValuesWhereCryptoApiDoes) {
  struct Case {
    const char* value;
    const char* text;
  };
  const Case cases[] = {
      {"plain text", "CN=plain text"},
      {"a,b", "CN=\"a,b\""},
      {"say \"hi\"", "CN=\"say \"\"hi\"\"\""},
      {" lead", "CN=\" lead\""},
      {"trail ", "CN=\"trail \""},
      {"", "CN=\"\""},
      {"a+b", "CN=\"a+b\""},
      {"a=b", "CN=\"a=b\""},
      {"#1", "CN=\"#1\""},
      {"a;b", "CN=\"a;b\""},
      {"a<b>", "CN=\"a<b>\""},
      {"a\nb", "CN=\"a\nb\""},
      {"back\\slash", "CN=back\\slash"},
      {"it's", "CN=it's"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value);
    Name n;
    n.Utf8("CN", c.value);
    EXPECT_EQ(n.Text(), c.text);
  }
}

TEST(NameFormatter, MultiValuedRdnJoinedInEncodedOrder) {
  Name n;
  // Added OU first; DER sorts the SET, which puts CN (2.5.4.3) before OU.
  n.Add("C", V_ASN1_PRINTABLESTRING, "CN").Utf8("OU", "b,c").Utf8("CN", "a", true).Utf8("O", "o");
  EXPECT_EQ(n.Text(), "O=o, CN=a + OU=\"b,c\", C=CN");
}

TEST(NameFormatter, StringTypesComeOutAsGbk) {
  struct Case {
    const char* what;
    int type;
    std::string bytes;
    std::string text;
  };
  const Case cases[] = {
      {"UTF8String", V_ASN1_UTF8STRING, "\xE4\xB8\xAD\xE6\x96\x87", kGbkZhongWen},
      {"BMPString", V_ASN1_BMPSTRING, std::string("\x4E\x2D\x65\x87", 4), kGbkZhongWen},
      {"UniversalString", V_ASN1_UNIVERSALSTRING, std::string("\0\0\x4E\x2D\0\0\x65\x87", 8),
       kGbkZhongWen},
      {"PrintableString", V_ASN1_PRINTABLESTRING, "Abc 123", "Abc 123"},
      {"IA5String", V_ASN1_IA5STRING, "x@y.cn", "x@y.cn"},
      {"T61String, UTF-8 bytes", V_ASN1_T61STRING, "\xE4\xB8\xAD\xE6\x96\x87", kGbkZhongWen},
      {"T61String, Latin-1 bytes", V_ASN1_T61STRING, "caf\xE9", std::string("caf") + kGbkEAcute},
      // No GBK form: U+1F600.
      {"emoji", V_ASN1_UTF8STRING, "a\xF0\x9F\x98\x80z", "a?z"},
      {"NUL", V_ASN1_BMPSTRING, std::string("\0a\0\0\0z", 6), "a?z"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Name n;
    n.Add("CN", c.type, c.bytes);
    EXPECT_EQ(n.Text(), "CN=" + c.text);
  }
}

// OpenSSL 3 refuses names with malformed strings (and BMPStrings with
// surrogates) when it decodes a certificate; the values can still reach us from elsewhere (alternative
// names) and must not garble what follows them.
TEST(NameFormatter, MalformedValuesGiveOneQuestionMarkEach) {
  struct Case {
    const char* what;
    int type;
    std::string bytes;
    std::string text;
  };
  const Case cases[] = {
      // BMPString read as UTF-16: U+1F600, no GBK form.
      {"BMP surrogate pair", V_ASN1_BMPSTRING, std::string("\0a\xD8\x3D\xDE\x00\0z", 8), "a?z"},
      {"lone surrogate", V_ASN1_BMPSTRING, std::string("\xD8\x00\x4E\x2D", 4), "?\xD6\xD0"},
      {"odd BMP length", V_ASN1_BMPSTRING, std::string("\0a\0", 3), "a?"},
      {"bad UTF-8", V_ASN1_UTF8STRING, "a\xFF\xC3z", "a??z"},
      {"overlong UTF-8", V_ASN1_UTF8STRING, "\xC0\xAFz", "??z"},
      {"UCS-4 out of range", V_ASN1_UNIVERSALSTRING, std::string("\0\x11\0\0\0\0\0z", 8), "?z"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ASN1_STRING* s = ASN1_STRING_type_new(c.type);
    ASSERT_EQ(1, ASN1_STRING_set(s, c.bytes.data(), static_cast<int>(c.bytes.size())));
    EXPECT_EQ(NameValueToGbk(s), c.text);
    ASN1_STRING_free(s);
  }
}

TEST(NameFormatter, NonStringValueAsHexOfItsEncoding) {
  Name n;
  n.Add("1.2.3.4", V_ASN1_SEQUENCE, "\x30\x03\x02\x01\x05").Utf8("CN", "x");
  EXPECT_EQ(n.Text(), "CN=x, OID.1.2.3.4=#3003020105");
}

TEST(NameFormatter, CutTo1023BytesOnCharacterBoundary) {
  Name ascii;
  for (int i = 0; i < 40; ++i) ascii.Utf8("OU", "unit-" + std::string(40, 'a' + i % 26));
  std::string text = ascii.Text();
  EXPECT_EQ(text.size(), kNameTextSize - 1);
  EXPECT_EQ(text.substr(0, 54), "OU=unit-" + std::string(40, 'a' + 39 % 26) + ", OU=u");

  std::string zhong;  // 600 x 中 in UTF-8
  for (int i = 0; i < 600; ++i) zhong += "\xE4\xB8\xAD";
  Name wide;
  wide.Utf8("CN", "x" + zhong);  // "CN=x" then 2-byte characters
  text = wide.Text();
  EXPECT_EQ(text.size(), 1022u);  // byte 1023 would split a character
  EXPECT_EQ(text.substr(text.size() - 2), "\xD6\xD0");

  EXPECT_EQ(CutGbk("ab\xD6\xD0", 3), "ab");
  EXPECT_EQ(CutGbk("ab\xD6\xD0", 4), "ab\xD6\xD0");
  EXPECT_EQ(CutGbk("abc", 2), "ab");
}

TEST(NameFormatter, EmptyOrNullName) {
  Name n;
  EXPECT_EQ(n.Text(), "");
  EXPECT_EQ(FormatX500Name(nullptr), "");
}

}  // namespace
}  // namespace tolmix::platform
