// Errors of the gmEngine engine on OpenSSL's error queue.
//
// One entry per failure: library number from ERR_get_next_error_library
// (taken once per load of the module), one of the reasons below, and a data
// text that starts with "gmEngine: ".  No string table is registered, so
// nothing on the queue or in OpenSSL's tables points into the module after
// it is unloaded.  Device refusals name the SKF call and its SAR code in the
// text, e.g. "gmEngine: SKF_VerifyPIN refused: SAR 0x0A000024, 4 tries left".
#pragma once

namespace tolmix::gm {

enum EngineReason : int {
  kReasonNoDevice = 100,    // no library of GM_SKF.ini lists a device
  kReasonNoPin = 101,       // slot 2 holds no PIN
  kReasonPinRefused = 102,  // SKF_VerifyPIN refused the PIN (count in the text)
  kReasonNoKey = 103,       // no container's certificate has the display name
  kReasonDevice = 104,      // another device call failed (SAR code in the text)
  kReasonNotSm2 = 105,      // the certificate's key is not an SM2 key
  kReasonNoDeviceKey = 106, // a private operation on a key without a device
  kReasonInternal = 107,
};

// Pushes REASON with a data text formatted like printf.
void RaiseError(EngineReason reason, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

// Library number the engine's entries carry.
int EngineErrorLibrary();

}  // namespace tolmix::gm
