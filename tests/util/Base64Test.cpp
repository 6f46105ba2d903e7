#include "util/Base64.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <string>
#include <vector>

namespace tolmix {
namespace {

std::vector<unsigned char> Bytes(const std::string& s) { return {s.begin(), s.end()}; }

std::vector<unsigned char> RandomBytes(size_t n) {
  std::vector<unsigned char> b(n);
  if (n) {
    EXPECT_EQ(RAND_bytes(b.data(), static_cast<int>(n)), 1);
  }
  return b;
}

std::string Encode(const std::vector<unsigned char>& in) {
  std::string out(Base64EncodedLength(static_cast<int>(in.size())) + 1, '#');
  int n = Base64Encode(out.data(), in.data(), static_cast<int>(in.size()));
  EXPECT_EQ(out[n], '\0');
  out.resize(n);
  return out;
}

// Decodes TEXT; returns false when Base64Decode reports -1.
bool Decode(const std::string& text, std::vector<unsigned char>* out) {
  out->assign(text.size() + 1, 0xEE);
  unsigned int len = 0;
  if (Base64Decode(out->data(), text.c_str(), &len) != 0) return false;
  out->resize(len);
  return true;
}

std::string OpenSslEncode(const std::vector<unsigned char>& in) {
  std::string out(4 * ((in.size() + 2) / 3) + 1, '\0');
  int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), in.data(),
                          static_cast<int>(in.size()));
  out.resize(n);
  return out;
}

struct Vector {
  std::string bytes;
  std::string text;
};
void PrintTo(const Vector& v, std::ostream* os) { *os << '"' << v.text << '"'; }

class Base64VectorTest : public ::testing::TestWithParam<Vector> {};

// RFC 4648 section 10, plus a binary vector made with `openssl base64`.
INSTANTIATE_TEST_SUITE_P(Rfc4648, Base64VectorTest,
                         ::testing::Values(Vector{"", ""}, Vector{"f", "Zg=="},
                                           Vector{"fo", "Zm8="}, Vector{"foo", "Zm9v"},
                                           Vector{"foob", "Zm9vYg=="},
                                           Vector{"fooba", "Zm9vYmE="},
                                           Vector{"foobar", "Zm9vYmFy"},
                                           Vector{std::string("\xff\xfe\xfd\x00\x01", 5),
                                                  "//79AAE="}));

TEST_P(Base64VectorTest, EncodesAndDecodes) {
  const Vector& v = GetParam();
  EXPECT_EQ(Encode(Bytes(v.bytes)), v.text);
  std::vector<unsigned char> back;
  if (v.text.empty()) {
    EXPECT_FALSE(Decode(v.text, &back));  // an empty text is refused
  } else {
    ASSERT_TRUE(Decode(v.text, &back));
    EXPECT_EQ(back, Bytes(v.bytes));
  }
}

TEST(Base64EncodeTest, MatchesOpenSslOnOneLine) {
  std::string hundred = Encode(RandomBytes(100));
  EXPECT_EQ(hundred.size(), 136u);
  EXPECT_EQ(hundred.find('\n'), std::string::npos);
  for (size_t n = 0; n < 300; ++n) {
    std::vector<unsigned char> data = RandomBytes(n);
    std::string text = Encode(data);
    ASSERT_EQ(text, OpenSslEncode(data)) << n;
    std::vector<unsigned char> back;
    if (n) {
      ASSERT_TRUE(Decode(text, &back)) << n;
      ASSERT_EQ(back, data) << n;
    }
  }
}

TEST(Base64EncodeTest, RefusesBadLengths) {
  char out[8] = "keep";
  unsigned char in[3] = {1, 2, 3};
  EXPECT_EQ(Base64Encode(out, in, -1), 0);
  EXPECT_STREQ(out, "");
  EXPECT_EQ(Base64Encode(out, nullptr, 3), 0);
  EXPECT_EQ(Base64Encode(nullptr, in, 3), 0);
  EXPECT_EQ(Base64EncodedLength(-1), 0);
  EXPECT_EQ(Base64EncodedLength(kBase64MaxEncodeInput), kBase64MaxEncodeInput / 3 * 4);
  EXPECT_EQ(Base64EncodedLength(kBase64MaxEncodeInput + 1), 0);
}

TEST(Base64DecodeTest, IgnoresLineStructure) {
  std::vector<unsigned char> data = RandomBytes(300);
  std::string flat = Encode(data);
  std::string pem, quoted;
  for (size_t i = 0; i < flat.size(); i += 64) {
    pem += flat.substr(i, 64) + "\r\n";
    quoted += "> " + flat.substr(i, 64) + "\n";
  }
  std::vector<unsigned char> a, b;
  ASSERT_TRUE(Decode(pem, &a));
  EXPECT_EQ(a, data);
  // "> " leaves a blank in every piece: accepted by OpenSSL, but the pieces
  // are no longer aligned, so only the decoding succeeds.
  EXPECT_TRUE(Decode(quoted, &b));
}

TEST(Base64DecodeTest, BlankMisalignsLaterPieces) {
  std::vector<unsigned char> data = RandomBytes(144);  // 192 characters: 3 pieces
  std::string text = Encode(data);
  text.insert(10, " ");
  std::vector<unsigned char> out;
  ASSERT_TRUE(Decode(text, &out));
  // Piece 1 holds 63 Base64 characters and yields nothing; pieces 2 and 3 are
  // decoded one character off; the last single character is dropped.
  ASSERT_EQ(out.size(), 96u);
  EXPECT_NE(std::vector<unsigned char>(data.begin() + 48, data.end()), out);
  EXPECT_NE(std::vector<unsigned char>(data.begin(), data.begin() + 96), out);
}

TEST(Base64DecodeTest, PieceWithIncompleteGroupYieldsNothing) {
  // OpenSSL keeps back a piece whose Base64 characters are not a multiple of
  // 4, and nothing ever asks for it: the whole piece is lost, not only its
  // last group.
  std::vector<unsigned char> out;
  ASSERT_TRUE(Decode("Zm9vYmFyZ", &out));
  EXPECT_TRUE(out.empty());
  std::string twoPieces = Encode(Bytes(std::string(48, 'q'))) + "Zm9vY";
  ASSERT_TRUE(Decode(twoPieces, &out));
  EXPECT_EQ(out, Bytes(std::string(48, 'q')));
}

TEST(Base64DecodeTest, RejectsBadInput) {
  unsigned int len = 77;
  unsigned char out[64];
  EXPECT_EQ(Base64Decode(out, "Zm9v*mFy", &len), -1);
  std::string late = std::string(64, 'A') + "Zm9v*mFy";  // bad character in piece 2
  EXPECT_EQ(Base64Decode(nullptr, late.c_str(), &len), -1);
  EXPECT_EQ(Base64Decode(out, "", &len), -1);
  EXPECT_EQ(Base64Decode(out, nullptr, &len), -1);
  EXPECT_EQ(Base64Decode(out, "Zm9v", nullptr), -1);
  EXPECT_EQ(len, 77u);
}

TEST(Base64DecodeTest, NullOutputOnlyMeasures) {
  unsigned int len = 0;
  EXPECT_EQ(Base64Decode(nullptr, "Zm9vYmFy\r\n", &len), 0);
  EXPECT_EQ(len, 6u);
}

}  // namespace
}  // namespace tolmix
