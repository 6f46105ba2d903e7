#include "bridge/Broker.h"

#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <utility>  // before Asio 1.74: its awaitable.hpp needs std::exchange

#include <boost/asio.hpp>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "bridge/CallRouter.h"
#include "bridge/Cleansing.h"
#include "bridge/HttpFront.h"
#include "bridge/LogThrottle.h"
#include "platform/Env.h"
#include "platform/SocketActivation.h"

namespace tolmix::bridge {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;
using error_code = boost::system::error_code;

namespace {

// After an accept fails (out of descriptors, say) the listener waits this
// long before it accepts again.
constexpr std::chrono::milliseconds kAcceptBackOff{100};

Sometimes g_acceptFailed, g_handOver;

class Broker {
 public:
  explicit Broker(const BrokerOptions& o)
      : options_(o), router_(o.program, o.idle, o.callTimeout), front_(router_), acceptor_(ioc_),
        acceptor6_(ioc_), handed_(ioc_), signals_(ioc_), idleTimer_(ioc_) {}

  int Run() {
    if (!options_.dispatcher.empty()) return Serve(Register());

    // Started by the user's service manager on its socket
    // (tolmix-bridge.socket): serve that one, whatever --port says.
    std::string handed;
    platform::ActivatedSockets activated;
    if (!platform::TakeActivatedLoopbackSockets(&activated, &handed)) {
      fprintf(stderr, "tolmix bridge: %s\n", handed.c_str());
      return 1;
    }
    // With port 0 the system picks a free port for 127.0.0.1, which may be
    // taken on ::1: a few picks before giving up.
    const int attempts = options_.port == 0 && activated.v4 < 0 ? 5 : 1;
    int status = 1;
    for (int i = 1; i <= attempts && status != 0; ++i) status = Listen(activated, i == attempts);
    if (status != 0) return status;
    Accept(acceptor_);
    if (acceptor6_.is_open()) Accept(acceptor6_);
    return Serve(0);
  }

  // Runs the loop once connections come (STATUS 0), until a signal.
  int Serve(int status) {
    if (status != 0) return status;
    signals_.add(SIGTERM);
    signals_.add(SIGINT);
    signals_.async_wait([this](error_code, int sig) {
      fprintf(stderr, "tolmix bridge: signal %d; stopping\n", sig);
      acceptor_.close();
      error_code ignored;
      acceptor6_.close(ignored);
      idleTimer_.cancel();
      ioc_.stop();
    });
    ArmIdleTimer();
    front_.SetAddress(port_, ipv6_);
    printf("listening on http://127.0.0.1:%u\n", port_);
    fflush(stdout);
    ioc_.run();
    router_.Stop();
    // A question to the user may still be open; nothing waits for it (see
    // RunBroker).
    return 0;
  }

