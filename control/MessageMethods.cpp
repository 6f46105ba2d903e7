// Message methods of the control: Sign, Verify, Encrypt, Decrypt, Digest.
//
// None of them is implemented in this build: each answers as a failed call
// (false), records nothing and leaves every result property as it was.
#include "control/TOLMIXCtrl.h"

namespace tolmix {

bool CTOLMIXCtrl::Sign(const char* /*Content*/) { return false; }

bool CTOLMIXCtrl::Verify(const char* /*Content*/, const char* /*SignedData*/) { return false; }

bool CTOLMIXCtrl::Encrypt(const char* /*Content*/, const char* /*CertPem*/) { return false; }

bool CTOLMIXCtrl::Decrypt(const char* /*EncryptedData*/) { return false; }

bool CTOLMIXCtrl::Digest(const char* /*srcData*/, int16_t /*algo*/) { return false; }

}  // namespace tolmix
