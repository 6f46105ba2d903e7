// The loopback HTTP front of the bridge: one accepted TCP connection at a
// time is checked (its user, bridge/PeerUser.h), its requests read and
// checked (bridge/RequestCheck.h), the script and the status answered, and
// the calls passed to the call router (bridge/CallRouter.h) with the origin
// the checks found.  Anything refused gets 403 and nothing runs.
#pragma once

#include <utility>  // before Asio 1.74: its awaitable.hpp needs std::exchange

#include <atomic>
#include <boost/asio/ip/tcp.hpp>

namespace tolmix::bridge {

class CallRouter;

class HttpFront {
 public:
  explicit HttpFront(CallRouter& router) : router_(router) {}

  // The address the front answers for: PORT, and whether [::1] is served.
  void SetAddress(unsigned port, bool ipv6) { port_ = port, ipv6_ = ipv6; }
  unsigned port() const { return port_; }
  bool ipv6() const { return ipv6_; }

  // Serves SOCKET (accepted or handed over) until it closes.  Closed at
  // once when it is another user's (or nobody's we can tell), or when too
  // many are open already.
  void Take(boost::asio::ip::tcp::socket socket);

  CallRouter& router() { return router_; }
  std::atomic<int>& connections() { return connections_; }

 private:
  CallRouter& router_;
  unsigned port_ = 0;
  bool ipv6_ = false;
  std::atomic<int> connections_{0};
};

}  // namespace tolmix::bridge
