// PINs that a device refused (wrong, of a length it does not take, or
// locked), remembered for the life of the process so that no call presents
// the same PIN to that device again: a page that calls Sign a hundred times
// with a PIN its token refuses spends one of the token's tries, not a
// hundred.  Each device is remembered on its own (a PKCS#11 token by module,
// serial and label, an SKF key by library and device name;
// util/PinGuard.h): a PIN that one device refused still goes to another.
// Held in memory only, never on disk, and only as keyed hashes (HMAC-SHA256
// under a key drawn at random once per process) of the device and the PIN.
#pragma once

#include <string>

#include <openssl/types.h>

#include "util/PinGuard.h"

namespace tolmix {

bool PinRefusalKnown(const std::string& device, const char* pin) noexcept;
void RememberPinRefusal(const std::string& device, const char* pin) noexcept;

// Forgets every refusal, for a process that learned its devices' PINs were
// changed or reset (the fault test beds start each case afresh with it).
void ForgetPinRefusals() noexcept;

// The two functions above as the table an engine module receives.
const PinGuard& ProcessPinGuard() noexcept;

#if TOLMIX_KEYS_ENGINE
// Hands the table to E by its control command "PIN_GUARD"; an engine
// without the command is left as it is (the error queue too).  (The
// provider back end hands it with each key load: engine/ProviderKeys.cpp.)
void HandPinGuard(ENGINE* e) noexcept;
#endif

}  // namespace tolmix
