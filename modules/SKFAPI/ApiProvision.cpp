// Provisioning extensions: set up devices, applications and PINs, and put
// key pairs with their certificates into containers.  They work on the
// token directory by name and need no session: whoever may write the
// directory administers the token (softskf is their command-line face).
#include <openssl/rand.h>

#include <cstring>

#include "modules/SKFAPI/Internal.h"
#include "modules/SKFAPI/Keys.h"
#include "modules/SKFAPI/Token.h"

namespace skfapi {
namespace {

constexpr size_t kMinPin = 4;
constexpr size_t kMaxPin = 64;

bool PinLengthOk(const char* pin) {
  if (!pin) return false;
  size_t n = strnlen(pin, kMaxPin + 1);
  return n >= kMinPin && n <= kMaxPin;
}

ULONG EnsureDevice(const std::string& dir, const char* name) {
  if (!MakeDirs(dir, 0700)) return SAR_WRITEFILEERR;
  if (IsFile(dir + "/device.conf")) return SAR_OK;
  unsigned char serial[8];
  if (RAND_bytes(serial, sizeof serial) != 1) return SAR_GENRANDERR;
  char hex[2 * sizeof serial + 1];
  for (size_t i = 0; i < sizeof serial; ++i) snprintf(hex + 2 * i, 3, "%02X", serial[i]);
  std::string conf = std::string("# soft SKF device\nlabel = ") + name + "\nserial = " + hex +
                     "\npresent = 1\n";
  return WriteFileAtomic(dir + "/device.conf", conf, 0644) ? SAR_OK : SAR_WRITEFILEERR;
}

ULONG InitApplication(LPSTR dev, LPSTR app, LPSTR userPin, LPSTR soPin, ULONG retries) {
  if (!ValidName(dev)) return SAR_NAMELENERR;
  if (!ValidName(app)) return SAR_APPLICATION_NAME_INVALID;
  if (!PinLengthOk(userPin) || !PinLengthOk(soPin)) return SAR_PIN_LEN_RANGE;
  if (retries < 1 || retries > 255) return SAR_INVALIDPARAMERR;
  std::string devDir = TokenDir() + "/" + dev;
  if (ULONG rv = EnsureDevice(devDir, dev)) return rv;
  std::string appDir = devDir + "/" + app;
  if (!MakeDirs(appDir, 0700)) return SAR_WRITEFILEERR;
  DirLock lock(appDir);
  AppRecord rec;
  rec.user = {PinDigest(userPin), retries, retries};
  rec.admin = {PinDigest(soPin), retries, retries};
  if (rec.user.digest.empty() || rec.admin.digest.empty()) return SAR_FAIL;
  return SaveApp(appDir, rec) ? SAR_OK : SAR_WRITEFILEERR;
}

ULONG ImportKeyPair(LPSTR dev, LPSTR app, LPSTR container, BOOL sign, BYTE* key, ULONG keyLen,
                    BYTE* cert, ULONG certLen) {
  if (!ValidName(dev) || !ValidName(container)) return SAR_NAMELENERR;
  if (!ValidName(app)) return SAR_APPLICATION_NAME_INVALID;
  std::string appDir = TokenDir() + "/" + dev + "/" + app;
  if (!IsFile(appDir + "/app.conf")) return SAR_APPLICATION_NOT_EXISTS;
  return ImportPair(appDir + "/" + container, sign != FALSE, key, keyLen, cert, certLen);
}

}  // namespace
}  // namespace skfapi

using namespace skfapi;

SKF_EXPORT ULONG DEVAPI SKFX_InitApplication(LPSTR szDevName, LPSTR szAppName, LPSTR szUserPin,
                                             LPSTR szSoPin, ULONG ulRetryCount) {
  SKF_RESULT(InitApplication(szDevName, szAppName, szUserPin, szSoPin, ulRetryCount));
}
SKF_EXPORT ULONG DEVAPI SKFX_ImportKeyPair(LPSTR szDevName, LPSTR szAppName,
                                           LPSTR szContainerName, BOOL bSignFlag, BYTE* pbKey,
                                           ULONG ulKeyLen, BYTE* pbCert, ULONG ulCertLen) {
  SKF_RESULT(ImportKeyPair(szDevName, szAppName, szContainerName, bSignFlag, pbKey, ulKeyLen,
                           pbCert, ulCertLen));
}
