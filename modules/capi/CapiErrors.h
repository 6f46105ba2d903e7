// Errors of the capi engine on OpenSSL's error queue.
//
// The engine pushes one entry per failure: library number from
// ERR_get_next_error_library (taken once per load of the module), one of the
// reasons below, and a data text that starts with "capi: ".  No string table
// is registered, so nothing on the queue or in OpenSSL's tables points into
// the module after it is unloaded.
#pragma once

namespace tolmix::capi {

enum EngineReason : int {
  kReasonNoProvider = 100,       // csp_name names no installed soft provider
  kReasonNoContainer = 101,      // the provider holds no key for the container
  kReasonBadKey = 102,           // the container's key is unreadable or not RSA
  kReasonUnsupportedLookup = 103,
  kReasonBadArgument = 104,      // a control command value out of range
  kReasonNoPrivateKey = 105,     // a private operation on a key the module does not hold
  kReasonInternal = 106,
};

// Pushes REASON with a data text formatted like printf.
void RaiseError(EngineReason reason, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

// Library number the engine's entries carry.
int EngineErrorLibrary();

}  // namespace tolmix::capi
