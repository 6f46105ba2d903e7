// Fixed application-data slots of the engine modules.
//
// The system hands values to the engine modules through OpenSSL's per-engine
// application data at fixed indexes (ENGINE_set_ex_data):
//   2  pointer to the PIN text,
//   6  "1" while the data chain of an envelope is being opened, "0" after,
//   8  "1" before a decryption,
//   9  "READCERT" for a read of the certificate alone (no login).
//
// OpenSSL hands out ENGINE ex_data indexes in allocation order, starting at 1,
// and its dynamic engine keeps its own context (the loaded module) at the
// first index it allocates -- lazily, the first time a dynamic engine takes a
// control command.  If that index were one of the fixed slots above, writing
// the slot would overwrite the context, and the engine's clean-up would hand
// the PIN pointer to the dynamic engine's free function.  EnsureEngineSlots
// allocates every index up to kEngineSlotLast first, so no other user of
// ENGINE ex_data can be given one of them.
#pragma once

namespace tolmix {

constexpr int kEngineSlotPin = 2;
constexpr int kEngineSlotEnvelopeOpen = 6;
constexpr int kEngineSlotDecrypt = 8;
constexpr int kEngineSlotReadCert = 9;
constexpr int kEngineSlotLast = 9;

// EnsureEngineSlots reserves the ENGINE ex_data indexes 1..kEngineSlotLast
// for the fixed slots (no callbacks, so OpenSSL never frees what they hold).
// It runs its work once per process (std::call_once); later calls return the
// first call's answer.  It must run before the first ENGINE use of the
// process, and every path that loads an engine module calls it first.
//
// Returns true when the reservation began at index 1, so that no other
// holder of an ENGINE index can own a fixed slot; false when some index was
// already taken before the first call (a dynamic engine was used earlier, or
// another copy of this code ran first), in which case the fixed slots may
// collide and the caller should treat engine loading as unsafe.
bool EnsureEngineSlots();

}  // namespace tolmix
