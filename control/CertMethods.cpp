// Certificate methods of the control: parsing a certificate or a PFX file
// and querying its fields, the item-coded information query and the issuer
// check.
//
// None of them is implemented in this build: each answers as a failed call
// (false or ""), records nothing and leaves the parsed certificate as it
// was.
#include "control/TOLMIXCtrl.h"

namespace tolmix {

bool CTOLMIXCtrl::CertParse(const char* /*CertPem*/) { return false; }

std::string CTOLMIXCtrl::GetCertVersion() { return std::string(); }

std::string CTOLMIXCtrl::GetSerialNumber() { return std::string(); }

std::string CTOLMIXCtrl::GetSignatureAlgorithm() { return std::string(); }

std::string CTOLMIXCtrl::GetIssuer() { return std::string(); }

std::string CTOLMIXCtrl::GetSubject() { return std::string(); }

std::string CTOLMIXCtrl::GetNotBefore() { return std::string(); }

std::string CTOLMIXCtrl::GetNotAfter() { return std::string(); }

std::string CTOLMIXCtrl::GetKeyUsage() { return std::string(); }

std::string CTOLMIXCtrl::GetCert() { return std::string(); }

std::string CTOLMIXCtrl::GetSubjectEx(const char* /*Item*/) { return std::string(); }

std::string CTOLMIXCtrl::GetIssuerEx(const char* /*Item*/) { return std::string(); }

std::string CTOLMIXCtrl::GetExtensionInfo(const char* /*Item*/) { return std::string(); }

std::string CTOLMIXCtrl::GetCertInfo(const char* /*szCertPem*/, int32_t /*lItem*/,
                                     const char* /*szExOid*/) {
  return std::string();
}

bool CTOLMIXCtrl::VerifyCert(const char* /*szCertPem*/) { return false; }

bool CTOLMIXCtrl::CertParsePfx(const char* /*strPathName*/, const char* /*strPassWord*/,
                               const char* /*strToWhere*/) {
  return false;
}

std::string CTOLMIXCtrl::GetCertInfoPfx(const char* /*szPathName*/, int32_t /*lItem*/,
                                        const char* /*szPassWord*/) {
  return std::string();
}

}  // namespace tolmix
