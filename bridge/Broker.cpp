#include "bridge/Broker.h"

#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <utility>  // before Asio 1.74: its awaitable.hpp needs std::exchange

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <atomic>
#include <cstdio>
#include <memory>
#include <optional>
#include <set>

#include "bridge/CallQueue.h"
#include "bridge/Cleansing.h"
#include "bridge/Consent.h"
#include "bridge/HttpFacts.h"
#include "bridge/ConsentThrottle.h"
#include "bridge/Origins.h"
#include "bridge/PeerUser.h"
#include "bridge/RequestCheck.h"
#include "bridge/WorkerPool.h"
#include "platform/Env.h"
#include "platform/SocketActivation.h"

namespace tolmix::bridge {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;
using json = nlohmann::json;

namespace {

// Request bodies (which carry PINs) and the buffer they are read through
// are wiped when freed.
using CleanBody = http::basic_string_body<char, std::char_traits<char>, CleansingAllocator<char>>;
using Request = http::request<CleanBody>;
using Response = http::response<http::string_body>;
using CleanBuffer = beast::basic_flat_buffer<CleansingAllocator<char>>;

// Open connections one bridge serves at most (all its own user's: another
// user's are closed as soon as they are accepted).  Beyond it a new
// connection is closed at once.
constexpr int kMaxConnections = 256;

// After an accept fails (out of descriptors, say) the listener waits this
// long before it accepts again.
constexpr std::chrono::milliseconds kAcceptBackOff{100};

// Says a kind of event on standard error at most once a second (a flood
// of refused connections must not become a flood of log lines). One per
// kind: a flood of one kind never hides the first line of another.
class Sometimes {
 public:
  void Log(const std::string& what) {
    const int64_t now = std::chrono::duration_cast<std::chrono::seconds>(
                            std::chrono::steady_clock::now().time_since_epoch())
                            .count();
    if (last_.exchange(now) == now) {
      ++hidden_;
      return;
    }
    const unsigned more = hidden_.exchange(0);
    if (more) {
      fprintf(stderr, "tolmix bridge: %s (and %u more like it)\n", what.c_str(), more);
    } else {
      fprintf(stderr, "tolmix bridge: %s\n", what.c_str());
    }
  }

 private:
  std::atomic<int64_t> last_{-1};
  std::atomic<unsigned> hidden_{0};
};

Sometimes g_notAsked, g_acceptFailed, g_tooMany, g_handOver, g_otherUser;

// Wipes the text arguments of a call once it has been forwarded.
void Cleanse(json& request) {
  if (!request.contains("args") || !request["args"].is_array()) return;
  for (json& a : request["args"]) {
    if (!a.is_string()) continue;
    std::string& text = a.get_ref<std::string&>();
    OPENSSL_cleanse(text.data(), text.size());
  }
}

class Broker;

// Runs a page's call in ORIGIN's worker; the answer as JSON text.  Never
// throws: the call runs on a pool thread with nobody above to catch.
std::string Forward(WorkerPool& pool, const std::string& origin, json& request) {
  try {
    if (request.value("op", "") == "release" && request.contains("ids") && request["ids"].is_array()) {
      // A page going away releases all its objects at once.
      for (const json& id : request["ids"]) {
        json one{{"op", "release"}, {"id", id}};
        pool.Call(origin, one);
      }
      return "{}";
    }
    return pool.Call(origin, request).dump(-1, ' ', false, json::error_handler_t::replace);
  } catch (const std::exception& e) {
    return json{{"error", std::string("the bridge failed: ") + e.what()}, {"hresult", -2147467259}}
        .dump(-1, ' ', false, json::error_handler_t::replace);
  }
}

constexpr std::chrono::seconds kIoTimeout{30};


// The origin decisions that need more than the files: answers "allow once"
// and the one-at-a-time questions to the user.
class Gate {
 public:
  explicit Gate(WorkerPool& pool) : pool_(pool) {}

  // Calls DONE(allowed) on the consent thread or at once.
  template <class Done>
  void Decide(const std::string& origin, Done done) {
    std::string error;
    Decision d = bridge::Decide(origin, &error);
    if (!error.empty()) fprintf(stderr, "tolmix bridge: %s\n", error.c_str());
    if (d.verdict != Verdict::kUnknown) return done(d.verdict == Verdict::kAllow);
    if (AllowedOnce(origin)) return done(true);
    std::string why;
    if (!throttle_.Queue(origin, &why)) {
      g_notAsked.Log(origin + " not asked about: " + why);
      return done(false);
    }
    asio::post(consent_, [this, origin, done] {
      // The answer may have come while this question waited for its turn.
      std::string again, why2;
      Decision d2 = bridge::Decide(origin, &again);
      bool allowed = false;
      if (d2.verdict != Verdict::kUnknown) {
        allowed = d2.verdict == Verdict::kAllow;
      } else if (AllowedOnce(origin)) {
        allowed = true;
      } else if (!throttle_.MayAsk(origin, &why2)) {
        g_notAsked.Log(origin + " not asked about: " + why2);
      } else {
        allowed = Ask(origin);
        throttle_.Answered(origin, allowed);
      }
      throttle_.Done(origin);
      done(allowed);
    });
  }

