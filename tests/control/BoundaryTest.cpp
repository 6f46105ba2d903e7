#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "control/TextBoundary.h"
#include "tests/control/ControlTestUtil.h"
#include "util/FixedText.h"

namespace tolmix {
namespace {

using namespace platform;

// "密码错误" in GBK and in UTF-16.
constexpr char kGbkMessage[] = "\xC3\xDC\xC2\xEB\xB4\xED\xCE\xF3";
constexpr char16_t kUtf16Message[] = u"\u5BC6\u7801\u9519\u8BEF";

std::u16string LastErrorOf(CTOLMIXCtrl& c, int32_t errorid) {
  Variant r;
  EXPECT_EQ(CallMember(c, 17, {Variant::I4(errorid)}, &r), S_OK);
  EXPECT_EQ(r.vt, VT_BSTR);
  return std::u16string(BstrView(r.bstrVal));
}

TEST(GetLastErrorInfo, OnlyZeroReadsTheRecordedText) {
  CtrlPtr c = NewControl();
  EXPECT_EQ(LastErrorOf(*c, 0), u"");
  CopyBounded(CTOLMIXCtrlTestPeer::LastError(*c), 512, kGbkMessage);
  EXPECT_EQ(LastErrorOf(*c, 0), kUtf16Message);
  EXPECT_EQ(LastErrorOf(*c, 1), u"");
  EXPECT_EQ(LastErrorOf(*c, -1), u"");
  // Reading never changes the text.
  EXPECT_EQ(LastErrorOf(*c, 0), kUtf16Message);
  // Also reached with a text argument, as scripts often pass one.
  Variant r;
  ASSERT_EQ(CallMember(*c, 17, {Text(u"0")}, &r), S_OK);
  EXPECT_EQ(BstrView(r.bstrVal), kUtf16Message);
}

TEST(TextBoundary, ArgumentsBecomeGbkAndEndAtTheFirstNul) {
  std::string gbk;
  Bstr chinese(SysAllocString(u"\u4E2D\u6587abc"));  // 中文abc
  ASSERT_TRUE(control::ArgumentToGbk(chinese.get(), &gbk));
  EXPECT_EQ(gbk, "\xD6\xD0\xCE\xC4" "abc");

  const char16_t withNul[] = u"ab\0cd";
  Bstr cut(SysAllocStringLen(withNul, 5));
  ASSERT_TRUE(control::ArgumentToGbk(cut.get(), &gbk));
  EXPECT_EQ(gbk, "ab");

  ASSERT_TRUE(control::ArgumentToGbk(nullptr, &gbk));
  EXPECT_EQ(gbk, "");

  Bstr emoji(SysAllocString(u"a\U0001F600"));
  EXPECT_FALSE(control::ArgumentToGbk(emoji.get(), &gbk));
  const char16_t lone[] = {u'a', 0xD800, u'b', 0};
  Bstr surrogate(SysAllocString(lone));
  EXPECT_FALSE(control::ArgumentToGbk(surrogate.get(), &gbk));
}

TEST(TextBoundary, BrokenGbkResultsShowReplacementCharacters) {
  EXPECT_EQ(control::ResultToUtf16(kGbkMessage), kUtf16Message);
  // 0x80 and 0xFF start nothing; a lead byte at the end has no trail.
  EXPECT_EQ(control::ResultToUtf16("a\x80" "b\xC3\xDC" "c\xFF"), u"a\uFFFDb\u5BC6c\uFFFD");
  EXPECT_EQ(control::ResultToUtf16("ok\xC3"), u"ok\uFFFD");
}

TEST(TextBoundary, TextThatIsNotGbkIsRefused) {
  CtrlPtr c = NewControl();
  Variant r = Variant::Bool(true);
  ASSERT_EQ(CallMember(*c, 9, {Text(u"\U0001F600")}, &r), S_OK);  // Sign
  EXPECT_EQ(r.vt, VT_BOOL);
  EXPECT_EQ(r.boolVal, VARIANT_FALSE);
  EXPECT_STREQ(CTOLMIXCtrlTestPeer::LastError(*c), control::kMsgArgumentNotGbk);

  // A string result fails as "".
  ASSERT_EQ(CallMember(*c, 29, {Text(u"\U0001F600")}, &r), S_OK);  // GetSubjectEx
  EXPECT_EQ(r.vt, VT_BSTR);
  EXPECT_EQ(SysStringLen(r.bstrVal), 0u);

  // Members that never record an error just fail.
  CopyBounded(CTOLMIXCtrlTestPeer::LastError(*c), 512, "earlier");
  ASSERT_EQ(CallMember(*c, 8, {Text(u"\U0001F600"), Text(u"pw")}, &r), S_OK);  // Initialize
  EXPECT_EQ(r.boolVal, VARIANT_FALSE);
  ASSERT_EQ(CallMember(*c, 16, {Text(u"\U0001F600"), Variant::I2(1)}, &r), S_OK);  // Digest
  EXPECT_EQ(r.boolVal, VARIANT_FALSE);
  EXPECT_STREQ(CTOLMIXCtrlTestPeer::LastError(*c), "earlier");
}

TEST(TextBoundary, FieldArgumentsAreLimitedTo255GbkBytes) {
  CtrlPtr c = NewControl();
  char* lastError = CTOLMIXCtrlTestPeer::LastError(*c);
  auto setPasswd = [&](std::u16string selector) {
    Variant r;
    EXPECT_EQ(CallMember(*c, 32, {Text(selector), Text(u"pw"), Variant::I4(0)}, &r), S_OK);
    return r.boolVal;
  };

  // A selector that fits reaches SetPasswd, which then refuses it as an
  // unsupported interface: any message but the boundary's own.
  setPasswd(std::u16string(255, u'a'));
  EXPECT_STRNE(lastError, control::kMsgArgumentTooLong) << "255 bytes fit the field";
  // Text after a NUL does not count.
  setPasswd(std::u16string(255, u'a') + u'\0' + std::u16string(50, u'b'));
  EXPECT_STRNE(lastError, control::kMsgArgumentTooLong);
  // 127 Chinese characters and one letter are 255 GBK bytes.
  setPasswd(std::u16string(127, u'\u4E2D') + u'a');
  EXPECT_STRNE(lastError, control::kMsgArgumentTooLong);

  EXPECT_EQ(setPasswd(std::u16string(256, u'a')), VARIANT_FALSE);
  EXPECT_STREQ(lastError, control::kMsgArgumentTooLong);
  lastError[0] = '\0';
  EXPECT_EQ(setPasswd(std::u16string(128, u'\u4E2D')), VARIANT_FALSE);  // 256 bytes
  EXPECT_STREQ(lastError, control::kMsgArgumentTooLong);

  // The password is limited too; other members' text is not.
  lastError[0] = '\0';
  Variant r;
  ASSERT_EQ(CallMember(*c, 32, {Text(u"P11"), Text(std::u16string(300, u'p')), Variant::I4(1)},
                       &r),
            S_OK);
  EXPECT_STREQ(lastError, control::kMsgArgumentTooLong);
  lastError[0] = '\0';
  ASSERT_EQ(CallMember(*c, 9, {Text(std::u16string(5000, u'c'))}, &r), S_OK);
  EXPECT_STRNE(lastError, control::kMsgArgumentTooLong);
}

TEST(TextBoundary, EnginePasswordFieldHolds31Bytes) {
  EXPECT_TRUE(control::PasswordFitsEngine(std::string(31, 'p')));
  EXPECT_FALSE(control::PasswordFitsEngine(std::string(32, 'p')));
  EXPECT_TRUE(control::PasswordFitsEngine(std::string(31, 'p') + '\0' + "tail"));
}

}  // namespace
}  // namespace tolmix
