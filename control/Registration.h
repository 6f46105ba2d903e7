// Self-registration of the in-process server into the registry stand-in
// (platform/Registry.h): what DllRegisterServer and DllUnregisterServer do,
// with the registry file and the module's path given, so the server
// exports, the host and tests share one implementation.
//
// Each step changes the registry file on its own (lock, read, write), as
// each registry write of a registration stands on its own; a step that
// fails ends the run and leaves the steps before it in place.
#pragma once

#include <string>

#include "platform/Com.h"

namespace tolmix::control {

// Controls safely initializable from persistent data.
// {7DD95802-9882-11CF-9FA9-00AA006C42C4}
inline constexpr platform::GUID CATID_SafeForInitializing = {
    0x7DD95802, 0x9882, 0x11CF, {0x9F, 0xA9, 0x00, 0xAA, 0x00, 0x6C, 0x42, 0xC4}};
// Controls safely scriptable.
// {7DD95801-9882-11CF-9FA9-00AA006C42C4}
inline constexpr platform::GUID CATID_SafeForScripting = {
    0x7DD95801, 0x9882, 0x11CF, {0x9F, 0xA9, 0x00, 0xAA, 0x00, 0x6C, 0x42, 0xC4}};

inline constexpr uint32_t kControlMiscStatus = 0x20191;

// Registers the type library (carried by MODULE), the control and the page
// (in-process server MODULE, apartment threading) and the two safety
// categories with the control in them, into the registry file REGISTRY.
// S_OK; SELFREG_E_TYPELIB or SELFREG_E_CLASS when those steps fail; the
// HRESULT of a failed category step (E_FAIL).  Registering again rewrites
// the same entries and succeeds.
platform::HRESULT RegisterServer(const std::string& registry, const std::string& module);

// Removes the type library and both classes (the control's ProgID with it)
// from REGISTRY: S_OK, SELFREG_E_TYPELIB or SELFREG_E_CLASS.  The component
// categories stay.  A class that was not registered is not an error.
platform::HRESULT UnregisterServer(const std::string& registry);

// Creates component category CATID with DESCRIPTION (cut to 127
// characters) under locale 0x0409: S_OK or E_FAIL.
platform::HRESULT CreateComponentCategory(const std::string& registry,
                                          const platform::GUID& catid,
                                          const std::string& description);

// Marks CLSID as implementing CATID: S_OK or E_FAIL.
platform::HRESULT RegisterCLSIDInCategory(const std::string& registry,
                                          const platform::CLSID& clsid,
                                          const platform::GUID& catid);

}  // namespace tolmix::control