 private:
  // Asks the user about ORIGIN now (on the consent thread) and keeps the
  // answer where it belongs.
  bool Ask(const std::string& origin) {
      if (!backend_) backend_ = MakeConsentBackend();
      ConsentAnswer a = backend_->Ask(origin);
      fprintf(stderr, "tolmix bridge: %s %s by %s%s\n", origin.c_str(),
              a.allow ? "allowed" : "denied", backend_->Name(), a.remember ? "" : " (not kept)");
      if (a.remember) {
        std::string err;
        if (!EditOriginList(platform::OriginsPath(), origin, a.allow ? Verdict::kAllow : Verdict::kDeny,
                            &err)) {
          fprintf(stderr, "tolmix bridge: %s\n", err.c_str());
        }
      } else if (a.allow) {
        std::lock_guard lock(m_);
        once_.insert(origin);
      }
      return a.allow;
  }

  bool AllowedOnce(const std::string& origin) {
    std::lock_guard lock(m_);
    if (!once_.count(origin)) return false;
    // "Allow once" lasts while the origin's worker does: it holds until a
    // worker has been seen running and then is gone (idle, revoked, died).
    if (pool_.Running(origin)) {
      seen_.insert(origin);
      return true;
    }
    if (seen_.count(origin)) {
      once_.erase(origin);
      seen_.erase(origin);
      return false;
    }
    return true;  // its first worker is still to start
  }

  WorkerPool& pool_;
  ConsentThrottle throttle_;
  asio::thread_pool consent_{1};  // one question at a time, GTK on one thread
  std::unique_ptr<ConsentBackend> backend_;
  std::mutex m_;
  std::set<std::string> once_, seen_;
};

class Session : public std::enable_shared_from_this<Session> {
 public:
  Session(tcp::socket socket, Broker& broker);
  ~Session();
  void Start();

 private:
  void ReadHeader();
  void OnHeader(beast::error_code ec);
  void OnBody(beast::error_code ec, const RequestVerdict& v);
  void Approved(const RequestVerdict& v);
  void Send(Response res, bool close);
  Response Cors(http::status status, const std::string& origin, std::string body);
  void Refuse(const std::string& reason);

  // Reads and writes give up after kIoTimeout: a connection that sends
  // nothing (any local user can open one) does not hold a descriptor for ever.
  beast::tcp_stream stream_;
  Broker& broker_;
  CleanBuffer buffer_;
  std::optional<http::request_parser<CleanBody>> parser_;
  // A request waiting for the origin's decision (a question to the user)
  // gives up after kIoTimeout.
  asio::steady_timer waiting_;
  bool decided_ = false;
};

class Broker {
 public:
  explicit Broker(const BrokerOptions& o)
      : options_(o), pool_(o.program, o.idle, o.callTimeout), gate_(pool_), acceptor_(ioc_),
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
    signals_.async_wait([this](beast::error_code, int sig) {
      fprintf(stderr, "tolmix bridge: signal %d; stopping\n", sig);
      acceptor_.close();
      beast::error_code ignored;
      acceptor6_.close(ignored);
      idleTimer_.cancel();
      ioc_.stop();
    });
    ArmIdleTimer();
    printf("listening on http://127.0.0.1:%u\n", port_);
    fflush(stdout);
    ioc_.run();
    pool_.EndAll();
    calls_.Join();
    // A question to the user may still be open; nothing waits for it (see
    // RunBroker).
    return 0;
  }