  // Takes 127.0.0.1:PORT and [::1]:PORT, or serves the listening sockets
  // there that ACTIVATED hands over.  0, or 1 (said on standard error when
  // LAST) with neither held.
  int Listen(const platform::ActivatedSockets& activated, bool last) {
    error_code ec, ignored;
    acceptor_.close(ignored);
    acceptor6_.close(ignored);
    if (activated.v4 >= 0) {
      acceptor_.assign(tcp::v4(), activated.v4, ec);
    } else {
      tcp::endpoint at(asio::ip::make_address("127.0.0.1"),
                       static_cast<unsigned short>(options_.port));
      acceptor_.open(at.protocol(), ec);
      if (!ec) acceptor_.set_option(asio::socket_base::reuse_address(true), ec);
      if (!ec) acceptor_.bind(at, ec);
      if (!ec) acceptor_.listen(asio::socket_base::max_listen_connections, ec);
    }
    if (ec) {
      fprintf(stderr, "tolmix bridge: cannot listen on 127.0.0.1:%u: %s\n", options_.port,
              ec.message().c_str());
      return 1;
    }
    port_ = acceptor_.local_endpoint().port();
    ipv6_ = false;
    // "localhost" names ::1 first: the bridge holds [::1]:PORT too, so that
    // no other local user can listen there and answer a page that loaded
    // the shim from localhost.  A machine without IPv6 has no ::1 to take.
    if (activated.v6 >= 0) {
      acceptor6_.assign(tcp::v6(), activated.v6, ec);
      if (ec) {
        fprintf(stderr, "tolmix bridge: cannot serve the handed [::1] socket: %s\n",
                ec.message().c_str());
        acceptor_.close(ignored);
        return 1;
      }
      ipv6_ = true;
      return 0;
    }
    tcp::endpoint at6(asio::ip::address_v6::loopback(), static_cast<unsigned short>(port_));
    acceptor6_.open(at6.protocol(), ec);
    if (!ec) acceptor6_.set_option(asio::ip::v6_only(true), ec);
    if (!ec) acceptor6_.set_option(asio::socket_base::reuse_address(true), ec);
    if (!ec) acceptor6_.bind(at6, ec);
    if (!ec) acceptor6_.listen(asio::socket_base::max_listen_connections, ec);
    if (ec == asio::error::address_in_use) {
      if (last) {
        fprintf(stderr, "tolmix bridge: cannot listen on [::1]:%u: %s (another program holds it)\n",
                port_, ec.message().c_str());
      }
      acceptor_.close(ignored);
      acceptor6_.close(ignored);
      return 1;
    }
    if (ec) {
      fprintf(stderr, "tolmix bridge: no IPv6 loopback (%s); serving 127.0.0.1 only\n",
              ec.message().c_str());
      acceptor6_.close(ignored);
      return 0;
    }
    ipv6_ = true;
    return 0;
  }

 private:
  void Accept(tcp::acceptor& acceptor) {
    acceptor.async_accept([this, &acceptor](error_code ec, tcp::socket socket) {
      if (ec == asio::error::operation_aborted || !acceptor.is_open()) return;  // stopped
      if (ec) {
        // Out of descriptors (EMFILE, ENFILE) or any other failure: the
        // listener stays, and accepts again after a pause.
        g_acceptFailed.Log("cannot accept a connection: " + ec.message() + "; accepting again shortly");
        auto timer = std::make_shared<asio::steady_timer>(ioc_, kAcceptBackOff);
        timer->async_wait([this, &acceptor, timer](error_code) {
          if (acceptor.is_open()) Accept(acceptor);
        });
        return;
      }
      Take(std::move(socket));
      Accept(acceptor);
    });
  }

  void Take(tcp::socket socket) { front_.Take(std::move(socket)); }

