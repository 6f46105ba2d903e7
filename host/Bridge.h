// The browser bridge commands: thin fronts over bridge/.
#pragma once

#include <span>

namespace tolmix::host {

// tolmix bridge [--port N] [--idle SECONDS]
int RunBridge(std::span<const char* const> args);
extern const char kBridgeUsage[];

// tolmix worker --origin ORIGIN --fd N (started by the bridge)
int RunWorkerCommand(std::span<const char* const> args);
extern const char kWorkerUsage[];

// tolmix origins list | allow ORIGIN | deny ORIGIN | revoke ORIGIN
int RunOrigins(std::span<const char* const> args);
extern const char kOriginsUsage[];

}  // namespace tolmix::host