  // Takes 127.0.0.1:PORT and [::1]:PORT, or serves the listening sockets
  // there that ACTIVATED hands over.  0, or 1 (said on standard error when
  // LAST) with neither held.
  int Listen(const platform::ActivatedSockets& activated, bool last) {
    beast::error_code ec, ignored;
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

  unsigned port() const { return port_; }
  bool ipv6() const { return ipv6_; }
  WorkerPool& pool() { return pool_; }
  Gate& gate() { return gate_; }
  CallQueue& calls() { return calls_; }
  std::atomic<int>& connections() { return connections_; }

 private:
  void Accept(tcp::acceptor& acceptor) {
    acceptor.async_accept([this, &acceptor](beast::error_code ec, tcp::socket socket) {
      if (ec == asio::error::operation_aborted || !acceptor.is_open()) return;  // stopped
      if (ec) {
        // Out of descriptors (EMFILE, ENFILE) or any other failure: the
        // listener stays, and accepts again after a pause.
        g_acceptFailed.Log("cannot accept a connection: " + ec.message() + "; accepting again shortly");
        auto timer = std::make_shared<asio::steady_timer>(ioc_, kAcceptBackOff);
        timer->async_wait([this, &acceptor, timer](beast::error_code) {
          if (acceptor.is_open()) Accept(acceptor);
        });
        return;
      }
      Take(std::move(socket));
      Accept(acceptor);
    });
  }

  void Take(tcp::socket socket) {
    if (connections_.load() >= kMaxConnections) {
      g_tooMany.Log("more than " + std::to_string(kMaxConnections) +
                   " connections open; a new one closed");
      return;  // the socket closes here
    }
    std::make_shared<Session>(std::move(socket), *this)->Start();
  }

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
    handed_.async_wait(asio::local::stream_protocol::socket::wait_read, [this](beast::error_code ec) {
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
        beast::error_code e;
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
    idleTimer_.async_wait([this](beast::error_code ec) {
      if (ec) return;
      calls_.Post(" idle", [this] { pool_.EndIdle(); });
      ArmIdleTimer();
    });
  }

  BrokerOptions options_;
  asio::io_context ioc_{1};
  WorkerPool pool_;
  Gate gate_;
  CallQueue calls_;
  tcp::acceptor acceptor_;   // 127.0.0.1
  tcp::acceptor acceptor6_;  // ::1, same port
  asio::local::stream_protocol::socket handed_;  // from the dispatcher
  std::atomic<int> connections_{0};
  bool ipv6_ = false;

 public:
  int exitStatus_ = 0;

 private:
  asio::signal_set signals_;
  asio::steady_timer idleTimer_;
  unsigned port_ = 0;
};

Session::Session(tcp::socket socket, Broker& broker)
    : stream_(std::move(socket)), broker_(broker), waiting_(stream_.get_executor()) {
  ++broker_.connections();
}

Session::~Session() { --broker_.connections(); }

void Session::Start() {
  beast::error_code ec1, ec2;
  tcp::endpoint local = stream_.socket().local_endpoint(ec1);
  tcp::endpoint remote = stream_.socket().remote_endpoint(ec2);
  std::optional<uid_t> uid;
  if (!ec1 && !ec2 && local.address().is_v4() && remote.address().is_v4()) {
    uid = PeerUid(*reinterpret_cast<const sockaddr_in*>(local.data()),
                  *reinterpret_cast<const sockaddr_in*>(remote.data()));
  } else if (!ec1 && !ec2 && local.address().is_v6() && remote.address().is_v6()) {
    uid = PeerUid(*reinterpret_cast<const sockaddr_in6*>(local.data()),
                  *reinterpret_cast<const sockaddr_in6*>(remote.data()));
  }
  if (!uid || *uid != getuid()) {
    // Another user's connection holds nothing of ours: closed at once.
    g_otherUser.Log(uid ? "a connection of user " + std::to_string(*uid) + " closed: another user"
                     : std::string("a connection of an unknown user closed"));
    beast::error_code ignored;
    stream_.socket().close(ignored);
    return;
  }
  ReadHeader();
}

void Session::ReadHeader() {
  parser_.emplace();
  parser_->header_limit(16 * 1024);
  parser_->body_limit(kMaxBodyBytes);
  stream_.expires_after(kIoTimeout);
  http::async_read_header(stream_, buffer_, *parser_,
                          [self = shared_from_this()](beast::error_code ec, size_t) {
                            self->OnHeader(ec);
                          });
}

void Session::OnHeader(beast::error_code ec) {
  if (ec) return;  // closed or garbage: drop the connection
  const Request& req = parser_->get();
  RequestFacts f = FactsOf(*parser_, broker_.ipv6());
  RequestVerdict v = CheckRequest(f, broker_.port());
  if (v.route == Route::kRefused) {
    fprintf(stderr, "tolmix bridge: refused %s %s from %s: %s\n", std::string(f.method).c_str(),
            std::string(f.target).c_str(), f.origin ? std::string(*f.origin).c_str() : "(no origin)",
            v.reason.c_str());
    return Refuse(v.reason);
  }
  if (v.route == Route::kScript) {
    Response res{http::status::ok, req.version()};
    res.set(http::field::content_type, "application/javascript; charset=utf-8");
    res.set(http::field::cache_control, "no-cache");
    res.set("X-Content-Type-Options", "nosniff");
    res.body() = ShimScript();
    return Send(std::move(res), parser_->content_length().value_or(0) > 0);
  }
  stream_.expires_after(kIoTimeout);
  http::async_read(stream_, buffer_, *parser_,
                   [self = shared_from_this(), v](beast::error_code e, size_t) { self->OnBody(e, v); });
}

void Session::OnBody(beast::error_code ec, const RequestVerdict& v) {
  if (ec) return Refuse("the body could not be read: " + ec.message());
  auto self = shared_from_this();
  decided_ = false;
  waiting_.expires_after(kIoTimeout);
  waiting_.async_wait([self](beast::error_code e) {
    if (e || self->decided_) return;
    self->decided_ = true;
    self->Refuse("no decision about the origin in time");
  });
  broker_.gate().Decide(v.origin, [self, v](bool allowed) {
    asio::post(self->stream_.get_executor(), [self, v, allowed] {
      if (self->decided_) return;  // given up already
      self->decided_ = true;
      self->waiting_.cancel();
      if (!allowed) {
        fprintf(stderr, "tolmix bridge: refused %s: origin not approved\n", v.origin.c_str());
        return self->Refuse("the origin " + v.origin + " is not approved");
      }
      self->Approved(v);
    });
  });
}

Response Session::Cors(http::status status, const std::string& origin, std::string body) {
  Response res{status, parser_->get().version()};
  res.set(http::field::access_control_allow_origin, origin);
  res.set(http::field::vary, "Origin");
  res.set(http::field::cache_control, "no-store");
  if (!body.empty()) res.set(http::field::content_type, "application/json");
  res.body() = std::move(body);
  return res;
}

void Session::Approved(const RequestVerdict& v) {
  const Request& req = parser_->get();
  if (v.route == Route::kPreflight) {
    Response res = Cors(http::status::no_content, v.origin, "");
    res.set(http::field::access_control_allow_methods, "POST");
    res.set(http::field::access_control_allow_headers, "Content-Type");
    res.set(http::field::access_control_max_age, "600");
    if (req["Access-Control-Request-Private-Network"] == "true") {
      res.set("Access-Control-Allow-Private-Network", "true");
    }
    return Send(std::move(res), false);
  }
  const auto& body = req.body();
  std::string refusal;
  json request;
  if (!JsonDepthWithin(std::string_view(body.data(), body.size()))) {
    refusal = "the body nests deeper than " + std::to_string(kMaxJsonDepth) + " levels";
  } else {
    request = json::parse(body.begin(), body.end(), nullptr, false);
    refusal = request.is_discarded() ? "the body is not a JSON object" : CheckCallShape(request);
  }
  parser_->get().body().clear();
  if (!refusal.empty()) {
    fprintf(stderr, "tolmix bridge: refused a call from %s: %s\n", v.origin.c_str(), refusal.c_str());
    Cleanse(request);
    return Send(Cors(http::status::bad_request, v.origin, json{{"error", refusal}}.dump()), false);
  }
  std::string path(req.target().substr(0, req.target().find('?')));
  request["op"] = path.substr(1);
  auto self = shared_from_this();
  broker_.calls().Post(v.origin, [self, v, request = std::move(request)]() mutable {
    std::string answer = Forward(self->broker_.pool(), v.origin, request);
    Cleanse(request);
    asio::post(self->stream_.get_executor(), [self, v, answer = std::move(answer)]() mutable {
      self->Send(self->Cors(http::status::ok, v.origin, std::move(answer)), false);
    });
  });
}

void Session::Refuse(const std::string& reason) {
  Response res{http::status::forbidden, 11};
  res.set(http::field::content_type, "text/plain; charset=utf-8");
  res.body() = "refused: " + reason + "\n";
  Send(std::move(res), true);
}

void Session::Send(Response res, bool close) {
  const bool keep = !close && parser_ && parser_->get().keep_alive();
  res.keep_alive(keep);
  res.prepare_payload();
  auto shared = std::make_shared<Response>(std::move(res));
  stream_.expires_after(kIoTimeout);
  http::async_write(stream_, *shared,
                    [self = shared_from_this(), shared, keep](beast::error_code ec, size_t) {
                      if (ec || !keep) {
                        beast::error_code ignored;
                        self->stream_.socket().shutdown(tcp::socket::shutdown_both, ignored);
                        return;
                      }
                      self->ReadHeader();
                    });
}

}  // namespace

int RunBroker(const BrokerOptions& options) {
  signal(SIGPIPE, SIG_IGN);  // a page that goes away mid-answer is no reason to die
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
