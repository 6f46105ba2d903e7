// CSKFDevice: one GM/T 0016-2012 (SKF) device library loaded at run time,
// with the device, application and container handles of one session on a
// USB key.
//
// The library is found through the device list file "GM_SKF.ini" in the
// system directory (FindConfiguredLibrary), loaded with dlopen and accepted
// only when it exports every name of kSkfEntryPoints.  The object lives on
// the stack of one operation; its destructor unloads the library, which ends
// the session (the device is never disconnected, the application never
// closed).
//
// Results: every operation returns 0, the SKF code of the library unchanged,
// or one of the four DEVERR_ codes below.  Each SKF call that has a label
// prints one console line to standard output, byte for byte:
//   "<label> failed, error code 0x<code in lower-case hex>...\n"
//   "<label> success...\n"
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

#include "platform/DynamicLibrary.h"
#include "skf/skfapi.h"

namespace tolmix {

// Codes of the device layer's own, outside the standard's range.
constexpr ULONG DEVERR_LOAD = 0x10000001;              // library not loadable, entry point missing
constexpr ULONG DEVERR_EMPTY_LIST = 0x10000002;        // a name list of length 1 or less
constexpr ULONG DEVERR_NOT_OPEN = 0x10000004;          // the handle the step needs is not open
constexpr ULONG DEVERR_BUFFER_TOO_SMALL = 0x10000014;  // device list buffer missing or too small

// The entry points a device library must export, in look-up order.  56
// entries, 55 names: SKF_ChangePIN is looked up a second time at the end.
inline constexpr std::array<const char*, 56> kSkfEntryPoints = {
    "SKF_EnumDev",           "SKF_ConnectDev",          "SKF_DisConnectDev",
    "SKF_GetDevState",       "SKF_GetDevInfo",          "SKF_ClearSecureState",
    "SKF_ChangePIN",         "SKF_GetPINInfo",          "SKF_VerifyPIN",
    "SKF_EnumApplication",   "SKF_OpenApplication",     "SKF_CloseApplication",
    "SKF_CreateContainer",   "SKF_DeleteContainer",     "SKF_OpenContainer",
    "SKF_CloseContainer",    "SKF_EnumContainer",       "SKF_GenRandom",
    "SKF_GenExtRSAKey",      "SKF_GenRSAKeyPair",       "SKF_ImportRSAKeyPair",
    "SKF_RSASignData",       "SKF_RSAVerify",           "SKF_ExtRSAPubKeyOperation",
    "SKF_ExtRSAPriKeyOperation", "SKF_GenECCKeyPair",   "SKF_ImportECCKeyPair",
    "SKF_ECCSignData",       "SKF_ECCVerify",           "SKF_ExtECCEncrypt",
    "SKF_ExtECCDecrypt",     "SKF_ExtECCSign",          "SKF_ExtECCVerify",
    "SKF_DigestInit",        "SKF_Digest",              "SKF_DigestUpdate",
    "SKF_DigestFinal",       "SKF_ExportPublicKey",     "SKF_ImportSessionKey",
    "SKF_ECCExportSessionKey", "SKF_EncryptInit",       "SKF_Encrypt",
    "SKF_EncryptUpdate",     "SKF_EncryptFinal",        "SKF_ImportCertificate",
    "SKF_ExportCertificate", "SKF_DecryptInit",         "SKF_Decrypt",
    "SKF_DecryptUpdate",     "SKF_DecryptFinal",        "SKF_SetSymmKey",
    "SKF_CloseHandle",       "SKF_DevAuth",             "SKF_DeleteApplication",
    "SKF_CreateApplication", "SKF_ChangePIN",
};

// True when entry I of kSkfEntryPoints is NAME.
constexpr bool SkfEntryIs(size_t i, std::string_view name) {
  return i < kSkfEntryPoints.size() && std::string_view(kSkfEntryPoints[i]) == name;
}

class CSKFDevice {
 public:
  static constexpr size_t kNameSize = 1024;         // device, application, container names
  static constexpr size_t kLibraryPathSize = 256;   // path from FindConfiguredLibrary, with NUL
  static constexpr ULONG kListSize = 1024;          // local name-list buffers
  static constexpr char kDefaultLibraryName[] = "SKFAPI";  // + SharedLibrarySuffix()

