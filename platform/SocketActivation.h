// A listening socket handed over by the service manager that started this
// process (systemd socket activation: LISTEN_PID names this process,
// LISTEN_FDS counts the descriptors, which start at 3).
#pragma once

#include <string>

namespace tolmix::platform {

// The listening socket handed to this process, when it is exactly one TCP
// socket bound to 127.0.0.1: its descriptor (close-on-exec from now on).
// -1 with *ERROR empty when nothing was handed over (no variables, or they
// name another process); -1 with *ERROR saying why when what was handed is
// not one listening socket on 127.0.0.1.  The variables are removed in
// every case, so child processes never take them for their own.
int TakeActivatedLoopbackSocket(std::string* error);

}  // namespace tolmix::platform
