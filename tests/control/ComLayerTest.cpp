#include <gtest/gtest.h>

#include <limits>

#include "platform/Com.h"

namespace tolmix::platform {
namespace {

struct Conversion {
  Variant from;
  VARTYPE to;
  uint16_t flags;
  HRESULT hr;
  Variant want;  // checked when hr is S_OK
};

TEST(VariantChangeType, FollowsAutomationRules) {
  const Conversion cases[] = {
      {Variant::Text(u"12"), VT_I4, 0, S_OK, Variant::I4(12)},
      {Variant::Text(u" -7 "), VT_I2, 0, S_OK, Variant::I2(-7)},
      {Variant::Text(u"+2147483647"), VT_I4, 0, S_OK, Variant::I4(2147483647)},
      {Variant::Text(u"-2147483648"), VT_I4, 0, S_OK, Variant::I4(-2147483647 - 1)},
      {Variant::Text(u"2147483648"), VT_I4, 0, DISP_E_OVERFLOW, {}},
      {Variant::Text(u"99999999999999999999"), VT_I4, 0, DISP_E_OVERFLOW, {}},
      {Variant::Text(u"32768"), VT_I2, 0, DISP_E_OVERFLOW, {}},
      {Variant::Text(u"-32768"), VT_I2, 0, S_OK, Variant::I2(-32768)},
      {Variant::Text(u"abc"), VT_I4, 0, DISP_E_TYPEMISMATCH, {}},
      {Variant::Text(u""), VT_I4, 0, DISP_E_TYPEMISMATCH, {}},
      {Variant::NullText(), VT_I2, 0, DISP_E_TYPEMISMATCH, {}},
      {Variant::Text(u"1 2"), VT_I4, 0, DISP_E_TYPEMISMATCH, {}},
      // Numbers as Automation reads and rounds them: half to even, then
      // the target's range.
      {Variant::Text(u"1.5"), VT_I4, 0, S_OK, Variant::I4(2)},
      {Variant::Text(u"2.5"), VT_I2, 0, S_OK, Variant::I2(2)},
      {Variant::Text(u" -2.5 "), VT_I4, 0, S_OK, Variant::I4(-2)},
      {Variant::Text(u"2.7"), VT_I2, 0, S_OK, Variant::I2(3)},
      {Variant::Text(u"1,000"), VT_I4, 0, S_OK, Variant::I4(1000)},
      {Variant::Text(u",1"), VT_I4, 0, DISP_E_TYPEMISMATCH, {}},
      {Variant::Text(u"1e3"), VT_I4, 0, S_OK, Variant::I4(1000)},
      {Variant::Text(u"25E-1"), VT_I4, 0, S_OK, Variant::I4(2)},
      {Variant::Text(u"1e"), VT_I4, 0, DISP_E_TYPEMISMATCH, {}},
      {Variant::Text(u"(3)"), VT_I4, 0, S_OK, Variant::I4(-3)},
      {Variant::Text(u"3-"), VT_I4, 0, S_OK, Variant::I4(-3)},
      {Variant::Text(u"&H10"), VT_I4, 0, S_OK, Variant::I4(16)},
      {Variant::Text(u"&o17"), VT_I4, 0, S_OK, Variant::I4(15)},
      {Variant::Text(u"&HFFFF"), VT_I2, 0, S_OK, Variant::I2(-1)},
      {Variant::Text(u"&HFFFF"), VT_I4, 0, S_OK, Variant::I4(65535)},
      {Variant::Text(u"&HFFFFFFFF"), VT_I4, 0, S_OK, Variant::I4(-1)},
      {Variant::Text(u"&H100000000"), VT_I4, 0, DISP_E_OVERFLOW, {}},
      {Variant::Text(u"&H"), VT_I4, 0, DISP_E_TYPEMISMATCH, {}},
      {Variant::Text(u"1e400"), VT_I4, 0, DISP_E_OVERFLOW, {}},
      {Variant::Text(u"1e-400"), VT_I4, 0, S_OK, Variant::I4(0)},
      {Variant::Text(u"."), VT_I4, 0, DISP_E_TYPEMISMATCH, {}},
      {Variant::R8(1.5), VT_I4, 0, S_OK, Variant::I4(2)},
      {Variant::R8(2.5), VT_I4, 0, S_OK, Variant::I4(2)},
      {Variant::R8(-0.5), VT_I4, 0, S_OK, Variant::I4(0)},
      {Variant::R8(-1.5), VT_I2, 0, S_OK, Variant::I2(-2)},
      {Variant::R8(0.4999999), VT_I4, 0, S_OK, Variant::I4(0)},
      {Variant::R8(32767.5), VT_I2, 0, DISP_E_OVERFLOW, {}},
      {Variant::R8(-32768.5), VT_I2, 0, S_OK, Variant::I2(-32768)},
      {Variant::R8(2147483647.5), VT_I4, 0, DISP_E_OVERFLOW, {}},
      {Variant::R8(1e10), VT_I4, 0, DISP_E_OVERFLOW, {}},
      {Variant::R8(std::numeric_limits<double>::quiet_NaN()), VT_I4, 0, DISP_E_OVERFLOW, {}},
      {Variant::R8(-std::numeric_limits<double>::infinity()), VT_I2, 0, DISP_E_OVERFLOW, {}},
      {Variant::R8(0.0), VT_BOOL, 0, S_OK, Variant::Bool(false)},
      {Variant::R8(0.25), VT_BOOL, 0, S_OK, Variant::Bool(true)},
      {Variant::Text(u"2.5"), VT_R8, 0, S_OK, Variant::R8(2.5)},
      {Variant::I4(7), VT_R8, 0, S_OK, Variant::R8(7)},
      // Doubles as Automation writes them: 15 significant digits.
      {Variant::R8(1.5), VT_BSTR, 0, S_OK, Variant::Text(u"1.5")},
      {Variant::R8(-2.5), VT_BSTR, 0, S_OK, Variant::Text(u"-2.5")},
      {Variant::R8(0.1), VT_BSTR, 0, S_OK, Variant::Text(u"0.1")},
      {Variant::R8(1.0 / 3), VT_BSTR, 0, S_OK, Variant::Text(u"0.333333333333333")},
      {Variant::R8(1e10), VT_BSTR, 0, S_OK, Variant::Text(u"10000000000")},
      {Variant::R8(1e15), VT_BSTR, 0, S_OK, Variant::Text(u"1E+15")},
      {Variant::R8(1e20), VT_BSTR, 0, S_OK, Variant::Text(u"1E+20")},
      {Variant::R8(1e-7), VT_BSTR, 0, S_OK, Variant::Text(u"1E-07")},
      {Variant::R8(123456789.123), VT_BSTR, 0, S_OK, Variant::Text(u"123456789.123")},
      {Variant::R8(2147483648.0), VT_BSTR, 0, S_OK, Variant::Text(u"2147483648")},
      // Null converts to nothing but Empty.
      {Variant::Null(), VT_I4, 0, DISP_E_TYPEMISMATCH, {}},
      {Variant::Null(), VT_BSTR, 0, DISP_E_TYPEMISMATCH, {}},
      {Variant::Null(), VT_BOOL, 0, DISP_E_TYPEMISMATCH, {}},
      {Variant::Null(), VT_EMPTY, 0, S_OK, Variant()},
      {Variant::Text(u"-"), VT_I4, 0, DISP_E_TYPEMISMATCH, {}},
      {Variant::I4(70000), VT_I2, 0, DISP_E_OVERFLOW, {}},
      {Variant::I4(-3), VT_I2, 0, S_OK, Variant::I2(-3)},
      {Variant::Bool(true), VT_I4, 0, S_OK, Variant::I4(-1)},
      {Variant::Bool(false), VT_I2, 0, S_OK, Variant::I2(0)},
      {Variant(), VT_I4, 0, S_OK, Variant::I4(0)},
      {Variant(), VT_BSTR, 0, S_OK, Variant::Text(u"")},
      {Variant::I4(-5), VT_BSTR, 0, S_OK, Variant::Text(u"-5")},
      {Variant::I2(300), VT_BSTR, 0, S_OK, Variant::Text(u"300")},
      {Variant::Bool(true), VT_BSTR, 0, S_OK, Variant::Text(u"-1")},
      {Variant::Bool(false), VT_BSTR, VARIANT_ALPHABOOL, S_OK, Variant::Text(u"False")},
      {Variant::Bool(true), VT_BSTR, VARIANT_ALPHABOOL, S_OK, Variant::Text(u"True")},
      {Variant::Text(u"tRUE"), VT_BOOL, 0, S_OK, Variant::Bool(true)},
      {Variant::Text(u"0"), VT_BOOL, 0, S_OK, Variant::Bool(false)},
      {Variant::Text(u"yes"), VT_BOOL, 0, DISP_E_TYPEMISMATCH, {}},
      {Variant::I4(2), VT_BOOL, 0, S_OK, Variant::Bool(true)},
      {Variant::Text(u"x"), VT_EMPTY, 0, S_OK, Variant()},
      {Variant::I4(1), 9 /* VT_DISPATCH */, 0, DISP_E_BADVARTYPE, {}},
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    const Conversion& c = cases[i];
    SCOPED_TRACE(i);
    Variant out = Variant::Text(u"untouched");
    ASSERT_EQ(VariantChangeType(&out, &c.from, c.flags, c.to), c.hr);
    if (c.hr != S_OK) {
      EXPECT_EQ(BstrView(out.bstrVal), u"untouched");
      continue;
    }
    ASSERT_EQ(out.vt, c.want.vt);
    switch (out.vt) {
      case VT_I2: EXPECT_EQ(out.iVal, c.want.iVal); break;
      case VT_I4: EXPECT_EQ(out.lVal, c.want.lVal); break;
      case VT_R8: EXPECT_EQ(out.dblVal, c.want.dblVal); break;
      case VT_BOOL: EXPECT_EQ(out.boolVal, c.want.boolVal); break;
      case VT_BSTR:
        ASSERT_NE(out.bstrVal, nullptr);  // Automation gives an allocated ""
        EXPECT_EQ(BstrView(out.bstrVal), BstrView(c.want.bstrVal));
        break;
    }
  }
}

TEST(VariantChangeType, ConvertsInPlace) {
  Variant v = Variant::Text(u"42");
  ASSERT_EQ(VariantChangeType(&v, &v, 0, VT_I4), S_OK);
  EXPECT_EQ(v.vt, VT_I4);
  EXPECT_EQ(v.lVal, 42);
  ASSERT_EQ(VariantChangeType(&v, &v, 0, VT_BSTR), S_OK);
  EXPECT_EQ(BstrView(v.bstrVal), u"42");
}

TEST(Bstr, HoldsItsLengthAndInnerNuls) {
  const char16_t raw[] = u"a\0b";
  Bstr s(SysAllocStringLen(raw, 3));
  EXPECT_EQ(SysStringLen(s.get()), 3u);
  EXPECT_EQ(s.view(), std::u16string_view(raw, 3));
  EXPECT_EQ(s.get()[3], u'\0');
  EXPECT_EQ(SysStringLen(nullptr), 0u);
  EXPECT_EQ(SysAllocString(static_cast<const OLECHAR*>(nullptr)), nullptr);

  Variant a = Variant::Text(u"copy me");
  Variant b = a;
  EXPECT_NE(a.bstrVal, b.bstrVal);
  EXPECT_EQ(BstrView(b.bstrVal), u"copy me");
  Variant c = std::move(a);
  EXPECT_EQ(a.vt, VT_EMPTY);
  EXPECT_EQ(BstrView(c.bstrVal), u"copy me");
}

TEST(Guid, TextFormRoundTrips) {
  EXPECT_EQ(GuidToString(IID_IDispatch), "{00020400-0000-0000-C000-000000000046}");
  auto g = GuidFromString("{8a436bfa-a8d7-4341-bffa-d55c5c80621d}");
  ASSERT_TRUE(g.has_value());
  EXPECT_EQ(GuidToString(*g), "{8A436BFA-A8D7-4341-BFFA-D55C5C80621D}");
  EXPECT_EQ(GuidFromString("00020400-0000-0000-C000-000000000046"), IID_IDispatch);
  for (const char* bad : {"", "{00020400-0000-0000-C000-000000000046", "00020400-0000-0000-C000-00000000004G",
                          "00020400+0000-0000-C000-000000000046", "{00020400-0000-0000-C000-0000000000460}"}) {
    EXPECT_FALSE(GuidFromString(bad).has_value()) << bad;
  }
}

TEST(HResult, KeepsThePublishedValues) {
  EXPECT_EQ(static_cast<uint32_t>(E_FAIL), 0x80004005u);
  EXPECT_EQ(static_cast<uint32_t>(DISP_E_UNKNOWNNAME), 0x80020006u);
  EXPECT_EQ(static_cast<uint32_t>(DISP_E_BADPARAMCOUNT), 0x8002000Eu);
  EXPECT_EQ(static_cast<uint32_t>(SELFREG_E_CLASS), 0x80040201u);
  EXPECT_EQ(static_cast<uint32_t>(E_INVALIDARG), 0x80070057u);
  EXPECT_TRUE(Failed(CLASS_E_NOAGGREGATION));
  EXPECT_TRUE(Succeeded(S_FALSE));
  EXPECT_STREQ(HResultName(DISP_E_OVERFLOW), "DISP_E_OVERFLOW");
}

}  // namespace
}  // namespace tolmix::platform
