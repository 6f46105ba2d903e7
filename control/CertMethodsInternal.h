// Pieces shared by the control's certificate method files
// (control/CertMethods.cpp, CertInfo.cpp, CertPfx.cpp).  The control passes
// its own members in; nothing here keeps state.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "control/TOLMIXCtrl.h"
#include "platform/Certificate.h"

namespace tolmix::control {

// CERT as the control's parsed certificate (null for none); the pointer
// owns it.
CTOLMIXCtrl::CertContextPtr OwnCertificate(std::optional<platform::Certificate> cert);

// The certificate in use (top of control/CertMethods.cpp): PARSED when set,
// else CURRENT_CERT parsed through CTL.CertParse (failure: "证书解析失败."
// recorded on CTL), else null.  The result is borrowed from PARSED.
const platform::Certificate* CertInUse(CTOLMIXCtrl& ctl, const CTOLMIXCtrl::CertContextPtr& parsed,
                                       const std::string& currentCert);

// GetDaysToExpiry: the countdown of the certificate in use, "" without one.
std::string DaysToExpiry(CTOLMIXCtrl& ctl, const CTOLMIXCtrl::CertContextPtr& parsed,
                         const std::string& currentCert);

// Which method asks: the two differ in items 3012 and 3021.
enum class ItemSource { kCertText, kPfx };

// The answer to item code ITEM once a certificate is parsed (CertInfo.cpp).
// CERT_PEM and EX_OID are GetCertInfo's szCertPem and szExOid (unused for
// kPfx).  Unknown codes give "未知的参数" and record nothing.
std::string AnswerCertItem(CTOLMIXCtrl& ctl, const CTOLMIXCtrl::CertContextPtr& parsed,
                           const std::string& currentCert, ItemSource source, int32_t item,
                           const char* certPem, const char* exOid);

}  // namespace tolmix::control
