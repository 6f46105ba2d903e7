// Errors of the pkcs11_rsa_key engine on OpenSSL's error queue.
//
// The engine pushes one entry per failure: library number from
// ERR_get_next_error_library (taken once per load of the module), one of the
// reasons below, and a data text that starts with "pkcs11_rsa_key: ".  No
// string table is registered, so nothing on the queue or in OpenSSL's tables
// points into the module after it is unloaded.  A refused PKCS#11 call also
// leaves an entry beneath ours with a second library number of the engine
// (CkrErrorLibrary) whose reason is the call's return value, e.g.
// CKR_PIN_INCORRECT (0xA0) for a refused PIN.
#pragma once

namespace tolmix::p11 {

enum EngineReason : int {
  kReasonNoModule = 100,   // no module of P11_SKF.ini has a token present
  kReasonNoPin = 101,      // slot 2 holds no PIN
  kReasonLoginFailed = 102,
  kReasonNoObject = 103,   // no certificate (and key) fits the request
  kReasonBadKeyId = 104,
  kReasonNoCertificate = 105,
  kReasonInternal = 106,
  kReasonToken = 107,      // a PKCS#11 call failed (token gone, busy, refused)
};

// Pushes REASON with a data text formatted like printf.
void RaiseError(EngineReason reason, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

// Pushes the return value RV of the PKCS#11 call FUNCTION: library
// CkrErrorLibrary(), reason RV (cut to the reason bits).
void RaiseCkr(const char* function, unsigned long rv);

// Library number the engine's entries carry.
int EngineErrorLibrary();
// Library number of the PKCS#11 return values.
int CkrErrorLibrary();

}  // namespace tolmix::p11
