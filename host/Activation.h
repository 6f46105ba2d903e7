// Object creation through the registry, as CoCreateInstance does it for an
// in-process server: ProgID -> "ProgID\CLSID" -> "CLSID\{...}\InprocServer32"
// -> dlopen -> DllGetClassObject -> IClassFactory::CreateInstance.
// A server module, once loaded, stays loaded for the rest of the process.
#pragma once

#include <string>
#include <string_view>

#include "platform/Com.h"

namespace tolmix::host {

// The registry read is the classes root: the machine-wide file
// (platform::MachineRegistryPath()) with the user's (platform::RegistryPath())
// over it, so a class registered for the machine needs no step per user.
//
// Creates the class registered under PROGID and hands out IID in *OUT (one
// reference, the caller's).  On failure *OUT is null, the HRESULT says what
// failed (REGDB_E_CLASSNOTREG for a ProgID or class not in the registry,
// CO_E_DLLNOTFOUND for a module that cannot be loaded, or the server's own)
// and *ERROR is a sentence for the user naming the ProgID.
platform::HRESULT CreateObjectByProgId(std::string_view progId, const platform::IID& iid,
                                       void** out, std::string* error);

// The same from a class ID.
platform::HRESULT CreateObjectByClsid(const platform::CLSID& clsid, const platform::IID& iid,
                                      void** out, std::string* error);

// Loads the server MODULE (kept loaded) and returns its export NAME, or
// null with *ERROR.
void* ServerExport(const std::string& module, const char* name, std::string* error);

// The server `register` uses when none is named: the build tree's
// libtolmix.so, or the installed one (InstallLayout.h).
std::string DefaultServerModule();

inline constexpr platform::HRESULT REGDB_E_CLASSNOTREG = platform::MakeHResult(0x80040154);
inline constexpr platform::HRESULT CO_E_DLLNOTFOUND = platform::MakeHResult(0x800401F8);

}  // namespace tolmix::host
