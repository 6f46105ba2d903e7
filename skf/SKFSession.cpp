// CSKFDevice: the session on a USB key -- device, application, container,
// certificate.  Name lists are in the standard's form: names each ended by
// a NUL, the list ended by a second NUL, the length counting all of it.
#include <algorithm>
#include <cstring>
#include <string_view>

#include <openssl/crypto.h>

#include "skf/SKFDevice.h"
#include "util/FixedText.h"

namespace tolmix {
namespace {

constexpr char kEmptyDeviceListLabel[] = "SKF_EnumDev: ulNameLen <= 1";
constexpr char kEmptyApplicationListLabel[] = "SKF_EnumApplication: ulAppNameLen <= 1";
constexpr char kEmptyContainerListLabel[] = "SKF_EnumContainer: ulNameLen <= 1";

// The first name of LIST (LENGTH bytes), never read past LENGTH.
std::string_view FirstName(const char* list, ULONG length) {
  return std::string_view(list, strnlen(list, length));
}

}  // namespace

ULONG CSKFDevice::EnumDevices(char* list, ULONG* size) {
  if (m_hDev != nullptr && m_bApplicationsListed) return SAR_OK;
  if (!Ready()) return DEVERR_LOAD;
  char local[kListSize] = {};
  ULONG length = kListSize;
  // SKF_EnumDev prints nothing of its own: its failures reach the caller.
  ULONG code = Invoke(nullptr, [&] { return Fn<decltype(&SKF_EnumDev)>(kEnumDev)(TRUE, local, &length); });
  if (code != SAR_OK) return code;
  length = std::min(length, kListSize);  // a library may not report more than it was given
  if (length <= 1) {
    PrintResult(kEmptyDeviceListLabel, DEVERR_EMPTY_LIST);
    return DEVERR_EMPTY_LIST;
  }
  if (size == nullptr) return DEVERR_BUFFER_TOO_SMALL;
  if (list == nullptr || *size < length) {
    *size = length;
    return DEVERR_BUFFER_TOO_SMALL;
  }
  *size = length;
  memcpy(list, local, length);
  CopyBounded(m_szDeviceName, FirstName(local, length));
  return SAR_OK;
}

ULONG CSKFDevice::ConnectAndListApplications(char* list, ULONG* size, const char* device) {
  if (m_hDev != nullptr && m_bApplicationsListed) return SAR_OK;
  if (!Ready()) return DEVERR_LOAD;
  if (device != nullptr) CopyBounded(m_szDeviceName, device);
  ULONG code = Invoke("SKF_ConnectDev", [&] {
    return Fn<decltype(&SKF_ConnectDev)>(kConnectDev)(m_szDeviceName, &m_hDev);
  });
  if (code != SAR_OK) return code;

  char local[kListSize] = {};
  ULONG length = kListSize;
  code = Invoke("SKF_EnumApplication", [&] {
    return Fn<decltype(&SKF_EnumApplication)>(kEnumApplication)(m_hDev, local, &length);
  });
  if (code != SAR_OK) {
    m_bApplicationsListed = 0;
    return code;
  }
  length = std::min(length, kListSize);
  if (length <= 1) {
    PrintResult(kEmptyApplicationListLabel, DEVERR_EMPTY_LIST);
    m_bApplicationsListed = 0;
    return DEVERR_EMPTY_LIST;
  }
  // A buffer exactly as large as the list is left untouched, yet the call
  // succeeds: callers size their buffers above the longest list.
  if (list != nullptr && size != nullptr && *size > length) memcpy(list, local, length);
  if (size != nullptr) *size = length;
  m_bApplicationsListed = 1;
  return SAR_OK;
}

ULONG CSKFDevice::OpenApplicationAndVerifyPin(const char* pin, ULONG pin_type,
                                              const char* application) {
  ULONG code = OpenApplication(application);
  return code != SAR_OK ? code : VerifyPin(pin, pin_type);
}

ULONG CSKFDevice::OpenApplication(const char* application) {
  if (m_hDev == nullptr) return DEVERR_NOT_OPEN;
  if (application != nullptr) CopyBounded(m_szApplicationName, application);
  ULONG code = Invoke("SKF_OpenApplication", [&] {
    return Fn<decltype(&SKF_OpenApplication)>(kOpenApplication)(m_hDev, m_szApplicationName,
                                                                &m_hApplication);
  });
  if (code != SAR_OK) CloseContainerAndLogout();
  return code;
}

ULONG CSKFDevice::VerifyPin(const char* pin, ULONG pin_type) {
  if (m_hApplication == nullptr) return DEVERR_NOT_OPEN;
  // The library takes a writable text; the caller's PIN stays untouched.
  char pin_copy[kNameSize] = {};
  CopyBounded(pin_copy, pin);
  ULONG retry = 0;
  ULONG code = Invoke("SKF_VerifyPin", [&] {
    return Fn<decltype(&SKF_VerifyPIN)>(kVerifyPIN)(m_hApplication, pin_type, pin_copy, &retry);
  });
  OPENSSL_cleanse(pin_copy, sizeof pin_copy);
  m_ulPinRetryCount = retry;
  if (code != SAR_OK) CloseContainerAndLogout();
  return code;
}

ULONG CSKFDevice::GetPinRetriesLeft(ULONG pin_type, ULONG* left) {
  if (m_hApplication == nullptr) return DEVERR_NOT_OPEN;
  ULONG max = 0, remaining = 0;
  BOOL isDefault = FALSE;
  ULONG code = Invoke(nullptr, [&] {
    return Fn<decltype(&SKF_GetPINInfo)>(kGetPINInfo)(m_hApplication, pin_type, &max, &remaining,
                                                      &isDefault);
  });
  if (code == SAR_OK && left != nullptr) *left = remaining;
  return code;
}

ULONG CSKFDevice::EnumContainers(char* list, ULONG* size) {
  if (m_hApplication == nullptr) return DEVERR_NOT_OPEN;
  // The library may write as many bytes as the length says: a caller's
  // buffer is described by the caller's size, a size query by the local
  // list size.
  char* target = size != nullptr ? list : nullptr;
  ULONG length = target != nullptr ? *size : kListSize;
  ULONG code = Invoke("SKF_EnumContainer", [&] {
    return Fn<decltype(&SKF_EnumContainer)>(kEnumContainer)(m_hApplication, target, &length);
  });
  if (code != SAR_OK) return code;
  if (length <= 1) {
    PrintResult(kEmptyContainerListLabel, DEVERR_EMPTY_LIST);
    return DEVERR_EMPTY_LIST;
  }
  if (size != nullptr) *size = length;
  return SAR_OK;
}

ULONG CSKFDevice::CreateOrOpenContainer(const char* name, bool create) {
  if (m_hApplication == nullptr) return DEVERR_NOT_OPEN;
  if (name != nullptr) CopyBounded(m_szContainerName, name);
  auto open = [&] {
    return Fn<decltype(&SKF_OpenContainer)>(kOpenContainer)(m_hApplication, m_szContainerName,
                                                            &m_hContainer);
  };
  if (!create) return Invoke("SKF_OpenContainer", open);
  // One step, one line: creation, falling back to opening an existing
  // container; the line carries the code of the last call.
  return Invoke("SKF_CreateContainer", [&] {
    ULONG code = Fn<decltype(&SKF_CreateContainer)>(kCreateContainer)(
        m_hApplication, m_szContainerName, &m_hContainer);
    return code == SAR_OK ? code : open();
  });
}

ULONG CSKFDevice::ExportCertificate(BOOL sign, BYTE* cert, ULONG* len) {
  if (m_hContainer == nullptr) return DEVERR_NOT_OPEN;
  return Invoke("SKF_ExportCertificate", [&] {
    return Fn<decltype(&SKF_ExportCertificate)>(kExportCertificate)(m_hContainer, sign, cert, len);
  });
}

ULONG CSKFDevice::CloseContainer() {
  if (m_hContainer != nullptr) {
    Invoke(nullptr, [&] { return Fn<decltype(&SKF_CloseContainer)>(kCloseContainer)(m_hContainer); });
    m_hContainer = nullptr;
  }
  return SAR_OK;
}

ULONG CSKFDevice::CloseContainerAndLogout() {
  CloseContainer();
  if (m_hApplication != nullptr) {
    Invoke(nullptr, [&] {
      return Fn<decltype(&SKF_ClearSecureState)>(kClearSecureState)(m_hApplication);
    });
    m_hApplication = nullptr;
  }
  return SAR_OK;
}

ULONG CSKFDevice::ClearApplicationsListed() {
  m_bApplicationsListed = 0;
  return SAR_OK;
}

}  // namespace tolmix
