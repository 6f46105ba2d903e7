// Certificate parsing and field queries of the control: CertParse, the
// getters, the item lookups of the subject and issuer names and the
// extension lookup.
//
// The certificate in use.  Every getter except GetCert and GetExtensionInfo
// reports on the parsed certificate (m_pCertContext).  When there is none it
// parses the current certificate text (m_strCurrentCert) as CertParse does,
// which makes that certificate the parsed one; a text that does not parse
// records "证书解析失败." and the getter returns "".  With neither, the
// getter returns "" and records nothing.
#include <cstdio>
#include <ctime>

#include "control/CertMethodsInternal.h"
#include "control/CertText.h"
#include "control/TOLMIXCtrl.h"
#include "engine/CMSEngine.h"
#include "platform/Certificate.h"
#include "util/FixedText.h"

namespace tolmix {
namespace control {

CTOLMIXCtrl::CertContextPtr OwnCertificate(std::optional<platform::Certificate> cert) {
  if (!cert) return CTOLMIXCtrl::CertContextPtr(nullptr, nullptr);
  return CTOLMIXCtrl::CertContextPtr(new platform::Certificate(std::move(*cert)),
                                     [](platform::Certificate* p) { delete p; });
}

const platform::Certificate* CertInUse(CTOLMIXCtrl& ctl, const CTOLMIXCtrl::CertContextPtr& parsed,
                                       const std::string& currentCert) {
  if (parsed) return parsed.get();
  if (currentCert.empty()) return nullptr;
  if (!ctl.CertParse(currentCert.c_str())) {
    ctl.RecordError(kMsgCertParseFailed);
    return nullptr;
  }
  return parsed.get();
}

std::string DaysToExpiry(CTOLMIXCtrl& ctl, const CTOLMIXCtrl::CertContextPtr& parsed,
                         const std::string& currentCert) {
  const platform::Certificate* cert = CertInUse(ctl, parsed, currentCert);
  if (cert == nullptr) return std::string();
  return DaysToExpiryText(cert->NotAfter(), std::time(nullptr));
}

}  // namespace control

using control::CertInUse;

bool CTOLMIXCtrl::CertParse(const char* CertPem) {
  control::ParsedCertText parsed = control::ParseCertText(CertPem);
  switch (parsed.outcome) {
    case control::CertTextOutcome::kNotDecoded:
      return false;  // the parsed certificate stays as it was
    case control::CertTextOutcome::kNoCertificate:
      m_pCertContext.reset();
      return false;
    case control::CertTextOutcome::kCertificate:
      break;
  }
  m_pCertContext = control::OwnCertificate(std::move(parsed.cert));
  return true;
}

std::string CTOLMIXCtrl::GetCertVersion() {
  const platform::Certificate* cert = CertInUse(*this, m_pCertContext, m_strCurrentCert);
  if (cert == nullptr) return std::string();
  char text[32];
  FormatBounded(text, "%d", static_cast<int>(cert->Version()));
  return text;
}

// A serial of more than 127 bytes (RFC 5280 allows 20) does not fit the
// 256-byte text: it is refused with "证书解析失败." rather than cut, since a
// cut serial would name another certificate.
std::string CTOLMIXCtrl::GetSerialNumber() {
  const platform::Certificate* cert = CertInUse(*this, m_pCertContext, m_strCurrentCert);
  if (cert == nullptr) return std::string();
  std::string text = control::SerialText(cert->SerialNumber());
  if (text.empty()) RecordError(control::kMsgCertParseFailed);
  return text;
}

std::string CTOLMIXCtrl::GetSignatureAlgorithm() {
  const platform::Certificate* cert = CertInUse(*this, m_pCertContext, m_strCurrentCert);
  return cert ? cert->SignatureAlgorithmOid() : std::string();
}

std::string CTOLMIXCtrl::GetIssuer() {
  const platform::Certificate* cert = CertInUse(*this, m_pCertContext, m_strCurrentCert);
  return cert ? cert->IssuerName() : std::string();
}

std::string CTOLMIXCtrl::GetSubject() {
  const platform::Certificate* cert = CertInUse(*this, m_pCertContext, m_strCurrentCert);
  return cert ? cert->SubjectName() : std::string();
}

std::string CTOLMIXCtrl::GetNotBefore() {
  const platform::Certificate* cert = CertInUse(*this, m_pCertContext, m_strCurrentCert);
  return cert ? control::LocalDateText(cert->NotBefore(), std::time(nullptr)) : std::string();
}

std::string CTOLMIXCtrl::GetNotAfter() {
  const platform::Certificate* cert = CertInUse(*this, m_pCertContext, m_strCurrentCert);
  return cert ? control::LocalDateText(cert->NotAfter(), std::time(nullptr)) : std::string();
}

std::string CTOLMIXCtrl::GetKeyUsage() {
  const platform::Certificate* cert = CertInUse(*this, m_pCertContext, m_strCurrentCert);
  if (cert == nullptr) return std::string();
  char text[16];
  FormatBounded(text, "%d", static_cast<int>(cert->KeyUsageValue()));
  return text;
}

std::string CTOLMIXCtrl::GetCert() { return m_strCurrentCert; }

// An Item longer than 62 bytes has no pattern in the 64-byte field: it
// finds nothing (result "", error text unchanged) instead of being cut to a
// shorter keyword.
std::string CTOLMIXCtrl::GetSubjectEx(const char* Item) {
  std::optional<std::string> pattern = control::ItemPattern(Item);
  const platform::Certificate* cert = CertInUse(*this, m_pCertContext, m_strCurrentCert);
  if (cert == nullptr || !pattern) return std::string();
  return control::NameItemValue(cert->SubjectName(), *pattern);
}

std::string CTOLMIXCtrl::GetIssuerEx(const char* Item) {
  std::optional<std::string> pattern = control::ItemPattern(Item);
  const platform::Certificate* cert = CertInUse(*this, m_pCertContext, m_strCurrentCert);
  if (cert == nullptr || !pattern) return std::string();
  return control::NameItemValue(cert->IssuerName(), *pattern);
}

// Reads the current certificate text, not the parsed certificate.
std::string CTOLMIXCtrl::GetExtensionInfo(const char* Item) {
  CMSEngine engine;
  ossl::Text value = engine.GetExtensionText(m_strCurrentCert.c_str(), Item, 1);
  if (!value) {
    RecordError(control::kMsgExtensionFailed);
    return std::string();
  }
  return value.get();
}

}  // namespace tolmix
