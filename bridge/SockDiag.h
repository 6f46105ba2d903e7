// The owner of one TCP socket on this machine, asked of the kernel's socket
// diagnostics (NETLINK_SOCK_DIAG) by its four addresses: one exact lookup,
// not a walk through every socket of the machine.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>

namespace tolmix::bridge {

struct SockDiagAnswer {
  bool asked = false;  // false: the kernel offers no socket diagnostics here
  // nullopt: no such socket, or one whose owner cannot be read: a socket
  // its process has closed (no inode; the kernel reports its lingering
  // FIN-WAIT and TIME-WAIT rest, and a half-open connection, with user 0).
  std::optional<uid_t> uid;
  bool found = false;  // a socket with these addresses exists, owner known or not
};

// FAMILY: AF_INET (addresses of 4 bytes) or AF_INET6 (16).  SRC/SPORT: the
// socket's own end, DST/DPORT its peer's (ports and addresses in network
// byte order).
SockDiagAnswer SockDiagUid(int family, const void* src, uint16_t sport, const void* dst,
                           uint16_t dport);

}  // namespace tolmix::bridge
