// Which local user opened a loopback TCP connection.  TCP has no
// SO_PEERCRED; the kernel knows the peer's own socket, whose local address
// is our remote one and the other way round, and the user that created it.
// It is asked through its socket diagnostics (bridge/SockDiag.h), one
// lookup per connection; a kernel without them is read from its tables
// (/proc/net/tcp and tcp6).
#pragma once

#include <netinet/in.h>
#include <sys/types.h>

#include <optional>
#include <string_view>

namespace tolmix::bridge {

// The user owning the socket whose local end is PEER and whose remote end is
// LOCAL (both IPv4, network byte order), or nullopt when the tables hold no
// such socket (the peer has gone, or it is not on this machine) or its
// owner cannot be read: a socket its process has closed lingers in FIN-WAIT
// or TIME-WAIT with no inode and is reported as user 0's.  Never user 0 for
// a socket that is not root's.
std::optional<uid_t> PeerUid(const sockaddr_in& local, const sockaddr_in& peer);

// The same for an IPv6 connection (the bridge also listens on ::1, where
// "localhost" leads first): the tcp6 table.
std::optional<uid_t> PeerUid(const sockaddr_in6& local, const sockaddr_in6& peer);

// The same over the text of a table in the /proc/net/tcp form (tcp6 rows
// with IPv4-mapped addresses included), for tests.
std::optional<uid_t> FindPeerUid(std::string_view table, const sockaddr_in& local,
                                 const sockaddr_in& peer);
std::optional<uid_t> FindPeerUid(std::string_view table, const sockaddr_in6& local,
                                 const sockaddr_in6& peer);

}  // namespace tolmix::bridge
