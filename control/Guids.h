// Fixed identities of the control module.  Chosen once; registered
// clients and pages depend on them, so they never change.
#pragma once

#include "platform/Com.h"

namespace tolmix::control {

// Type library TOLMIXLib, version 1.0.
// {531930F0-6F49-49EE-A212-4954B7013872}
inline constexpr platform::GUID LIBID_TOLMIXLib = {
    0x531930F0, 0x6F49, 0x49EE, {0xA2, 0x12, 0x49, 0x54, 0xB7, 0x01, 0x38, 0x72}};

// Dispatch interface _DTOLMIX.
// {56D9A494-28EC-4049-B14A-921514255F63}
inline constexpr platform::IID DIID__DTOLMIX = {
    0x56D9A494, 0x28EC, 0x4049, {0xB1, 0x4A, 0x92, 0x15, 0x14, 0x25, 0x5F, 0x63}};

// Event interface _DTOLMIXEvents (no events).
// {C3595E9B-C46E-494F-9835-2DD0B10D3204}
inline constexpr platform::IID DIID__DTOLMIXEvents = {
    0xC3595E9B, 0xC46E, 0x494F, {0x98, 0x35, 0x2D, 0xD0, 0xB1, 0x0D, 0x32, 0x04}};

// Coclass TOLMIX: the control, ProgID "TOLMIX.TOLMIXCtrl.1".
// {8A436BFA-A8D7-4341-BFFA-D55C5C80621D}
inline constexpr platform::CLSID CLSID_TOLMIX = {
    0x8A436BFA, 0xA8D7, 0x4341, {0xBF, 0xFA, 0xD5, 0x5C, 0x5C, 0x80, 0x62, 0x1D}};

// Property page, ProgID "TOLMIX.TOLMIXPropPage.1".
// {C3E9B560-7142-41B8-9634-EF256E46B639}
inline constexpr platform::CLSID CLSID_TOLMIXPropPage = {
    0xC3E9B560, 0x7142, 0x41B8, {0x96, 0x34, 0xEF, 0x25, 0x6E, 0x46, 0xB6, 0x39}};

}  // namespace tolmix::control
