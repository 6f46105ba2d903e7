// Devices, applications and PINs: the exported functions of the standard
// that walk a token down to an open, logged-in application.
#include <cstring>

#include "modules/SKFAPI/Internal.h"
#include "modules/SKFAPI/Session.h"
#include "modules/SKFAPI/Token.h"
#include "util/FixedText.h"

namespace skfapi {
namespace {

constexpr char kDeviceMarker[] = "device.conf";
constexpr char kAppMarker[] = "app.conf";

std::string DeviceConf(const std::string& devDir) {
  std::string text;
  ReadFile(devDir + "/" + kDeviceMarker, &text);
  return text;
}

bool DevicePresent(const std::string& devDir) {
  return IsFile(devDir + "/" + kDeviceMarker) &&
         ConfValue(DeviceConf(devDir), "present", "1") != "0";
}

ULONG EnumDev(BOOL present, LPSTR list, ULONG* size) {
  if (!size) return SAR_INVALIDPARAMERR;
  std::vector<std::string> names;
  std::string root = TokenDir();
  for (auto& n : ListEntries(root, kDeviceMarker)) {
    if (!present || DevicePresent(root + "/" + n)) names.push_back(n);
  }
  return WriteNameList(names, list, size);
}

ULONG ConnectDev(LPSTR name, DEVHANDLE* out) {
  if (!out) return SAR_INVALIDPARAMERR;
  *out = nullptr;
  if (!ValidName(name)) return SAR_INVALIDPARAMERR;
  std::string dir = TokenDir() + "/" + name;
  if (!DevicePresent(dir)) return SAR_DEVICE_REMOVED;
  *out = OpenDevice(name, dir);
  return SAR_OK;
}

ULONG DisConnectDev(DEVHANDLE h) {
  Device* dev = FindDevice(h);
  if (!dev) return SAR_INVALIDHANDLEERR;
  CloseDevice(dev);
  return SAR_OK;
}

ULONG GetDevState(LPSTR name, ULONG* state) {
  if (!state || !name) return SAR_INVALIDPARAMERR;
  *state = ValidName(name) && DevicePresent(TokenDir() + "/" + name) ? DEV_PRESENT_STATE
                                                                      : DEV_ABSENT_STATE;
  return SAR_OK;
}

ULONG GetDevInfo(DEVHANDLE h, DEVINFO* info) {
  Device* dev = FindDevice(h);
  if (!dev) return SAR_INVALIDHANDLEERR;
  if (!info) return SAR_INVALIDPARAMERR;
  if (!DevicePresent(dev->dir)) return SAR_DEVICE_REMOVED;
  std::string conf = DeviceConf(dev->dir);
  memset(info, 0, sizeof *info);
  info->Version = {1, 0};
  tolmix::CopyBounded(info->Manufacturer, "tolmix soft SKF");
  tolmix::CopyBounded(info->Issuer, "tolmix");
  tolmix::CopyBounded(info->Label, ConfValue(conf, "label", dev->name));
  tolmix::CopyBounded(info->SerialNumber, ConfValue(conf, "serial", dev->name));
  info->HWVersion = {1, 0};
  info->FirmwareVersion = {1, 0};
  info->AlgAsymCap = SGD_RSA | SGD_SM2_1 | SGD_SM2_3;
  info->AlgHashCap = SGD_SM3 | SGD_SHA1 | SGD_SHA256;
  info->TotalSpace = info->FreeSpace = 1u << 20;
  info->MaxECCBufferSize = 1u << 20;
  info->MaxBufferSize = 1u << 20;
  return SAR_OK;
}

ULONG EnumApplication(DEVHANDLE h, LPSTR list, ULONG* size) {
  Device* dev = FindDevice(h);
  if (!dev) return SAR_INVALIDHANDLEERR;
  if (!size) return SAR_INVALIDPARAMERR;
  if (!DevicePresent(dev->dir)) return SAR_DEVICE_REMOVED;
  return WriteNameList(ListEntries(dev->dir, kAppMarker), list, size);
}

ULONG OpenApplication(DEVHANDLE h, LPSTR name, HAPPLICATION* out) {
  Device* dev = FindDevice(h);
  if (!dev) return SAR_INVALIDHANDLEERR;
  if (!out) return SAR_INVALIDPARAMERR;
  *out = nullptr;
  if (!ValidName(name)) return SAR_APPLICATION_NAME_INVALID;
  std::string dir = dev->dir + "/" + name;
  if (!IsFile(dir + "/" + kAppMarker)) return SAR_APPLICATION_NOT_EXISTS;
  *out = OpenApp(dev, name, dir);
  return SAR_OK;
}

ULONG CloseApplication(HAPPLICATION h) {
  Application* app = FindApp(h);
  if (!app) return SAR_INVALIDHANDLEERR;
  CloseApp(app);
  return SAR_OK;
}

ULONG ClearSecureState(HAPPLICATION h) {
  Application* app = FindApp(h);
  if (!app) return SAR_INVALIDHANDLEERR;
  app->userVerified = app->adminVerified = false;
  return SAR_OK;
}

ULONG VerifyPIN(HAPPLICATION h, ULONG type, LPSTR pin, ULONG* retries) {
  Application* app = FindApp(h);
  if (!app) return SAR_INVALIDHANDLEERR;
  if (type != USER_TYPE && type != ADMIN_TYPE) return SAR_USER_TYPE_INVALID;
  if (!pin) return SAR_INVALIDPARAMERR;
  bool& verified = type == USER_TYPE ? app->userVerified : app->adminVerified;
  verified = false;
  // The counter is read, checked and written back under a lock on the
  // application folder, so two processes cannot both spend the last try.
  DirLock lock(app->dir);
  AppRecord rec;
  if (!LoadApp(app->dir, &rec)) return SAR_USER_PIN_NOT_INITIALIZED;
  PinRecord& p = type == USER_TYPE ? rec.user : rec.admin;
  if (p.retriesLeft == 0) {
    if (retries) *retries = 0;
    return SAR_PIN_LOCKED;  // even the right PIN is refused once locked
  }
  // The try is counted before the PIN is compared, and given back when it
  // was right: a key that cannot save its counter (a full disk, a read-only
  // folder) refuses to compare at all, so no guess goes uncounted.
  const ULONG before = p.retriesLeft;
  p.retriesLeft -= 1;
  if (!SaveApp(app->dir, rec)) {
    if (retries) *retries = before;
    return SAR_WRITEFILEERR;
  }
  if (PinMatches(p.digest, pin)) {
    p.retriesLeft = p.maxRetries;
    // When this save fails the try stays counted; the PIN was right all the same.
    const bool restored = SaveApp(app->dir, rec);
    if (retries) *retries = restored ? p.maxRetries : before - 1;
    verified = true;
    return SAR_OK;
  }
  if (retries) *retries = p.retriesLeft;
  return p.retriesLeft == 0 ? SAR_PIN_LOCKED : SAR_PIN_INCORRECT;
}

ULONG GetPINInfo(HAPPLICATION h, ULONG type, ULONG* max, ULONG* left, BOOL* isDefault) {
  Application* app = FindApp(h);
  if (!app) return SAR_INVALIDHANDLEERR;
  if (type != USER_TYPE && type != ADMIN_TYPE) return SAR_USER_TYPE_INVALID;
  if (!max || !left) return SAR_INVALIDPARAMERR;
  AppRecord rec;
  if (!LoadApp(app->dir, &rec)) return SAR_USER_PIN_NOT_INITIALIZED;
  const PinRecord& p = type == USER_TYPE ? rec.user : rec.admin;
  *max = p.maxRetries;
  *left = p.retriesLeft;
  if (isDefault) *isDefault = FALSE;
  return SAR_OK;
}

}  // namespace
}  // namespace skfapi

