#include "platform/CodePage.h"

#include <gtest/gtest.h>

#include <string>

namespace tolmix::platform {
namespace {

// GBK bytes made with: printf '%s' TEXT | iconv -f UTF-8 -t GBK | xxd -p
struct GbkVector {
  const char* name;
  std::string utf8;
  std::string gbk;
};
void PrintTo(const GbkVector& v, std::ostream* os) { *os << v.name; }

class GbkVectorTest : public ::testing::TestWithParam<GbkVector> {};

INSTANTIATE_TEST_SUITE_P(
    Iconv, GbkVectorTest,
    ::testing::Values(
        GbkVector{"Empty", "", ""}, GbkVector{"Ascii", "abc 123", "abc 123"},
        GbkVector{"Chinese", "\xE4\xB8\xAD\xE6\x96\x87" /* 中文 */, "\xD6\xD0\xCE\xC4"},
        GbkVector{"Mixed",
                  "\xE6\x95\xB0\xE5\xAD\x97\xE8\xAF\x81\xE4\xB9\xA6 CA" /* 数字证书 CA */,
                  "\xCA\xFD\xD7\xD6\xD6\xA4\xCA\xE9 CA"},
        GbkVector{"MiddleDot", "\xC2\xB7" /* · */, "\xA1\xA4"},
        GbkVector{"Ling", "\xE3\x80\x87" /* 〇 */, "\xA9\x96"},
        GbkVector{"Euro", "\xE2\x82\xAC" /* € */, "\x80"}),
    [](const ::testing::TestParamInfo<GbkVector>& i) { return std::string(i.param.name); });

TEST_P(GbkVectorTest, ConvertsBothWays) {
  const GbkVector& v = GetParam();
  std::string gbk, utf8;
  ASSERT_TRUE(Utf8ToGbk(v.utf8, &gbk));
  EXPECT_EQ(gbk, v.gbk);
  ASSERT_TRUE(GbkToUtf8(v.gbk, &utf8));
  EXPECT_EQ(utf8, v.utf8);

  std::u16string wide, fromGbk;
  ASSERT_TRUE(Utf8ToUtf16(v.utf8, &wide));
  ASSERT_TRUE(GbkToUtf16(v.gbk, &fromGbk));
  EXPECT_EQ(wide, fromGbk);
  ASSERT_TRUE(Utf16ToGbk(wide, &gbk));
  EXPECT_EQ(gbk, v.gbk);
  ASSERT_TRUE(Utf16ToUtf8(wide, &utf8));
  EXPECT_EQ(utf8, v.utf8);
}

TEST(CodePageTest, Utf16IsNativeWithoutByteOrderMark) {
  std::u16string wide;
  ASSERT_TRUE(GbkToUtf16("\xD6\xD0" "a", &wide));
  EXPECT_EQ(wide, u"\u4E2Da");
  std::string utf8;
  ASSERT_TRUE(Utf16ToUtf8(u"\U0001F600", &utf8));  // a surrogate pair
  EXPECT_EQ(utf8, "\xF0\x9F\x98\x80");
}

class InvalidGbkTest : public ::testing::TestWithParam<std::string> {};

// Checked with iconv -f GBK: each is "illegal input" or "incomplete".
INSTANTIATE_TEST_SUITE_P(Iconv, InvalidGbkTest,
                         ::testing::Values(std::string("\xFF\xFF"),
                                           std::string("\x81\x30\x81\x30"),  // GB18030 only
                                           std::string("abc\xD6"),           // cut in half
                                           std::string("\xA1\x40"),
                                           std::string("\xAA\xA1")));  // user-defined area

TEST_P(InvalidGbkTest, IsRefused) {
  std::u16string wide = u"junk";
  std::string utf8 = "junk";
  EXPECT_FALSE(GbkToUtf16(GetParam(), &wide));
  EXPECT_TRUE(wide.empty());
  EXPECT_FALSE(GbkToUtf8(GetParam(), &utf8));
  EXPECT_TRUE(utf8.empty());
}

class NoGbkFormTest : public ::testing::TestWithParam<std::u16string> {};

INSTANTIATE_TEST_SUITE_P(Cases, NoGbkFormTest,
                         ::testing::Values(std::u16string(1, char16_t(0xD800)),  // lone high
                                           u"a" + std::u16string(1, char16_t(0xDC00)),
                                           u"\u4E2D" + std::u16string(1, char16_t(0xD83D)),
                                           std::u16string(u"\U0001F600"),  // emoji
                                           std::u16string(u"\u3400"),  // GB18030 only
                                           std::u16string(u"\u00FF")));

TEST_P(NoGbkFormTest, IsRefused) {
  std::string gbk = "junk";
  EXPECT_FALSE(Utf16ToGbk(GetParam(), &gbk));
  EXPECT_TRUE(gbk.empty());
}

TEST(CodePageTest, RefusesBrokenUnicode) {
  std::string s;
  std::u16string w;
  EXPECT_FALSE(Utf16ToUtf8(std::u16string(1, char16_t(0xDFFF)), &s));
  EXPECT_FALSE(Utf16ToUtf8(u"x" + std::u16string(1, char16_t(0xDBFF)), &s));
  for (const char* bad : {"\xED\xA0\x80", "\xC0\xAF", "\xF4\x90\x80\x80", "\xE4\xB8", "\xFF"}) {
    EXPECT_FALSE(Utf8ToUtf16(bad, &w)) << bad;
    EXPECT_FALSE(Utf8ToGbk(bad, &s)) << bad;
  }
  EXPECT_FALSE(Utf8ToGbk("\xF0\x9F\x98\x80", &s));  // emoji: no GBK form
  EXPECT_FALSE(Utf8ToGbk("a", nullptr));
}

}  // namespace
}  // namespace tolmix::platform
