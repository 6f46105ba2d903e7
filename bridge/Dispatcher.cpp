#include "bridge/Dispatcher.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <optional>
#include <vector>

#include "bridge/BridgeTable.h"
#include "bridge/LogThrottle.h"
#include "bridge/PeerUser.h"
#include "platform/SocketActivation.h"

namespace tolmix::bridge {
namespace {

volatile sig_atomic_t stopping = 0;
void OnStop(int) { stopping = 1; }

constexpr char kNoBridge[] =
    "HTTP/1.1 503 Service Unavailable\r\nContent-Type: text/plain; charset=utf-8\r\n"
    "Connection: close\r\nContent-Length: 51\r\n\r\n"
    "refused: no tolmix bridge is running for this user\n";

int Listening(int family, const sockaddr* at, socklen_t len, bool v6only) {
  const int fd = socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  const int one = 1;
  if (family != AF_UNIX) setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (v6only) setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
  if (bind(fd, at, len) != 0 || listen(fd, SOMAXCONN) != 0) {
    const int saved = errno;
    close(fd);
    errno = saved;
    return -1;
  }
  return fd;
}

// The user on the far end of the TCP connection FD.
std::optional<uid_t> UserOf(int fd) {
  sockaddr_storage local{}, peer{};
  socklen_t l1 = sizeof local, l2 = sizeof peer;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&local), &l1) != 0 ||
      getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &l2) != 0 || local.ss_family != peer.ss_family) {
    return std::nullopt;
  }
  if (local.ss_family == AF_INET) {
    return PeerUid(reinterpret_cast<sockaddr_in&>(local), reinterpret_cast<sockaddr_in&>(peer));
  }
  if (local.ss_family == AF_INET6) {
    return PeerUid(reinterpret_cast<sockaddr_in6&>(local), reinterpret_cast<sockaddr_in6&>(peer));
  }
  return std::nullopt;
}

constexpr char kBusy[] =
    "HTTP/1.1 503 Service Unavailable\r\nContent-Type: text/plain; charset=utf-8\r\n"
    "Connection: close\r\nContent-Length: 56\r\n\r\n"
    "refused: this user's tolmix bridge is not taking calls\n";

// The kinds of the dispatcher's log lines, each said at most once a second
// per user (KeyedSometimes).
enum Kind { kRegistered, kReplaced, kRefusedBusy, kRefusedFull, kDropped, kGone, kFailed, kUnknown,
            kAccept };

// What the dispatcher may hold: as many descriptors as the hard limit
// allows (systemd's default soft limit is 1,024).
uint64_t RaiseFileLimit() {
  rlimit files{};
  if (getrlimit(RLIMIT_NOFILE, &files) != 0) return 1024;
  if (files.rlim_cur < files.rlim_max) {
    files.rlim_cur = files.rlim_max;
    setrlimit(RLIMIT_NOFILE, &files);
  }
  return files.rlim_cur;
}

class Dispatcher {
 public:
  explicit Dispatcher(uint64_t limit) : limit_(limit), bridges_(limit) {}

  int Run(const DispatcherOptions& o) {
    if (!Open(o)) return 1;
    struct sigaction sa{};
    sa.sa_handler = OnStop;  // no SA_RESTART: poll returns
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
    printf("listening on http://127.0.0.1:%u\n", port_);
    fflush(stdout);
    const uint64_t limit = limit_;
    fprintf(stderr,
            "tolmix dispatcher: %llu descriptors: each user's bridge may have %u connections "
            "handed and not taken; %u users at once\n",
            static_cast<unsigned long long>(limit), BridgeTable::InFlightShare(limit),
            BridgeTable::UserSlots(limit));
    while (!stopping) Once();
    fprintf(stderr, "tolmix dispatcher: stopping\n");
    return 0;
  }

 private:
  bool Open(const DispatcherOptions& o) {
    if (o.socket.empty()) {
      platform::ActivatedSockets a;
      std::string error;
      if (!platform::TakeActivatedLoopbackSockets(&a, &error, true) || a.v4 < 0 || a.local < 0) {
        fprintf(stderr, "tolmix dispatcher: %s\n",
                error.empty() ? "not started on its sockets (tolmix-dispatcher.socket)" : error.c_str());
        return false;
      }
      v4_ = a.v4, v6_ = a.v6, local_ = a.local;
    } else {
      sockaddr_in at{};
      at.sin_family = AF_INET;
      at.sin_port = htons(static_cast<uint16_t>(o.port));
      at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      v4_ = Listening(AF_INET, reinterpret_cast<sockaddr*>(&at), sizeof at, false);
      if (v4_ < 0) return Fail("127.0.0.1:" + std::to_string(o.port));
      socklen_t len = sizeof at;
      getsockname(v4_, reinterpret_cast<sockaddr*>(&at), &len);
      sockaddr_in6 at6{};
      at6.sin6_family = AF_INET6;
      at6.sin6_port = at.sin_port;
      at6.sin6_addr = in6addr_loopback;
      v6_ = Listening(AF_INET6, reinterpret_cast<sockaddr*>(&at6), sizeof at6, true);
      if (v6_ < 0 && errno == EADDRINUSE) return Fail("[::1]:" + std::to_string(ntohs(at.sin_port)));
      sockaddr_un un{};
      un.sun_family = AF_UNIX;
      if (o.socket.size() >= sizeof un.sun_path) return Fail(o.socket);
      memcpy(un.sun_path, o.socket.c_str(), o.socket.size());
      struct stat st;
      if (lstat(o.socket.c_str(), &st) == 0 && S_ISSOCK(st.st_mode)) unlink(o.socket.c_str());
      local_ = Listening(AF_UNIX, reinterpret_cast<sockaddr*>(&un), sizeof un, false);
      if (local_ < 0 || chmod(o.socket.c_str(), 0666) != 0) return Fail(o.socket);
    }
    for (int fd : {v4_, v6_, local_}) {
      if (fd >= 0) fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    }
    sockaddr_in at{};
    socklen_t len = sizeof at;
    getsockname(v4_, reinterpret_cast<sockaddr*>(&at), &len);
    port_ = ntohs(at.sin_port);
    return true;
  }

