// PFX import: files made by `openssl pkcs12 -export` (Vectors.h) with ASCII,
// Chinese, raw-byte and empty passwords, modern and legacy encryption.
#include "platform/Pfx.h"

#include <gtest/gtest.h>
#include <openssl/err.h>

#include <string>
#include <vector>

#include "Vectors.h"

namespace tolmix::platform {
namespace {

constexpr char kGbkMiMa[] = "\xC3\xDC\xC2\xEB";  // 密码 (iconv -f UTF-8 -t GBK)

class Pfx : public ::testing::Test {
 protected:
  void SetUp() override {
    if (test::VectorDir().empty()) GTEST_FAIL() << "make-vectors.sh failed";
  }

  static std::optional<Certificate> Import(const std::string& file, std::string_view password) {
    std::vector<unsigned char> image = test::ReadVector(file);
    EXPECT_FALSE(image.empty()) << file;
    return ImportPfxFirstCertificate(image.data(), image.size(), password);
  }
};

TEST_F(Pfx, OpensWithRightPasswordAndGivesFirstCertificate) {
  std::vector<unsigned char> leaf = test::ReadVector("utf8.der");
  struct Case {
    const char* file;
    const char* password;
  };
  const Case cases[] = {
      {"ascii.pfx", "abc123"},          // leaf first, then the CA certificate
      {"legacy.pfx", "abc123"},         // RC2-40 / 3DES
      {"chinese.pfx", kGbkMiMa},        // made with the UTF-8 password
      {"rawbytes.pfx", kGbkMiMa},       // made with the GBK bytes, legacy ciphers
      {"rawbytes-pbes2.pfx", kGbkMiMa}, // made with the GBK bytes, PBES2
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.file);
    std::optional<Certificate> c = Import(k.file, k.password);
    ASSERT_TRUE(c);
    EXPECT_EQ(c->Der(), leaf);
  }
  EXPECT_EQ(ERR_peek_error(), 0u) << "failed password tries left errors queued";
}

TEST_F(Pfx, EmptyPassword) {
  std::optional<Certificate> c = Import("empty.pfx", "");
  ASSERT_TRUE(c);
  EXPECT_EQ(c->Der(), test::ReadVector("plain.der"));
  EXPECT_FALSE(Import("empty.pfx", "x"));
}

TEST_F(Pfx, WrongPasswordFails) {
  EXPECT_FALSE(Import("ascii.pfx", "abc124"));
  EXPECT_FALSE(Import("ascii.pfx", ""));
  EXPECT_FALSE(Import("legacy.pfx", "ABC123"));
  EXPECT_FALSE(Import("chinese.pfx", "\xC3\xDC"));
  EXPECT_FALSE(Import("chinese.pfx", "\xC3\xDC\xC2\xEC"));
  EXPECT_FALSE(Import("rawbytes.pfx", "abc123"));
  EXPECT_EQ(ERR_peek_error(), 0u);
}

TEST_F(Pfx, WhatIsNoPfxFails) {
  std::vector<unsigned char> pfx = test::ReadVector("ascii.pfx");
  std::vector<unsigned char> der = test::ReadVector("utf8.der");
  std::vector<unsigned char> cut(pfx.begin(), pfx.begin() + pfx.size() / 2);
  EXPECT_FALSE(ImportPfxFirstCertificate(der.data(), der.size(), "abc123"));
  EXPECT_FALSE(ImportPfxFirstCertificate(cut.data(), cut.size(), "abc123"));
  EXPECT_FALSE(ImportPfxFirstCertificate(pfx.data(), 0, "abc123"));
  EXPECT_FALSE(ImportPfxFirstCertificate(nullptr, 0, "abc123"));
}

}  // namespace
}  // namespace tolmix::platform
