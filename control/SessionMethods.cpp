// Session set-up methods of the control: Initialize, InitializeGM,
// SetPasswd, ClearPasswd, GetAllCSPInfo.
//
// None of them is implemented in this build: each answers as a failed call
// (false), records nothing and changes neither the control nor the
// process-wide session.
#include "control/TOLMIXCtrl.h"

namespace tolmix {

bool CTOLMIXCtrl::Initialize(const char* /*ProviderName*/, const char* /*Password*/) {
  return false;
}

bool CTOLMIXCtrl::InitializeGM(const char* /*GMDLLFileName*/, const char* /*Password*/) {
  return false;
}

bool CTOLMIXCtrl::SetPasswd(const char* /*szInterface*/, const char* /*szPasswd*/,
                            int32_t /*lCKType*/) {
  return false;
}

bool CTOLMIXCtrl::ClearPasswd() { return false; }

bool CTOLMIXCtrl::GetAllCSPInfo() { return false; }

}  // namespace tolmix