  bool Fail(const std::string& what) {
    fprintf(stderr, "tolmix dispatcher: cannot listen on %s: %s\n", what.c_str(), strerror(errno));
    return false;
  }

  void Once() {
    std::vector<pollfd> fds;
    const auto now = std::chrono::steady_clock::now();
    const bool paused = now < pausedUntil_;
    for (int fd : {v4_, v6_, local_}) {
      if (fd >= 0 && !paused) fds.push_back({fd, POLLIN, 0});
    }
    const auto live = bridges_.Live();
    for (const auto& [uid, fd] : live) fds.push_back({fd, POLLIN, 0});
    const size_t first = fds.size() - live.size();
    const int timeout = paused || pending_ ? 100 : -1;
    const int ready = poll(fds.data(), fds.size(), timeout);
    if (ready > 0) {
      for (size_t i = first; i < fds.size(); ++i) {
        // A registered bridge sends nothing: readable means it has gone.
        if (fds[i].revents) Drop(live[i - first].first, kGone, "gone");
      }
      for (size_t i = 0; i < first; ++i) {
        if (!(fds[i].revents & POLLIN)) continue;
        if (fds[i].fd == local_) {
          Register();
        } else {
          Dispatch(fds[i].fd);
        }
      }
    }
    std::vector<uid_t> dropped;
    pending_ = bridges_.Sweep(&dropped);
    for (uid_t uid : dropped) {
      log_.Log(uid, kDropped, "the bridge of user " + std::to_string(uid) +
                                  " did not take its connections in time; dropped");
    }
  }

  // Accepts what waits on LISTENER; out of descriptors, it pauses a moment
  // and accepts again, whatever the error.
  int Accept(int listener) {
    const int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0 && errno != EAGAIN && errno != EINTR && errno != ECONNABORTED) {
      log_.Log(0, kAccept, std::string("cannot accept: ") + strerror(errno) + "; accepting again shortly");
      pausedUntil_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(100);
    }
    return fd;
  }

  void Dispatch(int listener) {
    for (int n = 0; n < 64; ++n) {
      const int conn = Accept(listener);
      if (conn < 0) return;
      // A connection whose owner cannot be told (a socket its sender has
      // closed, say) is nobody's: never handed to anyone's bridge.
      const std::optional<uid_t> uid = UserOf(conn);
      BridgeTable::Handed h = uid ? bridges_.Hand(*uid, conn) : BridgeTable::Handed::kNoBridge;
      if (!uid) log_.Log(~0ull, kUnknown, "a connection whose owner cannot be told refused");
      if (h == BridgeTable::Handed::kFailed) Drop(*uid, kFailed, "unreachable");
      if (h != BridgeTable::Handed::kHanded) {
        const bool busy = h == BridgeTable::Handed::kBusy;
        (void)!send(conn, busy ? kBusy : kNoBridge, busy ? sizeof kBusy - 1 : sizeof kNoBridge - 1,
                    MSG_DONTWAIT | MSG_NOSIGNAL);
        shutdown(conn, SHUT_WR);
      }
      close(conn);
    }
  }

  void Register() {
    const int fd = Accept(local_);
    if (fd < 0) return;
    ucred cred{};
    socklen_t len = sizeof cred;
    const std::string hello =
        "tolmix-dispatcher " + std::to_string(port_) + " " + (v6_ >= 0 ? "1" : "0") + "\n";
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 ||
        send(fd, hello.data(), hello.size(), MSG_DONTWAIT | MSG_NOSIGNAL) !=
            static_cast<ssize_t>(hello.size())) {
      close(fd);
      return;
    }
    // The user's latest bridge is the one served.
    const std::string who = "the bridge of user " + std::to_string(cred.uid);
    switch (bridges_.Register(cred.uid, fd)) {
      case BridgeTable::Registered::kNew: log_.Log(cred.uid, kRegistered, who + " registered"); break;
      case BridgeTable::Registered::kReplaced:
        log_.Log(cred.uid, kReplaced, who + " registered; the one before it replaced");
        break;
      case BridgeTable::Registered::kRefusedBusy:
        log_.Log(cred.uid, kRefusedBusy,
                 who + " refused: its earlier registrations still hold connections they did not take");
        break;
      case BridgeTable::Registered::kRefusedFull:
        log_.Log(cred.uid, kRefusedFull, who + " refused: as many users as the descriptors allow");
        break;
    }
  }

  void Drop(uid_t uid, Kind kind, const char* why) {
    bridges_.Gone(uid);
    log_.Log(uid, kind, "the bridge of user " + std::to_string(uid) + " " + why);
  }

  int v4_ = -1, v6_ = -1, local_ = -1;
  unsigned port_ = 0;
  uint64_t limit_;
  BridgeTable bridges_;
  bool pending_ = false;  // connections in flight: sweep soon
  KeyedSometimes log_{"tolmix dispatcher"};
  std::chrono::steady_clock::time_point pausedUntil_{};
};

}  // namespace

int RunDispatcher(const DispatcherOptions& options) {
  Dispatcher d(RaiseFileLimit());
  return d.Run(options);
}

}  // namespace tolmix::bridge
