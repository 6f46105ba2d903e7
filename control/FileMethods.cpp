// Envelope, file and raw-signature methods of the control: GetCertEx,
// SignEnvelope, VerifySignEnvelope, EncryptFile, DecryptFile, P1Sign,
// P1Verify.
//
// None of them is implemented in this build: each answers as a failed call
// (false or ""), records nothing, writes no file and leaves every result
// property as it was.
#include "control/TOLMIXCtrl.h"

namespace tolmix {

std::string CTOLMIXCtrl::GetCertEx(int16_t /*CertType*/) { return std::string(); }

std::string CTOLMIXCtrl::SignEnvelope(const char* /*szData*/) { return std::string(); }

std::string CTOLMIXCtrl::VerifySignEnvelope(const char* /*szSigned*/) { return std::string(); }

bool CTOLMIXCtrl::EncryptFile(const char* /*strFromFile*/, const char* /*strEncFile*/,
                              const char* /*strCertPem*/) {
  return false;
}

bool CTOLMIXCtrl::DecryptFile(const char* /*strEncFile*/, const char* /*strToFile*/) {
  return false;
}

bool CTOLMIXCtrl::P1Sign(const char* /*Content*/) { return false; }

bool CTOLMIXCtrl::P1Verify(const char* /*Content*/, const char* /*SignedData*/) { return false; }

}  // namespace tolmix
