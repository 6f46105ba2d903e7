// What the pkcs11_rsa_key engine's last choice of a token and login came
// to, handed back to the system through the engine's control command
// "LAST_OUTCOME" (ENGINE_ctrl_cmd with a pointer to this structure), so that
// the system can say what went wrong in its own words.  Header-only: the
// engine and the engine module (which may not include each other) share it.
#pragma once

#include <cstddef>

namespace tolmix {

struct TokenOutcome {
  enum Step : int {
    kNone = 0,         // no module listed: nothing to say
    kModuleLoad,       // MODULE does not load (or its path is too long)
    kModuleFunctions,  // MODULE has no C_GetFunctionList or refuses C_Initialize
    kNoDevice,         // MODULE's device does not answer, or no token of it is a candidate
    kSlotList,         // C_GetSlotList refused (RV)
    kOpenSession,      // C_OpenSession on the chosen token refused (RV)
    kEmptyPin,         // a token was chosen; the PIN is empty and was not presented
    kLogin,            // C_Login refused (RV), or the token says it is locked (RV CKR_PIN_LOCKED)
    kReady,            // a token was chosen and, where a PIN was given, logged into
  };
  static constexpr size_t kModuleSize = 256;
  int step = kNone;
  unsigned long rv = 0;
  // kLogin: the token refused this PIN earlier in the process, so it was
  // not presented again (util/PinGuard.h).
  bool remembered = false;
  char module[kModuleSize] = {};
};

}  // namespace tolmix
