// `tolmix dispatcher`: the one owner of the bridge's address for every user
// of the machine.  Installed, the system's tolmix-dispatcher.socket holds
// 127.0.0.1:26410 and [::1]:26410 from boot (no user can take them first)
// and /run/tolmix/dispatcher.sock; tolmix-dispatcher.service runs this as
// an unprivileged user of its own, with no keys, no files and no state but
// the list of registered bridges.
//
// Each user's bridge (`tolmix bridge --dispatcher SOCKET`, the user unit
// tolmix-bridge.service) connects to the Unix socket, which tells the
// dispatcher its user (SO_PEERCRED), and reads one line,
// "tolmix-dispatcher PORT IPV6\n".  For each TCP connection the dispatcher
// asks the kernel which user's socket is on the other end (socket
// diagnostics, bridge/SockDiag.h) and hands the connection to that user's
// bridge (SCM_RIGHTS, one byte per descriptor); a user with no bridge
// registered, and a connection whose owner cannot be told (bridge/PeerUser.h),
// get a one-line 503 and the connection closed.  What each user may hold
// of its descriptors is bounded (bridge/BridgeTable.h), and its log lines
// are limited per user and kind.  It never reads a request: nothing a page
// sends reaches it.
#pragma once

#include <string>

namespace tolmix::bridge {

struct DispatcherOptions {
  // Empty SOCKET: serve the sockets the service manager hands over
  // (LISTEN_FDS: 127.0.0.1, optionally [::1], and one Unix socket).
  // Otherwise bind 127.0.0.1:PORT, [::1]:PORT (where there is an IPv6
  // loopback; 0 takes a free port) and the Unix socket SOCKET (0666).
  unsigned port = 26410;
  std::string socket;
};

// Serves until SIGTERM or SIGINT (status 0); 1 when the sockets cannot be
// had.  Prints "listening on http://127.0.0.1:PORT" once it serves.
int RunDispatcher(const DispatcherOptions& options);

}  // namespace tolmix::bridge
