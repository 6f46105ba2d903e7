// An argument ends at its first NUL character, whatever follows it: text
// after the NUL that has no GBK form must not refuse the argument, and a
// NUL inside converted text cuts it there.
#include <gtest/gtest.h>

#include <string>

#include "control/TextBoundary.h"
#include "platform/Bstr.h"

namespace tolmix {
namespace {

using namespace platform;

std::string Arg(std::u16string_view text, bool* ok) {
  Bstr b(SysAllocString(text));
  std::string gbk = "untouched";
  *ok = control::ArgumentToGbk(b.get(), &gbk);
  return gbk;
}

TEST(ArgumentCut, TextAfterTheFirstNulIsIgnored) {
  bool ok = false;
  EXPECT_EQ(Arg(std::u16string(u"ab\0c\U0001F600", 6), &ok), "ab");
  EXPECT_TRUE(ok);
  const char16_t lone[] = {u'\u4E2D', 0, 0xD800, u'x'};
  EXPECT_EQ(Arg(std::u16string_view(lone, 4), &ok), "\xD6\xD0");
  EXPECT_TRUE(ok);
  EXPECT_EQ(Arg(std::u16string(u"\u4E2D\0\u6587", 3), &ok), "\xD6\xD0");
  EXPECT_TRUE(ok);
  EXPECT_EQ(Arg(std::u16string(40, u'a') + std::u16string(1, u'\0') + u"b", &ok),
            std::string(40, 'a'));
  EXPECT_TRUE(ok);
  // Before the NUL it still has to convert.
  EXPECT_EQ(Arg(std::u16string(u"\U0001F600\0ab", 4), &ok), "");
  EXPECT_FALSE(ok);
  EXPECT_EQ(Arg(u"a\U0001F600", &ok), "");
  EXPECT_FALSE(ok);
}

}  // namespace
}  // namespace tolmix
