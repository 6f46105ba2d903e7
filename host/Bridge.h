// The browser bridge commands: thin fronts over bridge/.
#pragma once

#include <span>

namespace tolmix::host {

// tolmix bridge [--port N | --dispatcher SOCKET] [--idle SECONDS] [--call-timeout SECONDS]
int RunBridge(std::span<const char* const> args);
extern const char kBridgeUsage[];

// tolmix dispatcher [--port N --socket PATH]: owns the bridge's address for
// every user of the machine (bridge/Dispatcher.h)
int RunDispatcherCommand(std::span<const char* const> args);
extern const char kDispatcherUsage[];

// tolmix worker --origin ORIGIN --fd N (started by the bridge)
int RunWorkerCommand(std::span<const char* const> args);
extern const char kWorkerUsage[];

// tolmix origins list | allow ORIGIN | deny ORIGIN | revoke ORIGIN
int RunOrigins(std::span<const char* const> args);
extern const char kOriginsUsage[];

}  // namespace tolmix::host
