// The item-coded certificate query GetCertInfo and the issuer check
// VerifyCert of the control.  The item table below serves GetCertInfoPfx
// too (control/CertPfx.cpp).
#include <array>
#include <cstdio>
#include <cstring>

#include "control/CertMethodsInternal.h"
#include "control/CertText.h"
#include "control/TOLMIXCtrl.h"
#include "engine/CMSEngine.h"
#include "util/FixedText.h"

namespace tolmix {
namespace control {
namespace {

// "未知的参数"
constexpr char kMsgUnknownItem[] = "\xce\xb4\xd6\xaa\xb5\xc4\xb2\xce\xca\xfd";
// "解析base64编码证书失败."
constexpr char kMsgVerifyParseFailed[] =
    "\xbd\xe2\xce\xf6\x62\x61\x73\x65\x36\x34\xb1\xe0\xc2\xeb\xd6\xa4\xca\xe9\xca\xa7\xb0\xdc\x2e";
// "证书验证不通过,未检索到证书持有者."
constexpr char kMsgNoIssuerCn[] =
    "\xd6\xa4\xca\xe9\xd1\xe9\xd6\xa4\xb2\xbb\xcd\xa8\xb9\xfd\x2c\xce\xb4\xbc\xec\xcb\xf7\xb5\xbd"
    "\xd6\xa4\xca\xe9\xb3\xd6\xd3\xd0\xd5\xdf\x2e";
// "证书验证不通过,证书不为ORVA签发."
constexpr char kMsgNotOrva[] =
    "\xd6\xa4\xca\xe9\xd1\xe9\xd6\xa4\xb2\xbb\xcd\xa8\xb9\xfd\x2c\xd6\xa4\xca\xe9\xb2\xbb\xce\xaa"
    "\x4f\x52\x56\x41\xc7\xa9\xb7\xa2\x2e";
// "Quenmark电子政务证书认证中心": the issuer whose extension values carry
// four leading bytes that item 3021 drops.
constexpr char kQuenmarkCa[] =
    "\x51\x75\x65\x6e\x6d\x61\x72\x6b\xb5\xe7\xd7\xd3\xd5\xfe\xce\xf1\xd6\xa4\xca\xe9\xc8\xcf\xd6"
    "\xa4\xd6\xd0\xd0\xc4";
constexpr size_t kQuenmarkPrefixBytes = 4;

// Issuer common names that VerifyCert accepts, whole and case-sensitive.
constexpr std::array<const char*, 3> kAcceptedIssuers = {"ORVA", "ORVARSA", "ORVASM2"};

enum class ItemKind {
  kVersion,
  kKeyUsage,
  kSignatureAlgorithm,
  kIssuerName,
  kIssuerItem,
  kSubjectName,
  kSubjectItem,
  kSubjectItemOfExOid,  // GetCertInfo only
  kExtension,
  kSerial,
  kNotBefore,
  kNotAfter,
  kDaysToExpiry,
  kCurrentCert,
};

struct CertItem {
  int32_t code;
  ItemKind kind;
  const char* keyword;  // for the item kinds
};

constexpr std::array<CertItem, 26> kCertItems = {{
    {1001, ItemKind::kVersion, nullptr},
    {1002, ItemKind::kKeyUsage, nullptr},
    {1003, ItemKind::kSignatureAlgorithm, nullptr},
    {2001, ItemKind::kIssuerName, nullptr},
    {2002, ItemKind::kIssuerItem, "C"},
    {2003, ItemKind::kIssuerItem, "S"},
    {2004, ItemKind::kIssuerItem, "L"},
    {2005, ItemKind::kIssuerItem, "O"},
    {2006, ItemKind::kIssuerItem, "OU"},
    {2007, ItemKind::kIssuerItem, "CN"},
    {2011, ItemKind::kIssuerItem, "Email"},
    {3001, ItemKind::kSubjectName, nullptr},
    {3002, ItemKind::kSubjectItem, "C"},
    {3003, ItemKind::kSubjectItem, "S"},
    {3004, ItemKind::kSubjectItem, "L"},
    {3005, ItemKind::kSubjectItem, "O"},
    {3006, ItemKind::kSubjectItem, "OU"},
    {3007, ItemKind::kSubjectItem, "CN"},
    {3011, ItemKind::kSubjectItem, "Email"},
    {3012, ItemKind::kSubjectItemOfExOid, nullptr},
    {3021, ItemKind::kExtension, nullptr},
    {3031, ItemKind::kSerial, nullptr},
    {3041, ItemKind::kNotBefore, nullptr},
    {3042, ItemKind::kNotAfter, nullptr},
    {3043, ItemKind::kDaysToExpiry, nullptr},
    {3051, ItemKind::kCurrentCert, nullptr},
}};

const CertItem* FindItem(int32_t code) {
  for (const CertItem& item : kCertItems) {
    if (item.code == code) return &item;
  }
  return nullptr;
}

// Item 3021 of GetCertInfo: the extension value read from CERT_PEM itself
// (so it needs PEM lines), shortened for one issuer.
std::string ExtensionItem(CTOLMIXCtrl& ctl, const char* certPem, const char* exOid) {
  CMSEngine engine;
  ossl::Text value = engine.GetExtensionText(certPem, exOid, 1);
  if (!value) {
    ctl.RecordError(kMsgExtensionFailed);
    return std::string();
  }
  std::string text = value.get();
  char issuerCn[kItemValueSize];
  CopyBounded(issuerCn, ctl.GetCertInfo(certPem, 2007, ""));
  if (std::strcmp(issuerCn, kQuenmarkCa) == 0) {
    text.erase(0, kQuenmarkPrefixBytes);
  }
  return text;
}

}  // namespace

std::string AnswerCertItem(CTOLMIXCtrl& ctl, const CTOLMIXCtrl::CertContextPtr& parsed,
                           const std::string& currentCert, ItemSource source, int32_t item,
                           const char* certPem, const char* exOid) {
  const CertItem* entry = FindItem(item);
  if (entry == nullptr) return kMsgUnknownItem;
  char number[32];
  switch (entry->kind) {
    case ItemKind::kVersion:
      FormatBounded(number, "%d", static_cast<int>(parsed->Version()));
      return number;
    case ItemKind::kKeyUsage:
      FormatBounded(number, "%d", static_cast<int>(parsed->KeyUsageValue()));
      return number;
    case ItemKind::kSignatureAlgorithm:
      return parsed->SignatureAlgorithmOid();
    case ItemKind::kIssuerName:
      return parsed->IssuerName();
    case ItemKind::kIssuerItem:
      return ctl.GetIssuerEx(entry->keyword);
    case ItemKind::kSubjectName:
      return parsed->SubjectName();
    case ItemKind::kSubjectItem:
      return ctl.GetSubjectEx(entry->keyword);
    case ItemKind::kSubjectItemOfExOid:
      if (source == ItemSource::kPfx) return kMsgUnknownItem;
      return ctl.GetSubjectEx(exOid);
    case ItemKind::kExtension:
      // GetCertInfoPfx has no identifier to give: the empty one matches no
      // extension of the current certificate text.
      if (source == ItemSource::kPfx) return ctl.GetExtensionInfo("");
      return ExtensionItem(ctl, certPem, exOid);
    case ItemKind::kSerial:
      return ctl.GetSerialNumber();
    case ItemKind::kNotBefore:
      return ctl.GetNotBefore();
    case ItemKind::kNotAfter:
      return ctl.GetNotAfter();
    case ItemKind::kDaysToExpiry:
      return DaysToExpiry(ctl, parsed, currentCert);
    case ItemKind::kCurrentCert:
      return ctl.GetCert();
  }
  return kMsgUnknownItem;
}

}  // namespace control

std::string CTOLMIXCtrl::GetCertInfo(const char* szCertPem, int32_t lItem, const char* szExOid) {
  if (szCertPem != nullptr && *szCertPem != '\0') {
    if (!CertParse(szCertPem)) {
      RecordError(control::kMsgCertParseFailed);
      return std::string();
    }
  } else if (!m_pCertContext) {
    RecordError(control::kMsgNoCertGiven);
    return std::string();
  }
  return control::AnswerCertItem(*this, m_pCertContext, m_strCurrentCert,
                                 control::ItemSource::kCertText, lItem, szCertPem, szExOid);
}

// The issuer's common name is the whole check: no signature, chain or
// validity date is looked at.
bool CTOLMIXCtrl::VerifyCert(const char* szCertPem) {
  if (!CertParse(szCertPem)) {
    RecordError(control::kMsgVerifyParseFailed);
    return false;
  }
  std::string issuer = m_pCertContext->IssuerName();
  size_t at = issuer.find("CN=");
  if (at == std::string::npos) {
    RecordError(control::kMsgNoIssuerCn);
    return false;
  }
  std::string commonName = control::NameItemValue(issuer, "CN=");
  for (const char* accepted : control::kAcceptedIssuers) {
    if (commonName == accepted) return true;
  }
  RecordError(control::kMsgNotOrva);
  return false;
}

}  // namespace tolmix
