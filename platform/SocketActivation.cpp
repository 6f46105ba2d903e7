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

int TakeActivatedLoopbackSocket(std::string* error) {
  error->clear();
  const std::string pid = Variable("LISTEN_PID"), fds = Variable("LISTEN_FDS");
  unsetenv("LISTEN_PID");
  unsetenv("LISTEN_FDS");
  unsetenv("LISTEN_FDNAMES");
  if (pid.empty() || fds.empty() || WholeNumber(pid) != static_cast<long>(getpid())) return -1;
  if (WholeNumber(fds) != 1) {
    *error = "the service manager handed LISTEN_FDS=" + fds + " sockets; one is expected";
    return -1;
  }
  const int fd = kFirstHandedFd;
  int type = 0, listening = 0;
  sockaddr_in at{};
  socklen_t len = sizeof at;
  if (!IntOption(fd, SO_TYPE, &type) || type != SOCK_STREAM ||
      !IntOption(fd, SO_ACCEPTCONN, &listening) || listening != 1 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&at), &len) != 0 || len != sizeof at ||
      at.sin_family != AF_INET || at.sin_addr.s_addr != htonl(INADDR_LOOPBACK)) {
    *error = "the socket handed by the service manager is not a listening TCP socket on 127.0.0.1";
    return -1;
  }
  if (fcntl(fd, F_SETFD, FD_CLOEXEC) != 0) {
    *error = std::string("cannot keep the handed socket from child processes: ") + strerror(errno);
    return -1;
  }
  return fd;
}

}  // namespace tolmix::platform
