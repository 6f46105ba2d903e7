#include "control/DispatchTable.h"

#include <initializer_list>

#include "control/TOLMIXCtrl.h"
#include "control/TextBoundary.h"

namespace tolmix::control {
namespace {

using platform::VT_BOOL;
using platform::VT_BSTR;
using platform::VT_EMPTY;
using platform::VT_I2;
using platform::VT_I4;

constexpr bool kRecords = true;   // the member records its errors
constexpr bool kSilent = false;   // the member never records an error
constexpr uint16_t kField = kMaxFieldArgument;

constexpr ParamSpec Str(std::string_view name, uint16_t maxBytes = 0) {
  return {name, VT_BSTR, maxBytes};
}
constexpr ParamSpec Short(std::string_view name) { return {name, VT_I2, 0}; }
constexpr ParamSpec Long(std::string_view name) { return {name, VT_I4, 0}; }

constexpr DispatchEntry Property(platform::DISPID id, std::string_view name,
                                 platform::VARTYPE type, DispHandler getter) {
  return {id, name, MemberKind::kProperty, 0, {}, type, kSilent, getter};
}

constexpr DispatchEntry Method(platform::DISPID id, std::string_view name,
                               std::initializer_list<ParamSpec> params, platform::VARTYPE result,
                               bool records, DispHandler call) {
  DispatchEntry e{id, name, MemberKind::kMethod, 0, {}, result, records, call};
  for (const ParamSpec& p : params) e.params[e.paramCount++] = p;
  return e;
}

// E, marked as a member that empties the session before anything else.
constexpr DispatchEntry EmptiesSessionFirst(DispatchEntry e) {
  e.emptiesSessionFirst = true;
  return e;
}

DispResult Flag(bool value) {
  DispResult r;
  r.vt = VT_BOOL;
  r.flag = value;
  return r;
}

DispResult Text(std::string value) {
  DispResult r;
  r.vt = VT_BSTR;
  r.text = std::move(value);
  return r;
}

DispResult Number(int32_t value) {
  DispResult r;
  r.vt = VT_I4;
  r.number = value;
  return r;
}

using C = CTOLMIXCtrl;
using A = DispArgs;

constexpr std::array kTable = {
    Property(1, "SignedData", VT_BSTR, [](C& c, const A&) { return Text(c.GetSignedData()); }),
    Property(2, "EncryptedData", VT_BSTR,
             [](C& c, const A&) { return Text(c.GetEncryptedData()); }),
    Property(3, "ErrorCode", VT_I4, [](C& c, const A&) { return Number(c.GetErrorCode()); }),
    Property(4, "DecryptedData", VT_BSTR,
             [](C& c, const A&) { return Text(c.GetDecryptedData()); }),
    Property(5, "AllCSP", VT_BSTR, [](C& c, const A&) { return Text(c.GetAllCSP()); }),
    Property(6, "DigestData", VT_BSTR, [](C& c, const A&) { return Text(c.GetDigestData()); }),
    Property(7, "SignProData", VT_BSTR,
             [](C& c, const A&) { return Text(c.GetSignProData()); }),

    Method(8, "Initialize", {Str("ProviderName", kField), Str("Password", kField)}, VT_BOOL,
           kSilent, [](C& c, const A& a) { return Flag(c.Initialize(a.Text(0), a.Text(1))); }),
    Method(9, "Sign", {Str("Content")}, VT_BOOL, kRecords,
           [](C& c, const A& a) { return Flag(c.Sign(a.Text(0))); }),
    Method(10, "Verify", {Str("Content"), Str("SignedData")}, VT_BOOL, kRecords,
           [](C& c, const A& a) { return Flag(c.Verify(a.Text(0), a.Text(1))); }),
    Method(11, "Encrypt", {Str("Content"), Str("CertPem")}, VT_BOOL, kRecords,
           [](C& c, const A& a) { return Flag(c.Encrypt(a.Text(0), a.Text(1))); }),
    Method(12, "Decrypt", {Str("EncryptedData")}, VT_BOOL, kRecords,
           [](C& c, const A& a) { return Flag(c.Decrypt(a.Text(0))); }),
    Method(13, "CertParse", {Str("CertPem")}, VT_BOOL, kRecords,
           [](C& c, const A& a) { return Flag(c.CertParse(a.Text(0))); }),
    Method(14, "InitializeGM", {Str("GMDLLFileName", kField), Str("Password", kField)}, VT_BOOL,
           kSilent, [](C& c, const A& a) { return Flag(c.InitializeGM(a.Text(0), a.Text(1))); }),
    Method(15, "GetAllCSPInfo", {}, VT_BOOL, kSilent,
           [](C& c, const A&) { return Flag(c.GetAllCSPInfo()); }),
    Method(16, "Digest", {Str("srcData"), Short("algo")}, VT_BOOL, kSilent,
           [](C& c, const A& a) {
             return Flag(c.Digest(a.Text(0), static_cast<int16_t>(a.number[1])));
           }),
    Method(17, "GetLastErrorInfo", {Long("errorid")}, VT_BSTR, kRecords,
           [](C& c, const A& a) { return Text(c.GetLastErrorInfo(a.number[0])); }),
    Method(18, "GetCertVersion", {}, VT_BSTR, kRecords,
           [](C& c, const A&) { return Text(c.GetCertVersion()); }),
    Method(19, "GetSerialNumber", {}, VT_BSTR, kRecords,
           [](C& c, const A&) { return Text(c.GetSerialNumber()); }),
    Method(20, "GetSignatureAlgorithm", {}, VT_BSTR, kRecords,
           [](C& c, const A&) { return Text(c.GetSignatureAlgorithm()); }),
    Method(21, "GetIssuer", {}, VT_BSTR, kRecords,
           [](C& c, const A&) { return Text(c.GetIssuer()); }),
    Method(22, "GetSubject", {}, VT_BSTR, kRecords,
           [](C& c, const A&) { return Text(c.GetSubject()); }),
    Method(23, "GetNotBefore", {}, VT_BSTR, kRecords,
           [](C& c, const A&) { return Text(c.GetNotBefore()); }),
    Method(24, "GetNotAfter", {}, VT_BSTR, kRecords,
           [](C& c, const A&) { return Text(c.GetNotAfter()); }),
    // DISPID 25 is not used.
    Method(26, "GetKeyUsage", {}, VT_BSTR, kRecords,
           [](C& c, const A&) { return Text(c.GetKeyUsage()); }),
    Method(27, "GetCert", {}, VT_BSTR, kRecords, [](C& c, const A&) { return Text(c.GetCert()); }),
    Method(28, "GetCertEx", {Short("CertType")}, VT_BSTR, kRecords,
           [](C& c, const A& a) { return Text(c.GetCertEx(static_cast<int16_t>(a.number[0]))); }),
    Method(29, "GetSubjectEx", {Str("Item")}, VT_BSTR, kRecords,
           [](C& c, const A& a) { return Text(c.GetSubjectEx(a.Text(0))); }),
    Method(30, "GetIssuerEx", {Str("Item")}, VT_BSTR, kRecords,
           [](C& c, const A& a) { return Text(c.GetIssuerEx(a.Text(0))); }),
    Method(31, "GetExtensionInfo", {Str("Item")}, VT_BSTR, kRecords,
           [](C& c, const A& a) { return Text(c.GetExtensionInfo(a.Text(0))); }),
    EmptiesSessionFirst(Method(
        32, "SetPasswd", {Str("szInterface", kField), Str("szPasswd", kField), Long("lCKType")},
        VT_BOOL, kRecords,
        [](C& c, const A& a) { return Flag(c.SetPasswd(a.Text(0), a.Text(1), a.number[2])); })),
    Method(33, "ClearPasswd", {}, VT_BOOL, kRecords,
           [](C& c, const A&) { return Flag(c.ClearPasswd()); }),
    Method(34, "GetCertInfo", {Str("szCertPem"), Long("lItem"), Str("szExOid")}, VT_BSTR,
           kRecords,
           [](C& c, const A& a) {
             return Text(c.GetCertInfo(a.Text(0), a.number[1], a.Text(2)));
           }),
    Method(35, "VerifyCert", {Str("szCertPem")}, VT_BOOL, kRecords,
           [](C& c, const A& a) { return Flag(c.VerifyCert(a.Text(0))); }),
    Method(36, "SignEnvelope", {Str("szData")}, VT_BSTR, kRecords,
           [](C& c, const A& a) { return Text(c.SignEnvelope(a.Text(0))); }),
    Method(37, "VerifySignEnvelope", {Str("szSigned")}, VT_BSTR, kRecords,
           [](C& c, const A& a) { return Text(c.VerifySignEnvelope(a.Text(0))); }),
    Method(38, "EncryptFile", {Str("strFromFile"), Str("strEncFile"), Str("strCertPem")},
           VT_BOOL, kRecords,
           [](C& c, const A& a) {
             return Flag(c.EncryptFile(a.Text(0), a.Text(1), a.Text(2)));
           }),
    Method(39, "DecryptFile", {Str("strEncFile"), Str("strToFile")}, VT_BOOL, kRecords,
           [](C& c, const A& a) { return Flag(c.DecryptFile(a.Text(0), a.Text(1))); }),
    Method(40, "CertParsePfx", {Str("strPathName"), Str("strPassWord"), Str("strToWhere")},
           VT_BOOL, kRecords,
           [](C& c, const A& a) {
             return Flag(c.CertParsePfx(a.Text(0), a.Text(1), a.Text(2)));
           }),
    Method(41, "GetCertInfoPfx", {Str("szPathName"), Long("lItem"), Str("szPassWord")}, VT_BSTR,
           kRecords,
           [](C& c, const A& a) {
             return Text(c.GetCertInfoPfx(a.Text(0), a.number[1], a.Text(2)));
           }),
    Method(42, "P1Sign", {Str("Content")}, VT_BOOL, kRecords,
           [](C& c, const A& a) { return Flag(c.P1Sign(a.Text(0))); }),
    Method(43, "P1Verify", {Str("Content"), Str("SignedData")}, VT_BOOL, kRecords,
           [](C& c, const A& a) { return Flag(c.P1Verify(a.Text(0), a.Text(1))); }),
    Method(platform::DISPID_ABOUTBOX, "AboutBox", {}, VT_EMPTY, kSilent,
           [](C& c, const A&) {
             c.AboutBox();
             return DispResult{};
           }),
};

static_assert(kTable.size() == 43, "7 properties and 36 methods");

constexpr char LowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

constexpr bool SameNameIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
  }
  return true;
}