  // Registers with the dispatcher (`tolmix dispatcher`), which owns the
  // address and hands this user's connections over.  0, or 1 (said on
  // standard error).
  int Register() {
    const std::string& path = options_.dispatcher;
    sockaddr_un at{};
    at.sun_family = AF_UNIX;
    if (path.size() >= sizeof at.sun_path) {
      fprintf(stderr, "tolmix bridge: %s: the name is too long\n", path.c_str());
      return 1;
    }
    memcpy(at.sun_path, path.c_str(), path.size());
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    char line[64] = {};
    ssize_t n = -1;
    if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&at), sizeof at) == 0) {
      n = read(fd, line, sizeof line - 1);
    }
    unsigned port = 0, six = 0;
    if (n <= 0 || sscanf(line, "tolmix-dispatcher %u %u", &port, &six) != 2 || port == 0 ||
        port > 65535) {
      fprintf(stderr, "tolmix bridge: cannot register with the dispatcher at %s: %s\n",
              path.c_str(), n < 0 ? strerror(errno) : "it did not answer as one");
      if (fd >= 0) close(fd);
      return 1;
    }
    port_ = port;
    ipv6_ = six != 0;
    handed_.assign(asio::local::stream_protocol(), fd);
    ReceiveHanded();
    return 0;
  }

  // Takes the connections the dispatcher hands over (one descriptor per
  // byte of data, SCM_RIGHTS).  When the dispatcher goes, so does the
  // bridge (its service manager starts it again, and it registers anew).
  void ReceiveHanded() {
    handed_.async_wait(asio::local::stream_protocol::socket::wait_read, [this](error_code ec) {
      if (ec) return;
      char byte;
      alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
      iovec iov{&byte, 1};
      msghdr msg{};
      msg.msg_iov = &iov;
      msg.msg_iovlen = 1;
      msg.msg_control = control;
      msg.msg_controllen = sizeof control;
      const ssize_t n = recvmsg(handed_.native_handle(), &msg, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
      if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR && errno != EMFILE)) {
        fprintf(stderr, "tolmix bridge: the dispatcher has gone; stopping\n");
        exitStatus_ = 1;
        raise(SIGTERM);
        return;
      }
      if (n < 0 && errno == EMFILE) g_handOver.Log("out of descriptors for a handed connection");
      for (cmsghdr* c = n > 0 ? CMSG_FIRSTHDR(&msg) : nullptr; c; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
        int fd;
        memcpy(&fd, CMSG_DATA(c), sizeof fd);
        sockaddr_storage local{};
        socklen_t len = sizeof local;
        error_code e;
        tcp::socket s(ioc_);
        if (getsockname(fd, reinterpret_cast<sockaddr*>(&local), &len) == 0 &&
            (local.ss_family == AF_INET || local.ss_family == AF_INET6)) {
          s.assign(local.ss_family == AF_INET ? tcp::v4() : tcp::v6(), fd, e);
        } else {
          e = asio::error::bad_descriptor;
        }
        if (e) {
          close(fd);
          continue;
        }
        Take(std::move(s));
      }
      ReceiveHanded();
    });
  }

  void ArmIdleTimer() {
    const auto tick = std::max(std::chrono::seconds(1), options_.idle / 4);
    idleTimer_.expires_after(tick);
    idleTimer_.async_wait([this](error_code ec) {
      if (ec) return;
      router_.EndIdle();
      ArmIdleTimer();
    });
  }

  BrokerOptions options_;
  asio::io_context ioc_{1};
  CallRouter router_;
  HttpFront front_;
  tcp::acceptor acceptor_;   // 127.0.0.1
  tcp::acceptor acceptor6_;  // ::1, same port
  asio::local::stream_protocol::socket handed_;  // from the dispatcher
  bool ipv6_ = false;

 public:
  int exitStatus_ = 0;

 private:
  asio::signal_set signals_;
  asio::steady_timer idleTimer_;
  unsigned port_ = 0;
};

}  // namespace

int RunBroker(const BrokerOptions& given) {
  signal(SIGPIPE, SIG_IGN);  // a page that goes away mid-answer is no reason to die
  // PINs pass through the broker: no core file, no memory to read for the
  // user's other processes, freed memory wiped, and a working folder no
  // page can read (the workers start there too).
  KeepPrivate();
  WipeFreedMemory();
  BrokerOptions options = given;
  if (!options.dispatcher.empty() && options.dispatcher[0] != '/') {
    char here[4096];
    if (getcwd(here, sizeof here)) options.dispatcher = std::string(here) + "/" + options.dispatcher;
  }
  if (chdir("/") != 0) {
    fprintf(stderr, "tolmix bridge: cannot enter /: %s\n", strerror(errno));
    return 1;
  }
  // The broker lives until the process ends: a question to the user that is
  // still open when a signal stops the loop must not hold the exit up, and
  // once the workers are ended nothing else is left to finish.
  // Descriptors are what a flood of connections uses up: as many as the
  // hard limit allows (systemd's default soft limit is 1,024).
  rlimit files{};
  if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
    files.rlim_cur = files.rlim_max;
    setrlimit(RLIMIT_NOFILE, &files);
  }
  auto* broker = new Broker(options);
  int status = broker->Run();
  if (status == 0) status = broker->exitStatus_;
  fflush(stdout);
  fflush(stderr);
  _exit(status);
}

}  // namespace tolmix::bridge