using namespace skfapi;

SKF_EXPORT ULONG DEVAPI SKF_EnumDev(BOOL bPresent, LPSTR szNameList, ULONG* pulSize) {
  SKF_RESULT(EnumDev(bPresent, szNameList, pulSize));
}
SKF_EXPORT ULONG DEVAPI SKF_ConnectDev(LPSTR szName, DEVHANDLE* phDev) {
  SKF_RESULT(ConnectDev(szName, phDev));
}
SKF_EXPORT ULONG DEVAPI SKF_DisConnectDev(DEVHANDLE hDev) { SKF_RESULT(DisConnectDev(hDev)); }
SKF_EXPORT ULONG DEVAPI SKF_GetDevState(LPSTR szDevName, ULONG* pulDevState) {
  SKF_RESULT(GetDevState(szDevName, pulDevState));
}
SKF_EXPORT ULONG DEVAPI SKF_GetDevInfo(DEVHANDLE hDev, DEVINFO* pDevInfo) {
  SKF_RESULT(GetDevInfo(hDev, pDevInfo));
}
SKF_EXPORT ULONG DEVAPI SKF_ClearSecureState(HAPPLICATION hApplication) {
  SKF_RESULT(ClearSecureState(hApplication));
}
SKF_EXPORT ULONG DEVAPI SKF_GetPINInfo(HAPPLICATION hApplication, ULONG ulPINType,
                                       ULONG* pulMaxRetryCount, ULONG* pulRemainRetryCount,
                                       BOOL* pbDefaultPin) {
  SKF_RESULT(GetPINInfo(hApplication, ulPINType, pulMaxRetryCount, pulRemainRetryCount,
                        pbDefaultPin));
}
SKF_EXPORT ULONG DEVAPI SKF_VerifyPIN(HAPPLICATION hApplication, ULONG ulPINType, LPSTR szPIN,
                                      ULONG* pulRetryCount) {
  SKF_RESULT(VerifyPIN(hApplication, ulPINType, szPIN, pulRetryCount));
}
SKF_EXPORT ULONG DEVAPI SKF_EnumApplication(DEVHANDLE hDev, LPSTR szAppName, ULONG* pulSize) {
  SKF_RESULT(EnumApplication(hDev, szAppName, pulSize));
}
SKF_EXPORT ULONG DEVAPI SKF_OpenApplication(DEVHANDLE hDev, LPSTR szAppName,
                                            HAPPLICATION* phApplication) {
  SKF_RESULT(OpenApplication(hDev, szAppName, phApplication));
}
SKF_EXPORT ULONG DEVAPI SKF_CloseApplication(HAPPLICATION hApplication) {
  SKF_RESULT(CloseApplication(hApplication));
}
