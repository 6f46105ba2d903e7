// The process's memory of refused PINs as a device layer sees it: before a
// layer presents a PIN to a device it asks RefusedBefore, and when the
// device refuses the PIN (wrong, of a length it does not take, or locked) it
// calls Remember.  The memory itself lives in the system (engine/
// PinRefusals.h); engine modules, which may not include it, receive this
// table of two functions through a control command ("PIN_GUARD" of the
// pkcs11_rsa_key engine).  Header-only for that reason.
//
// DEVICE names one device as a byte string of DEVICE_LEN bytes (it may hold
// NULs): for a PKCS#11 token its module path, serial number and label
// (PinGuardP11Device), for an SKF key its library and device name.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tolmix {

struct PinGuard {
  // Non-zero when DEVICE refused PIN before in this process.
  int (*refused_before)(const char* device, size_t device_len, const char* pin) = nullptr;
  void (*remember)(const char* device, size_t device_len, const char* pin) = nullptr;
};

// The identity of a PKCS#11 token: the module at MODULE and the token's own
// serial number and label (CK_TOKEN_INFO's blank-padded fields, as read).
inline std::string PinGuardP11Device(std::string_view module, std::string_view serial,
                                     std::string_view label) {
  std::string id = "P11";
  for (std::string_view part : {module, serial, label}) {
    id.push_back('\0');
    id.append(part);
  }
  return id;
}

// The identity of an SKF key: the library at LIBRARY and its device name.
inline std::string PinGuardSkfDevice(std::string_view library, std::string_view device) {
  std::string id = "SKF";
  for (std::string_view part : {library, device}) {
    id.push_back('\0');
    id.append(part);
  }
  return id;
}

}  // namespace tolmix