// IDs unique, names unique without regard to case, every handler set,
// every used parameter named and of a type the boundary converts.
constexpr bool TableIsSound() {
  for (size_t i = 0; i < kTable.size(); ++i) {
    const DispatchEntry& e = kTable[i];
    if (e.handler == nullptr || e.name.empty()) return false;
    if (e.kind == MemberKind::kProperty && e.paramCount != 0) return false;
    for (size_t p = 0; p < kMaxParams; ++p) {
      const ParamSpec& param = e.params[p];
      bool used = p < e.paramCount;
      if (used && (param.name.empty() ||
                   (param.type != VT_BSTR && param.type != VT_I2 && param.type != VT_I4))) {
        return false;
      }
      if (!used && !param.name.empty()) return false;
    }
    for (size_t j = i + 1; j < kTable.size(); ++j) {
      if (kTable[j].id == e.id || SameNameIgnoringCase(kTable[j].name, e.name)) return false;
    }
  }
  return true;
}
static_assert(TableIsSound());

bool SameNameIgnoringCase(std::u16string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char16_t x = a[i];
    if (x >= u'A' && x <= u'Z') x = static_cast<char16_t>(x - u'A' + u'a');
    if (x != static_cast<unsigned char>(LowerAscii(b[i]))) return false;
  }
  return true;
}

}  // namespace

std::span<const DispatchEntry> DispatchTable() { return kTable; }

const DispatchEntry* FindMember(platform::DISPID id) {
  for (const DispatchEntry& e : kTable) {
    if (e.id == id) return &e;
  }
  return nullptr;
}

const DispatchEntry* FindMember(std::u16string_view name) {
  for (const DispatchEntry& e : kTable) {
    if (SameNameIgnoringCase(name, e.name)) return &e;
  }
  return nullptr;
}

DispResult FailureResult(platform::VARTYPE vt) {
  DispResult r;
  r.vt = vt;
  return r;  // false, 0 or ""
}

}  // namespace tolmix::control
