// `tolmix register [--machine] [MODULE]` / `tolmix unregister [--machine]
// [MODULE]`: loads the in-process server MODULE (default
// DefaultServerModule()) and calls its DllRegisterServer /
// DllUnregisterServer, which write the user's registry file
// ($TOLMIX_REGISTRY), or with --machine the machine-wide one
// (platform::MachineRegistryPath(), whose folder is made readable by all).
#pragma once

#include <span>
#include <string>

namespace tolmix::host {

int RunRegister(std::span<const char* const> args);
int RunUnregister(std::span<const char* const> args);
extern const char kRegisterUsage[];
extern const char kUnregisterUsage[];

// Registers the server MODULE ("" for DefaultServerModule()) into the
// registry file REGISTRY, as `TOLMIX_REGISTRY=REGISTRY tolmix register
// MODULE` does: the module is loaded and its DllRegisterServer called with
// $TOLMIX_REGISTRY pointing at REGISTRY for the call (and put back after).
// True, or false with *ERROR saying why.  For a single-threaded host.
bool RegisterServerInto(const std::string& registry, std::string* error,
                        const std::string& module = "");

}  // namespace tolmix::host