  CSKFDevice() noexcept = default;
  // Runs Unload.
  virtual ~CSKFDevice();
  CSKFDevice(const CSKFDevice&) = delete;
  CSKFDevice& operator=(const CSKFDevice&) = delete;

  // ---- Library binding (SKFDevice.cpp) ----

  // FindConfiguredLibrary walks "GM_SKF.ini" (Device_1, Device_2, ...; it
  // stops at the first entry without DLLName) and keeps the first library
  // that loads, exports every entry point and lists a device.  Returns 0
  // with that library's path (system directory + "/" + DLLName) in PATH, -1
  // otherwise (PATH untouched).  A path longer than 255 bytes is not tried.
  int FindConfiguredLibrary(char (&path)[kLibraryPathSize]);

  // LoadSkfLibrary unloads any library held, loads LIBRARY (null or "":
  // kDefaultLibrary, found by the system's library search), looks up the
  // entry points in order and ends with EnumDevices(LIST, SIZE).  Returns
  // DEVERR_LOAD when the library does not load or an entry point is missing
  // (that library then stays loaded but unusable), else EnumDevices' code.
  ULONG LoadSkfLibrary(char* list, ULONG* size, const char* library);

  // Clears the applications-listed flag; when a library is held, unloads it
  // and forgets every handle and entry point that came from it.  Returns 1
  // when a library was unloaded, 0 when none was held.
  int Unload() noexcept;

  // ---- Session (SKFSession.cpp) ----

  // EnumDevices lists the present devices (SKF_EnumDev(TRUE)) into LIST of
  // *SIZE bytes and remembers the first as the device to connect to.  0
  // with *SIZE = the list's length; DEVERR_EMPTY_LIST for an empty list;
  // DEVERR_BUFFER_TOO_SMALL with *SIZE = the length needed when LIST is null
  // or too small.  Does nothing and returns 0 once connected and listed.
  ULONG EnumDevices(char* list, ULONG* size);

  // Connects DEVICE (null: the one EnumDevices remembered) and lists its
  // applications; LIST (may be null) receives the list when *SIZE is larger
  // than it, *SIZE its length.  Returns 0 at once when already connected and
  // listed.
  ULONG ConnectAndListApplications(char* list, ULONG* size, const char* device);

  // The name of the device connected to (or to be connected to); "" before
  // one was named or listed.
  const char* DeviceName() const noexcept { return m_szDeviceName; }

  // Opens APPLICATION (null: the name last used) and verifies PIN of
  // PIN_TYPE (USER_TYPE).  The retry count the library reports is kept
  // (PinRetryCount) whatever the result; on failure the application handle
  // is dropped (its security state cleared) and the code returned.
  // OpenApplication followed by VerifyPin.
  ULONG OpenApplicationAndVerifyPin(const char* pin, ULONG pin_type, const char* application);

  // Opens APPLICATION (null: the name last used) without a login.  On
  // failure the application handle is dropped and the code returned.
  ULONG OpenApplication(const char* application);

  // Verifies PIN of PIN_TYPE on the open application, as
  // OpenApplicationAndVerifyPin does after opening it.
  ULONG VerifyPin(const char* pin, ULONG pin_type);

  // Asks the open application how many tries of PIN_TYPE are left
  // (SKF_GetPINInfo; nothing is verified, no try is spent).  0 with *LEFT
  // set, else the library's code (*LEFT untouched).  Prints no console
  // line: the line of each device step is the PIN check's.
  ULONG GetPinRetriesLeft(ULONG pin_type, ULONG* left);

  // Lists the containers of the open application into LIST (null: size
  // query) of *SIZE bytes; *SIZE becomes the list's length.
  ULONG EnumContainers(char* list, ULONG* size);

