// Texts below 0x80 skip iconv; everything else must still go through it.
// A character that needs iconv (or is refused) is put at every place of
// texts long enough to cross the blocks the ASCII check works in.
#include <gtest/gtest.h>

#include <string>

#include "platform/CodePage.h"

namespace tolmix::platform {
namespace {

TEST(CodePageAscii, OneNonAsciiCharacterAnywhereIsConverted) {
  for (size_t len = 0; len <= 40; ++len) {
    const std::u16string base(len, u'a');
    std::string gbk;
    ASSERT_TRUE(Utf16ToGbk(base, &gbk));
    EXPECT_EQ(gbk, std::string(len, 'a'));
    std::u16string back;
    ASSERT_TRUE(GbkToUtf16(gbk, &back));
    EXPECT_EQ(back, base);
    for (size_t at = 0; at < len; ++at) {
      std::u16string text = base;
      text[at] = u'\u4E2D';  // 中, GBK D6 D0
      std::string expected = std::string(at, 'a') + "\xD6\xD0" + std::string(len - at - 1, 'a');
      ASSERT_TRUE(Utf16ToGbk(text, &gbk)) << len << " " << at;
      EXPECT_EQ(gbk, expected) << len << " " << at;
      ASSERT_TRUE(GbkToUtf16(expected, &back));
      EXPECT_EQ(back, text) << len << " " << at;

      text[at] = u'\u0080';  // no GBK form
      EXPECT_FALSE(Utf16ToGbk(text, &gbk)) << len << " " << at;
      EXPECT_EQ(gbk, "");
      text[at] = char16_t(0xD800);  // lone surrogate
      EXPECT_FALSE(Utf16ToGbk(text, &gbk)) << len << " " << at;
      // A byte that starts nothing in GBK.
      std::string broken(len, 'a');
      broken[at] = '\xFF';
      EXPECT_FALSE(GbkToUtf16(broken, &back)) << len << " " << at;
    }
  }
}

TEST(CodePageAscii, NulAndControlCharactersPassAsThemselves) {
  const std::u16string text(u"a\0b\x01\x7F", 5);
  std::string gbk;
  ASSERT_TRUE(Utf16ToGbk(text, &gbk));
  EXPECT_EQ(gbk, std::string("a\0b\x01\x7F", 5));
}

}  // namespace
}  // namespace tolmix::platform
