// The SKF side of gmEngine: the device library named by GM_SKF.ini, one
// logged-in session on its first device, and the container whose
// certificate carries a given display name.  Nothing here knows ENGINE.
//
// Library: the first DLLName of GM_SKF.ini (system directory) that loads,
// exports the functions of SkfFunctions, and lists a present device
// (SKF_EnumDev TRUE).  Its first device is connected and its first
// application opened -- the device, application and PIN check that the
// system's own certificate probe uses.
//
// Lifetime: a DeviceKey keeps its container open, and shares the session
// (library, device, application with the verified PIN) with other keys of
// the same load.  The session is closed (security state cleared,
// application closed, device disconnected, library unloaded) when the last
// key that uses it goes.
//
// Failures return false / null with an entry on OpenSSL's error queue
// (EngineErrors.h).  Device calls of one session are serialised.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <openssl/ecdsa.h>

#include "engine/OsslPtr.h"
#include "platform/DynamicLibrary.h"
#include "skf/skfapi.h"

namespace tolmix::gm {

// The device functions the engine calls, resolved by name.  All are
// required except EccDecryptDer (the soft library's SKFX_ECCDecryptDer
// extension); without it, decryption fails with kReasonDevice.
struct SkfFunctions {
  decltype(&SKF_EnumDev) EnumDev = nullptr;
  decltype(&SKF_ConnectDev) ConnectDev = nullptr;
  decltype(&SKF_DisConnectDev) DisConnectDev = nullptr;
  decltype(&SKF_EnumApplication) EnumApplication = nullptr;
  decltype(&SKF_OpenApplication) OpenApplication = nullptr;
  decltype(&SKF_CloseApplication) CloseApplication = nullptr;
  decltype(&SKF_VerifyPIN) VerifyPIN = nullptr;
  decltype(&SKF_ClearSecureState) ClearSecureState = nullptr;
  decltype(&SKF_EnumContainer) EnumContainer = nullptr;
  decltype(&SKF_OpenContainer) OpenContainer = nullptr;
  decltype(&SKF_CloseContainer) CloseContainer = nullptr;
  decltype(&SKF_ExportCertificate) ExportCertificate = nullptr;
  decltype(&SKF_ECCSignData) ECCSignData = nullptr;
  decltype(&SKFX_ECCDecryptDer) EccDecryptDer = nullptr;
};

// One logged-in session: library, device and application.
class DeviceSession {
 public:
  // Finds the library, connects the first device, opens the first
  // application and verifies PIN (user PIN).  A refusal raises
  // kReasonPinRefused with the SAR code and the tries the device reports.
  static std::shared_ptr<DeviceSession> Open(const char* pin);

  ~DeviceSession();
  DeviceSession(const DeviceSession&) = delete;
  DeviceSession& operator=(const DeviceSession&) = delete;

  const SkfFunctions& Fn() const { return fn_; }
  HAPPLICATION Application() const { return app_; }
  std::mutex& Mutex() { return mutex_; }

 private:
  DeviceSession() = default;
  bool LoadFirstListedLibrary(std::string* device);

  platform::DynamicLibrary library_;
  SkfFunctions fn_;
  DEVHANDLE dev_ = nullptr;
  HAPPLICATION app_ = nullptr;
  std::mutex mutex_;
};

// One container of a session, with the public keys of its certificates.
class DeviceKey {
 public:
  DeviceKey(std::shared_ptr<DeviceSession> session, HCONTAINER container);
  ~DeviceKey();
  DeviceKey(const DeviceKey&) = delete;
  DeviceKey& operator=(const DeviceKey&) = delete;

  // Uncompressed SM2 points (0x04 || X || Y) of the signature and the
  // encryption certificate; empty when the container has no such SM2
  // certificate.
  std::vector<unsigned char> sign_point;
  std::vector<unsigned char> enc_point;

  // SKF_ECCSignData over the 32-byte value E with the signature pair.
  // Returns the signature (r, s) or null.
  ECDSA_SIG* SignE(const unsigned char (&e)[32]);

  // SKFX_ECCDecryptDer of the SM2 ciphertext IN (OpenSSL's DER form) with
  // the encryption pair, or the signature pair when the container has no
  // encryption certificate.  OUT holds *OUT_LEN bytes; *OUT_LEN becomes the
  // plaintext's length.
  bool Decrypt(const unsigned char* in, size_t in_len, unsigned char* out, size_t* out_len);

 private:
  std::shared_ptr<DeviceSession> session_;
  HCONTAINER container_;
};

// Opens a session with PIN and walks the application's containers in list
// order; the first whose signature or encryption certificate has an SM2 key
// and the simple display name NAME (GBK, cut to 511 bytes as the system's
// name field holds it) is returned, open.  No such container:
// kReasonNoKey.
std::shared_ptr<DeviceKey> FindKeyByDisplayName(const char* pin, const char* name);

// Uncompressed point of CERT's key when it is an SM2 key (an EC key on the
// SM2 curve, whichever type OpenSSL gives it); empty otherwise.
std::vector<unsigned char> Sm2PointOf(X509* cert);

}  // namespace tolmix::gm
