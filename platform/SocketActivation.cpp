#include "platform/SocketActivation.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/Env.h"

namespace tolmix::platform {
namespace {

constexpr int kFirstHandedFd = 3;  // SD_LISTEN_FDS_START

// A whole decimal number, or -1.
long WholeNumber(const std::string& text) {
  if (text.empty() || text.size() > 9) return -1;
  long n = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return -1;
    n = n * 10 + (c - '0');
  }
  return n;
}

bool IntOption(int fd, int name, int* value) {
  socklen_t len = sizeof *value;
  return getsockopt(fd, SOL_SOCKET, name, value, &len) == 0;
}

}  // namespace

bool TakeActivatedLoopbackSockets(ActivatedSockets* out, std::string* error, bool withLocal) {
  error->clear();
  *out = ActivatedSockets{};
  const std::string pid = Variable("LISTEN_PID"), fds = Variable("LISTEN_FDS");
  unsetenv("LISTEN_PID");
  unsetenv("LISTEN_FDS");
  unsetenv("LISTEN_FDNAMES");
  if (pid.empty() || fds.empty() || WholeNumber(pid) != static_cast<long>(getpid())) return true;
  const long count = WholeNumber(fds);
  if (count < 1 || count > (withLocal ? 3 : 2)) {
    *error = "the service manager handed LISTEN_FDS=" + fds +
             " sockets; one on 127.0.0.1 and at most one on [::1] are expected";
    return false;
  }
  ActivatedSockets got;
  int port = -1;
  for (int fd = kFirstHandedFd; fd < kFirstHandedFd + count; ++fd) {
    int type = 0, listening = 0;
    sockaddr_storage at{};
    socklen_t len = sizeof at;
    if (!IntOption(fd, SO_TYPE, &type) || type != SOCK_STREAM ||
        !IntOption(fd, SO_ACCEPTCONN, &listening) || listening != 1 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&at), &len) != 0) {
      *error = "a socket handed by the service manager is not a listening TCP socket";
      return false;
    }
    int* slot = nullptr;
    int atPort = -1;
    if (withLocal && at.ss_family == AF_UNIX) {
      if (got.local != -1) {
        *error = "the service manager handed more than one Unix socket";
        return false;
      }
      got.local = fd;
      if (fcntl(fd, F_SETFD, FD_CLOEXEC) != 0) {
        *error = std::string("cannot keep a handed socket from child processes: ") + strerror(errno);
        return false;
      }
      continue;
    }
    if (at.ss_family == AF_INET && len == sizeof(sockaddr_in)) {
      const auto* in = reinterpret_cast<const sockaddr_in*>(&at);
      if (in->sin_addr.s_addr == htonl(INADDR_LOOPBACK)) slot = &got.v4;
      atPort = ntohs(in->sin_port);
    } else if (at.ss_family == AF_INET6 && len == sizeof(sockaddr_in6)) {
      const auto* in6 = reinterpret_cast<const sockaddr_in6*>(&at);
      if (IN6_IS_ADDR_LOOPBACK(&in6->sin6_addr)) slot = &got.v6;
      atPort = ntohs(in6->sin6_port);
    }
    if (slot == nullptr || *slot != -1 || (port != -1 && atPort != port)) {
      *error = "the sockets handed by the service manager are not one listening socket on "
               "127.0.0.1 and at most one on [::1] at the same port";
      return false;
    }
    port = atPort;
    *slot = fd;
    if (fcntl(fd, F_SETFD, FD_CLOEXEC) != 0) {
      *error = std::string("cannot keep a handed socket from child processes: ") + strerror(errno);
      return false;
    }
  }
  if (got.v4 < 0) {
    *error = "the service manager handed no listening socket on 127.0.0.1";
    return false;
  }
  *out = got;
  return true;
}

}  // namespace tolmix::platform
