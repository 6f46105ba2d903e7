// Hostile arguments through the dispatch interface, for all 43 members:
// 1 MB texts, NULs inside, lone surrogates, characters without a GBK form,
// extreme numbers, VARIANT types the members do not take, missing and extra
// arguments, named arguments and property puts.  Every call must come back
// (no crash, no hang: each call is timed) with S_OK and the member's
// failure value, or with the HRESULT error the dispatch rules name; the
// control's fixed fields stay terminated within their sizes.
//
// Runs without devices: the sandbox (fuzz/FuzzSupport.h) points the system,
// store, log and registry folders at an empty folder and answers every
// chooser with "cancel", so nothing is shown and nothing waits for input.
#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "control/DispatchTable.h"
#include "control/Session.h"
#include "control/TextBoundary.h"
#include "fuzz/FuzzSupport.h"
#include "tests/control/ControlTestUtil.h"

namespace tolmix {
namespace {

using namespace platform;
using control::DispatchEntry;
using control::MemberKind;

class Sandbox : public ::testing::Environment {
 public:
  void SetUp() override { fuzz::UseSandbox(); }
};
const auto* const kSandbox = ::testing::AddGlobalTestEnvironment(new Sandbox);

constexpr size_t kMegabyte = 1 << 20;
constexpr auto kCallLimit = std::chrono::seconds(20);

struct HostileText {
  const char* what;
  std::u16string text;
  bool convertible;  // has a GBK form (up to its first NUL)
};

std::vector<HostileText> HostileTexts() {
  std::u16string nulTail = u"ab";
  nulTail += u'\0';
  nulTail.append(kMegabyte, u'x');
  return {
      {"1 MB of ASCII", std::u16string(kMegabyte, u'A'), true},
      {"1 MB of GBK text", std::u16string(kMegabyte / 2, u'\u4E2D'), true},
      {"NUL then 1 MB", nulTail, true},
      {"lone high surrogate", u"a\xD800z", false},
      {"lone low surrogate", std::u16string(1, u'\xDC00'), false},
      {"reversed pair", u"\xDC00\xD800", false},
      {"emoji", u"\U0001F600", false},
      {"extension A", u"\u3400", false},
      {"PEM markers only",
       u"-----BEGIN CERTIFICATE-----\n-----END CERTIFICATE-----"
       u"-----BEGIN PKCS7-----\n-----END PKCS7-----",
       true},
  };
}

// Failure value of a member: false, "" or nothing.
bool IsFailureValue(const VARIANT& r, VARTYPE type) {
  switch (type) {
    case VT_BOOL: return r.vt == VT_BOOL && r.boolVal == VARIANT_FALSE;
    case VT_BSTR: return r.vt == VT_BSTR && SysStringLen(r.bstrVal) == 0;
    default: return r.vt == VT_EMPTY || r.vt == type;
  }
}

// Invokes E with ARGS (natural order), checks the call is timely and the
// fixed fields are intact, and returns the HRESULT.
HRESULT Call(CTOLMIXCtrl& c, DISPID id, std::vector<Variant> args, Variant* r,
             unsigned* argerr = nullptr, uint16_t flags = DISPATCH_METHOD) {
  const auto start = std::chrono::steady_clock::now();
  HRESULT hr = CallMember(c, id, std::move(args), r, argerr, flags);
  EXPECT_LT(std::chrono::steady_clock::now() - start, kCallLimit) << "member " << id;
  EXPECT_LT(strnlen(CTOLMIXCtrlTestPeer::LastError(c), 512), 512u);
  EXPECT_LT(strnlen(CTOLMIXCtrlTestPeer::Interface(c), 256), 256u);
  control::SessionSnapshot s = control::SnapshotSession();
  EXPECT_LT(strnlen(s.szInterface, sizeof s.szInterface), sizeof s.szInterface);
  EXPECT_LT(strnlen(s.szPassword, sizeof s.szPassword), sizeof s.szPassword);
  return hr;
}

// Well-formed arguments for E: "" for texts, 0 for numbers.
std::vector<Variant> PlainArgs(const DispatchEntry& e) {
  std::vector<Variant> args;
  for (size_t i = 0; i < e.paramCount; ++i) {
    args.push_back(e.params[i].type == VT_BSTR ? Text(u"") : Variant::I4(0));
  }
  return args;
}

// Bytes of TEXT in GBK as the boundary converts it (up to its first NUL).
size_t GbkSize(const std::u16string& text) {
  Bstr b(SysAllocString(std::u16string_view(text)));
  std::string gbk;
  return control::ArgumentToGbk(b.get(), &gbk) ? gbk.size() : 0;
}

std::string LastError(CTOLMIXCtrl& c) { return CTOLMIXCtrlTestPeer::LastError(c); }

// Members that may succeed on any text that fits: InitializeGM records a
// library name that nothing reads.
bool AcceptsAnyText(const DispatchEntry& e) { return e.name == "InitializeGM"; }

TEST(HostileArguments, TextsInEveryStringParameter) {
  const std::vector<HostileText> texts = HostileTexts();
  for (const DispatchEntry& e : control::DispatchTable()) {
    for (size_t p = 0; p < e.paramCount; ++p) {
      if (e.params[p].type != VT_BSTR) continue;
      for (const HostileText& h : texts) {
        SCOPED_TRACE(std::string(e.name) + " parameter " + std::to_string(p) + ": " + h.what);
        CtrlPtr c = NewControl();
        std::vector<Variant> args = PlainArgs(e);
        args[p] = Text(h.text);
        Variant r;
        ASSERT_EQ(Call(*c, e.id, std::move(args), &r), S_OK);
        if (!h.convertible) {
          EXPECT_TRUE(IsFailureValue(r, e.result));
          if (e.recordsErrors) {
            EXPECT_EQ(LastError(*c), control::kMsgArgumentNotGbk);
          }
        } else if (e.params[p].maxBytes != 0 && GbkSize(h.text) > e.params[p].maxBytes) {
          EXPECT_TRUE(IsFailureValue(r, e.result));
          if (e.recordsErrors) {
            EXPECT_EQ(LastError(*c), control::kMsgArgumentTooLong);
          }
        } else if (!AcceptsAnyText(e)) {
          EXPECT_TRUE(IsFailureValue(r, e.result)) << "result type " << r.vt;
        }
        control::ClearSession();
      }
    }
  }
}

TEST(HostileArguments, ExtremeNumbers) {
  for (const DispatchEntry& e : control::DispatchTable()) {
    for (size_t p = 0; p < e.paramCount; ++p) {
      const VARTYPE type = e.params[p].type;
      if (type == VT_BSTR) continue;
      SCOPED_TRACE(std::string(e.name) + " parameter " + std::to_string(p));
      const unsigned index = e.paramCount - 1 - static_cast<unsigned>(p);  // in rgvarg
      CtrlPtr c = NewControl();
      for (int32_t n : {INT32_MIN, INT32_MAX, -1, 0, 1, 32767, -32768, 3051, 11}) {
        std::vector<Variant> args = PlainArgs(e);
        args[p] = Variant::I4(n);
        Variant r;
        unsigned argerr = 99;
        HRESULT hr = Call(*c, e.id, std::move(args), &r, &argerr);
        if (type == VT_I2 && (n < INT16_MIN || n > INT16_MAX)) {
          EXPECT_EQ(hr, DISP_E_OVERFLOW) << n;
          EXPECT_EQ(argerr, index);
        } else {
          EXPECT_EQ(hr, S_OK) << n;
          EXPECT_EQ(r.vt, e.result) << n;
        }
      }
      // Numbers as text: too large, not a number.  (A fraction is rounded
      // as OLE Automation rounds it: the conversion tests in control/.)
      struct {
        const char16_t* text;
        HRESULT hr;
      } const cases[] = {{u"99999999999", DISP_E_OVERFLOW},
                         {u"-99999999999", DISP_E_OVERFLOW},
                         {u"12abc", DISP_E_TYPEMISMATCH},
                         {u"", DISP_E_TYPEMISMATCH},
                         {u"1..5", DISP_E_TYPEMISMATCH},
                         {u"0x10", DISP_E_TYPEMISMATCH}};
      for (const auto& k : cases) {
        std::vector<Variant> args = PlainArgs(e);
        args[p] = Text(k.text);
        Variant r;
        unsigned argerr = 99;
        EXPECT_EQ(Call(*c, e.id, std::move(args), &r, &argerr), k.hr);
        EXPECT_EQ(argerr, index);
        EXPECT_EQ(r.vt, VT_EMPTY);
      }
      std::vector<Variant> args = PlainArgs(e);
      args[p] = Text(std::u16string(kMegabyte, u'9'));
      Variant r;
      EXPECT_EQ(Call(*c, e.id, std::move(args), &r), DISP_E_OVERFLOW);
      control::ClearSession();
    }
  }
}

TEST(HostileArguments, VariantTypesTheMembersDoNotTake) {
  for (const DispatchEntry& e : control::DispatchTable()) {
    for (size_t p = 0; p < e.paramCount; ++p) {
      SCOPED_TRACE(std::string(e.name) + " parameter " + std::to_string(p));
      const unsigned index = e.paramCount - 1 - static_cast<unsigned>(p);
      CtrlPtr c = NewControl();
      for (VARTYPE bad : {VARTYPE{9} /* VT_DISPATCH */, VARTYPE{12} /* VT_VARIANT */,
                          VARTYPE{0x4008} /* VT_BSTR | VT_BYREF */, VARTYPE{0xFFFF}}) {
        std::vector<Variant> args = PlainArgs(e);
        args[p] = Variant();
        args[p].vt = bad;
        args[p].bstrVal = nullptr;  // carries no pointer
        Variant r;
        unsigned argerr = 99;
        EXPECT_EQ(Call(*c, e.id, std::move(args), &r, &argerr), DISP_E_BADVARTYPE) << bad;
        EXPECT_EQ(argerr, index);
      }
      // A boolean where a text or number is expected converts ("-1", -1).
      std::vector<Variant> args = PlainArgs(e);
      args[p] = Variant::Bool(true);
      Variant r;
      EXPECT_EQ(Call(*c, e.id, std::move(args), &r), S_OK);
      EXPECT_EQ(r.vt, e.result);
      // The null BSTR is the empty text, and as a number 0 does not parse.
      args = PlainArgs(e);
      args[p] = Variant::NullText();
      unsigned argerr = 99;
      HRESULT hr = Call(*c, e.id, std::move(args), &r, &argerr);
      if (e.params[p].type == VT_BSTR) {
        EXPECT_EQ(hr, S_OK);
      } else {
        EXPECT_EQ(hr, DISP_E_TYPEMISMATCH);
        EXPECT_EQ(argerr, index);
      }
      control::ClearSession();
    }
  }
}

TEST(HostileArguments, MissingExtraAndNamedArguments) {
  for (const DispatchEntry& e : control::DispatchTable()) {
    SCOPED_TRACE(std::string(e.name));
    CtrlPtr c = NewControl();
    Variant r;
    if (e.kind == MemberKind::kMethod) {
      for (size_t n : {size_t{0}, size_t{e.paramCount} - 1, size_t{e.paramCount} + 1, size_t{16}}) {
        if (n == e.paramCount || n > 16) continue;  // paramCount 0: no "one less"
        std::vector<Variant> args(n);
        for (Variant& v : args) v = Text(std::u16string(1000, u'A'));
        EXPECT_EQ(Call(*c, e.id, std::move(args), &r), DISP_E_BADPARAMCOUNT) << n;
      }
      if (e.paramCount > 0) {
        std::vector<Variant> args = PlainArgs(e);
        DISPID named = 0;
        DISPPARAMS params{args.data(), &named, static_cast<unsigned>(args.size()), 1};
        EXPECT_EQ(c->Invoke(e.id, IID_NULL, 0, DISPATCH_METHOD, &params, &r, nullptr, nullptr),
                  DISP_E_NONAMEDARGS);
      }
    } else {
      // A property takes no arguments.
      EXPECT_NE(Call(*c, e.id, {Text(u"x")}, &r, nullptr, DISPATCH_PROPERTYGET), S_OK);
      EXPECT_NE(Call(*c, e.id, {Text(u"x")}, &r, nullptr, DISPATCH_METHOD), S_OK);
    }
    // More named arguments than arguments, and arguments without an array.
    DISPID named[2] = {DISPID_PROPERTYPUT, 0};
    Variant one = Text(u"x");
    DISPPARAMS tooMany{&one, named, 1, 2};
    EXPECT_EQ(c->Invoke(e.id, IID_NULL, 0, DISPATCH_METHOD, &tooMany, &r, nullptr, nullptr),
              E_INVALIDARG);
    DISPPARAMS noArray{nullptr, nullptr, 2, 0};
    EXPECT_EQ(c->Invoke(e.id, IID_NULL, 0, DISPATCH_METHOD, &noArray, &r, nullptr, nullptr),
              E_INVALIDARG);
    EXPECT_EQ(c->Invoke(e.id, IID_NULL, 0, DISPATCH_METHOD, nullptr, &r, nullptr, nullptr),
              E_INVALIDARG);
    // No result wanted: the member still runs and returns.
    std::vector<Variant> args = PlainArgs(e);
    std::vector<Variant> reversed(args.rbegin(), args.rend());
    DISPPARAMS plain{reversed.data(), nullptr, static_cast<unsigned>(reversed.size()), 0};
    EXPECT_EQ(c->Invoke(e.id, IID_NULL, 0, DISPATCH_METHOD, &plain, nullptr, nullptr, nullptr),
              S_OK);
    control::ClearSession();
  }
}

TEST(HostileArguments, PropertyPutsStoreNothingAndMethodsRefuseThem) {
  for (const DispatchEntry& e : control::DispatchTable()) {
    SCOPED_TRACE(std::string(e.name));
    CtrlPtr c = NewControl();
    DISPID putId = DISPID_PROPERTYPUT;
    auto put = [&](Variant value, uint16_t flags, DISPID* named, unsigned cNamed) {
      DISPPARAMS params{&value, named, 1, cNamed};
      unsigned argerr = 99;
      return c->Invoke(e.id, IID_NULL, 0, flags, &params, nullptr, nullptr, &argerr);
    };
    if (e.kind == MemberKind::kMethod) {
      EXPECT_EQ(put(Text(u"x"), DISPATCH_PROPERTYPUT, &putId, 1), DISP_E_MEMBERNOTFOUND);
      EXPECT_EQ(put(Text(u"x"), DISPATCH_PROPERTYPUTREF | DISPATCH_METHOD, &putId, 1),
                DISP_E_MEMBERNOTFOUND);
      continue;
    }
    Variant before;
    ASSERT_EQ(Call(*c, e.id, {}, &before, nullptr, DISPATCH_PROPERTYGET), S_OK);
    const bool text = e.result == VT_BSTR;
    EXPECT_EQ(put(Text(std::u16string(kMegabyte, u'A')), DISPATCH_PROPERTYPUT, &putId, 1),
              text ? S_OK : DISP_E_TYPEMISMATCH);
    EXPECT_EQ(put(Text(u"a\xD800"), DISPATCH_PROPERTYPUT, &putId, 1),
              text ? S_OK : DISP_E_TYPEMISMATCH);
    EXPECT_EQ(put(Variant::I4(INT32_MIN), DISPATCH_PROPERTYPUTREF, &putId, 1), S_OK);
    Variant bad;
    bad.vt = 9;
    bad.bstrVal = nullptr;
    EXPECT_EQ(put(std::move(bad), DISPATCH_PROPERTYPUT, &putId, 1), DISP_E_BADVARTYPE);
    DISPID other = 5;
    EXPECT_EQ(put(Text(u"x"), DISPATCH_PROPERTYPUT, &other, 1), DISP_E_PARAMNOTFOUND);
    EXPECT_EQ(put(Text(u"x"), DISPATCH_PROPERTYPUT, nullptr, 0), DISP_E_PARAMNOTFOUND);
    Variant two[2] = {Text(u"x"), Text(u"y")};
    DISPPARAMS params{two, &putId, 2, 1};
    EXPECT_EQ(c->Invoke(e.id, IID_NULL, 0, DISPATCH_PROPERTYPUT, &params, nullptr, nullptr, nullptr),
              DISP_E_BADPARAMCOUNT);
    Variant after;
    ASSERT_EQ(Call(*c, e.id, {}, &after, nullptr, DISPATCH_PROPERTYGET), S_OK);
    ASSERT_EQ(after.vt, before.vt);
    if (text) {
      EXPECT_EQ(BstrView(after.bstrVal), BstrView(before.bstrVal));
    } else {
      EXPECT_EQ(after.lVal, 0);
    }
  }
}

TEST(HostileArguments, NamesAndIdsThatAreNoMembers) {
  CtrlPtr c = NewControl();
  std::u16string big(kMegabyte, u'S');
  std::u16string withNul = u"Sign";
  withNul += u'\0';
  withNul += u"x";
  const std::u16string names[] = {big, u"", u"\xD800", u"Sign\U0001F600", u"Sign ", u"GetCertEx2"};
  for (const std::u16string& n : names) {
    const OLECHAR* list[] = {n.c_str()};
    DISPID id = 12345;
    EXPECT_EQ(c->GetIDsOfNames(IID_NULL, list, 1, 0, &id), DISP_E_UNKNOWNNAME);
    EXPECT_EQ(id, DISPID_UNKNOWN);
  }
  // A C string ends at its NUL: "Sign" is found.
  const OLECHAR* cut[] = {withNul.c_str()};
  DISPID id = 0;
  EXPECT_EQ(c->GetIDsOfNames(IID_NULL, cut, 1, 0, &id), S_OK);
  EXPECT_EQ(id, 9);
  const OLECHAR* none[] = {nullptr};
  EXPECT_EQ(c->GetIDsOfNames(IID_NULL, none, 1, 0, &id), DISP_E_UNKNOWNNAME);
  EXPECT_EQ(c->GetIDsOfNames(IID_NULL, nullptr, 1, 0, &id), E_INVALIDARG);
  EXPECT_EQ(c->GetIDsOfNames(IID_NULL, cut, 0, 0, &id), E_INVALIDARG);

  for (DISPID bad : {0, 25, 44, -1, -551, -553, INT32_MIN, INT32_MAX}) {
    Variant r;
    EXPECT_EQ(Call(*c, bad, {}, &r), DISP_E_MEMBERNOTFOUND) << bad;
    EXPECT_EQ(Call(*c, bad, {Text(u"x")}, &r), DISP_E_MEMBERNOTFOUND) << bad;
  }
  Variant r;
  DISPPARAMS params{nullptr, nullptr, 0, 0};
  EXPECT_EQ(c->Invoke(9, IID_IDispatch, 0, DISPATCH_METHOD, &params, &r, nullptr, nullptr),
            DISP_E_UNKNOWNINTERFACE);
  EXPECT_EQ(c->Invoke(9, IID_NULL, 0, 0, &params, &r, nullptr, nullptr), DISP_E_MEMBERNOTFOUND);
}

}  // namespace
}  // namespace tolmix
