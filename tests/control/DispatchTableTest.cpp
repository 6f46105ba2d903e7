#include <gtest/gtest.h>

#include <set>
#include <string>

#include "control/DispatchTable.h"
#include "tests/control/ControlTestUtil.h"

namespace tolmix {
namespace {

using namespace platform;
using control::DispatchEntry;
using control::MemberKind;

struct Expected {
  DISPID id;
  const char* name;
  bool property;
  VARTYPE result;
  std::vector<std::pair<const char*, VARTYPE>> params;
};

// The interface as published to scripts, written out independently of the
// table.
const std::vector<Expected>& ExpectedMembers() {
  static const std::vector<Expected> members = {
      {1, "SignedData", true, VT_BSTR, {}},
      {2, "EncryptedData", true, VT_BSTR, {}},
      {3, "ErrorCode", true, VT_I4, {}},
      {4, "DecryptedData", true, VT_BSTR, {}},
      {5, "AllCSP", true, VT_BSTR, {}},
      {6, "DigestData", true, VT_BSTR, {}},
      {7, "SignProData", true, VT_BSTR, {}},
      {8, "Initialize", false, VT_BOOL, {{"ProviderName", VT_BSTR}, {"Password", VT_BSTR}}},
      {9, "Sign", false, VT_BOOL, {{"Content", VT_BSTR}}},
      {10, "Verify", false, VT_BOOL, {{"Content", VT_BSTR}, {"SignedData", VT_BSTR}}},
      {11, "Encrypt", false, VT_BOOL, {{"Content", VT_BSTR}, {"CertPem", VT_BSTR}}},
      {12, "Decrypt", false, VT_BOOL, {{"EncryptedData", VT_BSTR}}},
      {13, "CertParse", false, VT_BOOL, {{"CertPem", VT_BSTR}}},
      {14, "InitializeGM", false, VT_BOOL, {{"GMDLLFileName", VT_BSTR}, {"Password", VT_BSTR}}},
      {15, "GetAllCSPInfo", false, VT_BOOL, {}},
      {16, "Digest", false, VT_BOOL, {{"srcData", VT_BSTR}, {"algo", VT_I2}}},
      {17, "GetLastErrorInfo", false, VT_BSTR, {{"errorid", VT_I4}}},
      {18, "GetCertVersion", false, VT_BSTR, {}},
      {19, "GetSerialNumber", false, VT_BSTR, {}},
      {20, "GetSignatureAlgorithm", false, VT_BSTR, {}},
      {21, "GetIssuer", false, VT_BSTR, {}},
      {22, "GetSubject", false, VT_BSTR, {}},
      {23, "GetNotBefore", false, VT_BSTR, {}},
      {24, "GetNotAfter", false, VT_BSTR, {}},
      {26, "GetKeyUsage", false, VT_BSTR, {}},
      {27, "GetCert", false, VT_BSTR, {}},
      {28, "GetCertEx", false, VT_BSTR, {{"CertType", VT_I2}}},
      {29, "GetSubjectEx", false, VT_BSTR, {{"Item", VT_BSTR}}},
      {30, "GetIssuerEx", false, VT_BSTR, {{"Item", VT_BSTR}}},
      {31, "GetExtensionInfo", false, VT_BSTR, {{"Item", VT_BSTR}}},
      {32, "SetPasswd", false, VT_BOOL,
       {{"szInterface", VT_BSTR}, {"szPasswd", VT_BSTR}, {"lCKType", VT_I4}}},
      {33, "ClearPasswd", false, VT_BOOL, {}},
      {34, "GetCertInfo", false, VT_BSTR,
       {{"szCertPem", VT_BSTR}, {"lItem", VT_I4}, {"szExOid", VT_BSTR}}},
      {35, "VerifyCert", false, VT_BOOL, {{"szCertPem", VT_BSTR}}},
      {36, "SignEnvelope", false, VT_BSTR, {{"szData", VT_BSTR}}},
      {37, "VerifySignEnvelope", false, VT_BSTR, {{"szSigned", VT_BSTR}}},
      {38, "EncryptFile", false, VT_BOOL,
       {{"strFromFile", VT_BSTR}, {"strEncFile", VT_BSTR}, {"strCertPem", VT_BSTR}}},
      {39, "DecryptFile", false, VT_BOOL, {{"strEncFile", VT_BSTR}, {"strToFile", VT_BSTR}}},
      {40, "CertParsePfx", false, VT_BOOL,
       {{"strPathName", VT_BSTR}, {"strPassWord", VT_BSTR}, {"strToWhere", VT_BSTR}}},
      {41, "GetCertInfoPfx", false, VT_BSTR,
       {{"szPathName", VT_BSTR}, {"lItem", VT_I4}, {"szPassWord", VT_BSTR}}},
      {42, "P1Sign", false, VT_BOOL, {{"Content", VT_BSTR}}},
      {43, "P1Verify", false, VT_BOOL, {{"Content", VT_BSTR}, {"SignedData", VT_BSTR}}},
      {-552, "AboutBox", false, VT_EMPTY, {}},
  };
  return members;
}

TEST(DispatchTable, MatchesThePublishedInterface) {
  auto table = control::DispatchTable();
  ASSERT_EQ(table.size(), ExpectedMembers().size());
  std::set<DISPID> ids;
  std::set<std::string> names;
  for (const Expected& want : ExpectedMembers()) {
    SCOPED_TRACE(want.name);
    const DispatchEntry* e = control::FindMember(want.id);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->name, want.name);
    EXPECT_EQ(e->kind == MemberKind::kProperty, want.property);
    EXPECT_EQ(e->result, want.result);
    ASSERT_EQ(e->paramCount, want.params.size());
    for (size_t i = 0; i < want.params.size(); ++i) {
      EXPECT_EQ(e->params[i].name, want.params[i].first);
      EXPECT_EQ(e->params[i].type, want.params[i].second);
    }
    EXPECT_NE(e->handler, nullptr);
    ids.insert(e->id);
    names.insert(std::string(e->name));
  }
  EXPECT_EQ(ids.size(), table.size());
  EXPECT_EQ(names.size(), table.size());
  EXPECT_EQ(control::FindMember(25), nullptr);
}

TEST(DispatchTable, OnlySelectorPasswordAndLibraryNamesAreLimited) {
  for (const DispatchEntry& e : control::DispatchTable()) {
    for (size_t i = 0; i < e.paramCount; ++i) {
      std::string member(e.name);
      bool limited = member == "Initialize" || member == "InitializeGM" ||
                     (member == "SetPasswd" && i < 2);
      EXPECT_EQ(e.params[i].maxBytes, limited ? 255 : 0) << member << " " << i;
    }
  }
}

TEST(Dispatch, NamesResolveWithoutRegardToCase) {
  CtrlPtr c = NewControl();
  struct Case {
    const char16_t* name;
    DISPID id;
  } cases[] = {{u"GetLastErrorInfo", 17}, {u"getlasterrorinfo", 17}, {u"ABOUTBOX", -552},
               {u"signeddata", 1}, {u"P1Verify", 43}};
  for (const Case& k : cases) {
    const OLECHAR* names[] = {k.name};
    DISPID id = 0;
    EXPECT_EQ(c->GetIDsOfNames(IID_NULL, names, 1, 0, &id), S_OK);
    EXPECT_EQ(id, k.id);
  }
}

TEST(Dispatch, UnknownNamesAndIdsAreRefused) {
  CtrlPtr c = NewControl();
  DISPID ids[2] = {0, 0};
  const OLECHAR* unknown[] = {u"NoSuchMember"};
  EXPECT_EQ(c->GetIDsOfNames(IID_NULL, unknown, 1, 0, ids), DISP_E_UNKNOWNNAME);
  EXPECT_EQ(ids[0], DISPID_UNKNOWN);
  const OLECHAR* prefix[] = {u"GetLastError"};
  EXPECT_EQ(c->GetIDsOfNames(IID_NULL, prefix, 1, 0, ids), DISP_E_UNKNOWNNAME);
  // Parameter names are not resolved; the member still is.
  const OLECHAR* withParam[] = {u"Sign", u"Content"};
  EXPECT_EQ(c->GetIDsOfNames(IID_NULL, withParam, 2, 0, ids), DISP_E_UNKNOWNNAME);
  EXPECT_EQ(ids[0], 9);
  EXPECT_EQ(ids[1], DISPID_UNKNOWN);
  const OLECHAR* sign[] = {u"Sign"};
  EXPECT_EQ(c->GetIDsOfNames(IID_IDispatch, sign, 1, 0, ids), DISP_E_UNKNOWNINTERFACE);

  Variant result;
  for (DISPID id : {0, 25, 44, -1, -551}) {
    EXPECT_EQ(CallMember(*c, id, {}, &result), DISP_E_MEMBERNOTFOUND) << id;
  }
}

TEST(Dispatch, FreshControlReadsEmpty) {
  CtrlPtr c = NewControl();
  for (const DispatchEntry& e : control::DispatchTable()) {
    if (e.kind != MemberKind::kProperty) continue;
    Variant v;
    ASSERT_EQ(CallMember(*c, e.id, {}, &v, nullptr, DISPATCH_PROPERTYGET), S_OK) << e.name;
    if (e.result == VT_I4) {
      EXPECT_EQ(v.vt, VT_I4);
      EXPECT_EQ(v.lVal, 0);
    } else {
      ASSERT_EQ(v.vt, VT_BSTR) << e.name;
      EXPECT_EQ(SysStringLen(v.bstrVal), 0u) << e.name;
    }
  }
  Variant text;
  ASSERT_EQ(CallMember(*c, 17, {Variant::I4(0)}, &text), S_OK);
  ASSERT_EQ(text.vt, VT_BSTR);
  EXPECT_TRUE(BstrView(text.bstrVal).empty());
}

TEST(Dispatch, EveryMemberAnswersWithItsDeclaredType) {
  CtrlPtr c = NewControl();
  for (const DispatchEntry& e : control::DispatchTable()) {
    std::vector<Variant> args;
    for (size_t i = 0; i < e.paramCount; ++i) {
      args.push_back(e.params[i].type == VT_BSTR ? Text(u"x") : Variant::I4(1));
    }
    Variant result = Variant::I4(12345);  // must be replaced
    ASSERT_EQ(CallMember(*c, e.id, std::move(args), &result), S_OK) << e.name;
    EXPECT_EQ(result.vt, e.result) << e.name;
  }
}

TEST(Dispatch, PropertyPutIsAcceptedAndStoresNothing) {
  CtrlPtr c = NewControl();
  CTOLMIXCtrlTestPeer::SignedData(*c) = "previous";
  EXPECT_FALSE(c->IsModified());

  Variant value = Text(u"assigned");
  DISPID named = DISPID_PROPERTYPUT;
  DISPPARAMS put{&value, &named, 1, 1};
  EXPECT_EQ(c->Invoke(1, IID_NULL, 0, DISPATCH_PROPERTYPUT, &put, nullptr, nullptr, nullptr), S_OK);
  EXPECT_TRUE(c->IsModified());

  Variant read;
  ASSERT_EQ(CallMember(*c, 1, {}, &read, nullptr, DISPATCH_PROPERTYGET), S_OK);
  EXPECT_EQ(BstrView(read.bstrVal), u"previous");

  // ErrorCode takes a number; a text that is one is accepted, other text not.
  Variant five = Text(u"5");
  DISPPARAMS putCode{&five, &named, 1, 1};
  EXPECT_EQ(c->Invoke(3, IID_NULL, 0, DISPATCH_PROPERTYPUT, &putCode, nullptr, nullptr, nullptr),
            S_OK);
  Variant word = Text(u"five");
  DISPPARAMS putWord{&word, &named, 1, 1};
  EXPECT_EQ(c->Invoke(3, IID_NULL, 0, DISPATCH_PROPERTYPUT, &putWord, nullptr, nullptr, nullptr),
            DISP_E_TYPEMISMATCH);
  Variant code;
  ASSERT_EQ(CallMember(*c, 3, {}, &code, nullptr, DISPATCH_PROPERTYGET), S_OK);
  EXPECT_EQ(code.lVal, 0);

  DISPPARAMS unnamed{&value, nullptr, 1, 0};
  EXPECT_EQ(c->Invoke(1, IID_NULL, 0, DISPATCH_PROPERTYPUT, &unnamed, nullptr, nullptr, nullptr),
            DISP_E_PARAMNOTFOUND);
  // Methods cannot be assigned.
  EXPECT_EQ(c->Invoke(9, IID_NULL, 0, DISPATCH_PROPERTYPUT, &put, nullptr, nullptr, nullptr),
            DISP_E_MEMBERNOTFOUND);
}

TEST(Dispatch, ArgumentCountAndTypesAreChecked) {
  CtrlPtr c = NewControl();
  Variant r;
  EXPECT_EQ(CallMember(*c, 16, {Text(u"abc")}, &r), DISP_E_BADPARAMCOUNT);
  EXPECT_EQ(CallMember(*c, 17, {}, &r), DISP_E_BADPARAMCOUNT);
  EXPECT_EQ(CallMember(*c, 33, {Text(u"x")}, &r), DISP_E_BADPARAMCOUNT);
  EXPECT_EQ(CallMember(*c, 1, {Text(u"x")}, &r, nullptr, DISPATCH_PROPERTYGET),
            DISP_E_BADPARAMCOUNT);

  // Digest(srcData, algo): algo is the second argument, index 0 in rgvarg.
  unsigned argerr = 99;
  EXPECT_EQ(CallMember(*c, 16, {Text(u"abc"), Text(u"md5")}, &r, &argerr), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(argerr, 0u);
  argerr = 99;
  EXPECT_EQ(CallMember(*c, 16, {Text(u"abc"), Text(u"40000")}, &r, &argerr), DISP_E_OVERFLOW);
  EXPECT_EQ(argerr, 0u);
  // GetCertInfo(szCertPem, lItem, szExOid): lItem is index 1 in rgvarg.
  argerr = 99;
  EXPECT_EQ(CallMember(*c, 34, {Text(u"pem"), Text(u"one"), Text(u"")}, &r, &argerr),
            DISP_E_TYPEMISMATCH);
  EXPECT_EQ(argerr, 1u);
  // Numbers and booleans become text for string parameters.
  EXPECT_EQ(CallMember(*c, 9, {Variant::I4(7)}, &r), S_OK);
  EXPECT_EQ(CallMember(*c, 16, {Text(u"abc"), Text(u" 3 ")}, &r), S_OK);

  Variant arg = Text(u"x");
  DISPID named = 0;
  DISPPARAMS withNames{&arg, &named, 1, 1};
  EXPECT_EQ(c->Invoke(9, IID_NULL, 0, DISPATCH_METHOD, &withNames, &r, nullptr, nullptr),
            DISP_E_NONAMEDARGS);
}

}  // namespace
}  // namespace tolmix