  // Opens container NAME (null: the name last used).  With CREATE it is
  // created, or opened when creation fails (an existing one).
  ULONG CreateOrOpenContainer(const char* name, bool create);

  // Exports the open container's signature (SIGN TRUE) or encryption
  // certificate, DER, into CERT of *LEN bytes; *LEN becomes its length.
  ULONG ExportCertificate(BOOL sign, BYTE* cert, ULONG* len);

  // Closes the open container, if any.  Returns 0.
  ULONG CloseContainer();
  // CloseContainer, then clears the application's security state and drops
  // its handle (the application is not closed).  Returns 0.
  ULONG CloseContainerAndLogout();
  // Clears the applications-listed flag.  Returns 0.
  ULONG ClearApplicationsListed();

  // The retry count reported by the last SKF_VerifyPIN (0 when none).
  ULONG PinRetryCount() const noexcept { return m_ulPinRetryCount; }
  bool IsLoaded() const noexcept { return m_library.IsLoaded(); }

 private:
  // Indexes into kSkfEntryPoints of the functions the session calls.
  enum Entry : size_t {
    kEnumDev = 0,
    kConnectDev = 1,
    kClearSecureState = 5,
    kGetPINInfo = 7,
    kVerifyPIN = 8,
    kEnumApplication = 9,
    kOpenApplication = 10,
    kCreateContainer = 12,
    kOpenContainer = 14,
    kCloseContainer = 15,
    kEnumContainer = 16,
    kExportCertificate = 45,
  };
  static_assert(SkfEntryIs(kEnumDev, "SKF_EnumDev") && SkfEntryIs(kConnectDev, "SKF_ConnectDev") &&
                SkfEntryIs(kClearSecureState, "SKF_ClearSecureState") &&
                SkfEntryIs(kGetPINInfo, "SKF_GetPINInfo") &&
                SkfEntryIs(kVerifyPIN, "SKF_VerifyPIN") &&
                SkfEntryIs(kEnumApplication, "SKF_EnumApplication") &&
                SkfEntryIs(kOpenApplication, "SKF_OpenApplication") &&
                SkfEntryIs(kCreateContainer, "SKF_CreateContainer") &&
                SkfEntryIs(kOpenContainer, "SKF_OpenContainer") &&
                SkfEntryIs(kCloseContainer, "SKF_CloseContainer") &&
                SkfEntryIs(kEnumContainer, "SKF_EnumContainer") &&
                SkfEntryIs(kExportCertificate, "SKF_ExportCertificate"));

  // The resolved entry point I, typed as the standard's function F.  Only
  // called when Ready().
  template <class F>
  F Fn(Entry i) const noexcept {
    return reinterpret_cast<F>(m_apfnEntry[i]);
  }

  // The one place where SKF calls are made: runs CALL (a callable returning
  // the SKF code), prints the console line for LABEL (none when null) and
  // returns the code unchanged.
  template <class Call>
  static ULONG Invoke(const char* label, Call&& call) {
    ULONG code = call();
    if (label) PrintResult(label, code);
    return code;
  }

  // The console line for LABEL and CODE (0: success).
  static void PrintResult(const char* label, ULONG code) noexcept;

  // True when a library with every entry point is loaded.
  bool Ready() const noexcept { return m_library.IsLoaded() && m_bComplete; }

  void ForgetLibraryState() noexcept;

  DEVHANDLE m_hDev = nullptr;
  HAPPLICATION m_hApplication = nullptr;
  HCONTAINER m_hContainer = nullptr;
  platform::DynamicLibrary m_library;
  char m_szContainerName[kNameSize]{};
  char m_szDeviceName[kNameSize]{};
  char m_szApplicationName[kNameSize]{};
  int m_bApplicationsListed = 0;
  std::array<void*, kSkfEntryPoints.size()> m_apfnEntry{};
  ULONG m_ulPinRetryCount = 0;
  bool m_bComplete = false;  // every entry point resolved

  static_assert(sizeof(ULONG) == 4, "GM/T 0016 ULONG is 32 bits");
};

}  // namespace tolmix
