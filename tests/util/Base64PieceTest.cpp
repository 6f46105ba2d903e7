// The decoder against the rule it keeps: the text without CR, LF and ">",
// cut into 64-character pieces, each given to a fresh EVP_DecodeInit /
// EVP_DecodeUpdate, never finished.  Texts are drawn from the characters
// that matter to that rule (alphabet, padding, "-", blanks, line ends,
// characters OpenSSL refuses), so that every branch of a piece is met.
#include <gtest/gtest.h>

#include <openssl/evp.h>

#include <random>
#include <string>
#include <vector>

#include "util/Base64.h"

namespace tolmix {
namespace {

struct Decoded {
  int result = 0;
  std::vector<unsigned char> bytes;
  bool operator==(const Decoded& o) const { return result == o.result && bytes == o.bytes; }
};

Decoded WithOpenSsl(const std::string& text) {
  Decoded d;
  if (text.empty()) {
    d.result = -1;
    return d;
  }
  std::string clean;
  for (char c : text) {
    if (c != '\r' && c != '\n' && c != '>') clean += c;
  }
  EVP_ENCODE_CTX* ctx = EVP_ENCODE_CTX_new();
  std::vector<unsigned char> out(clean.size() + 64);
  size_t total = 0;
  for (size_t pos = 0; pos < clean.size(); pos += 64) {
    size_t n = std::min<size_t>(64, clean.size() - pos);
    int outl = 0;
    EVP_DecodeInit(ctx);
    if (EVP_DecodeUpdate(ctx, out.data() + total, &outl,
                         reinterpret_cast<const unsigned char*>(clean.data() + pos),
                         static_cast<int>(n)) == -1) {
      EVP_ENCODE_CTX_free(ctx);
      d.result = -1;
      return d;
    }
    total += static_cast<size_t>(outl);
  }
  EVP_ENCODE_CTX_free(ctx);
  d.bytes.assign(out.begin(), out.begin() + static_cast<long>(total));
  return d;
}

Decoded Ours(const std::string& text) {
  Decoded d;
  std::vector<unsigned char> out(text.size() + 1);
  unsigned len = 0;
  d.result = Base64Decode(out.data(), text.c_str(), &len);
  if (d.result == 0) d.bytes.assign(out.begin(), out.begin() + len);
  // The size query agrees with the decoding.
  unsigned measured = 0;
  EXPECT_EQ(Base64Decode(nullptr, text.c_str(), &measured), d.result) << text;
  if (d.result == 0) {
    EXPECT_EQ(measured, len) << text;
  }
  return d;
}

TEST(Base64DecodePieces, EveryCharacterInEveryPlaceOfAGroup) {
  // Two pieces: 64 alphabet characters, then 60 and a padded group.
  const std::string clean = std::string(124, 'Q') + "QQ==";
  ASSERT_EQ(Ours(clean).bytes.size(), 94u);
  for (int c = 1; c < 256; ++c) {
    for (size_t at : {0, 1, 2, 3, 61, 63, 64, 66, 125, 126, 127}) {
      std::string text = clean;
      text[at] = static_cast<char>(c);
      ASSERT_EQ(Ours(text), WithOpenSsl(text)) << "character " << c << " at " << at;
    }
  }
}

TEST(Base64DecodePieces, RandomTextsOfTheCharactersThatMatter) {
  const std::string alphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  const std::string specials = "==-  \t\r\n>*\x0b\x0c\x80\xff";
  std::mt19937 rng(20240601);
  for (int round = 0; round < 20000; ++round) {
    size_t len = 1 + rng() % 300;
    // Mostly alphabet, with a varying share of the other characters.
    unsigned share = 1 + rng() % 40;
    std::string text;
    for (size_t i = 0; i < len; ++i) {
      text += rng() % share == 0 ? specials[rng() % specials.size()]
                                 : alphabet[rng() % alphabet.size()];
    }
    ASSERT_EQ(Ours(text), WithOpenSsl(text)) << text;
  }
}

TEST(Base64DecodePieces, LongCleanTextsAndPemLines) {
  std::mt19937 rng(7);
  for (size_t n : {47u, 48u, 49u, 1000u, 4095u, 65536u}) {
    std::vector<unsigned char> data(n);
    for (auto& b : data) b = static_cast<unsigned char>(rng());
    std::string text(static_cast<size_t>(Base64EncodedLength(static_cast<int>(n))) + 1, '\0');
    text.resize(static_cast<size_t>(Base64Encode(text.data(), data.data(), static_cast<int>(n))));
    Decoded one = Ours(text);
    ASSERT_EQ(one.result, 0);
    EXPECT_EQ(one.bytes, data);
    std::string pem;
    for (size_t i = 0; i < text.size(); i += 64) pem += text.substr(i, 64) + "\r\n";
    EXPECT_EQ(Ours(pem), one);
    EXPECT_EQ(Ours(pem), WithOpenSsl(pem));
  }
}

}  // namespace
}  // namespace tolmix
