// Listening sockets handed over by the service manager that started this
// process (systemd socket activation: LISTEN_PID names this process,
// LISTEN_FDS counts the descriptors, which start at 3).
#pragma once

#include <string>

namespace tolmix::platform {

// What the service manager handed over: a listening TCP socket on
// 127.0.0.1 and, optionally, one on [::1] with the same port.  -1 for a
// socket not handed.
struct ActivatedSockets {
  int v4 = -1;
  int v6 = -1;
  int local = -1;  // a listening Unix socket, where WITH_LOCAL allows one
};

// Takes the listening sockets handed to this process.  True with OUT set
// (both -1 when nothing was handed over, or the variables name another
// process); false with *ERROR saying why when what was handed is not one
// listening socket on 127.0.0.1, optionally with one on [::1] at the same
// port.  The descriptors are close-on-exec from now on, and the variables
// are removed in every case, so child processes never take them for their
// own.
// WITH_LOCAL: one listening Unix stream socket may come as well.
bool TakeActivatedLoopbackSockets(ActivatedSockets* out, std::string* error,
                                  bool withLocal = false);

}  // namespace tolmix::platform
