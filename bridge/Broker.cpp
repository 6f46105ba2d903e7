#include "bridge/Broker.h"

#include <signal.h>
#include <unistd.h>

#include <utility>  // before Asio 1.74: its awaitable.hpp needs std::exchange

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <cstdio>
#include <memory>
#include <optional>
#include <set>

#include "bridge/Consent.h"
#include "bridge/Origins.h"
#include "bridge/PeerUser.h"
#include "bridge/RequestCheck.h"
#include "bridge/Status.h"
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

using Request = http::request<http::string_body>;
using Response = http::response<http::string_body>;

class Broker;

// Runs a page's call in ORIGIN's worker; the answer as JSON text.  Never
// throws: the call runs on a pool thread with nobody above to catch.
std::string Forward(WorkerPool& pool, const std::string& origin, json request) {
  try {
    if (request["op"] == "release" && request.contains("ids") && request["ids"].is_array()) {
      // A page going away releases all its objects at once.
      for (const json& id : request["ids"]) pool.Call(origin, json{{"op", "release"}, {"id", id}});
      return "{}";
    }
    return pool.Call(origin, std::move(request)).dump(-1, ' ', false, json::error_handler_t::replace);
  } catch (const std::exception& e) {
    return json{{"error", std::string("the bridge failed: ") + e.what()}, {"hresult", -2147467259}}
        .dump(-1, ' ', false, json::error_handler_t::replace);
  }
}

constexpr std::chrono::seconds kIoTimeout{30};

std::string_view Sv(beast::string_view s) { return {s.data(), s.size()}; }

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
    asio::post(consent_, [this, origin, done] {
      // The answer may have come while this question waited for its turn.
      std::string again;
      Decision d2 = bridge::Decide(origin, &again);
      if (d2.verdict != Verdict::kUnknown) return done(d2.verdict == Verdict::kAllow);
      if (AllowedOnce(origin)) return done(true);
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
      done(a.allow);
    });
  }

 private:
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
  asio::thread_pool consent_{1};  // one question at a time, GTK on one thread
  std::unique_ptr<ConsentBackend> backend_;
  std::mutex m_;
  std::set<std::string> once_, seen_;
};

class Session : public std::enable_shared_from_this<Session> {
 public:
  Session(tcp::socket socket, Broker& broker) : stream_(std::move(socket)), broker_(broker) {}
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
  beast::flat_buffer buffer_;
  std::optional<http::request_parser<http::string_body>> parser_;
  bool sameUser_ = false;
};

class Broker {
 public:
  explicit Broker(const BrokerOptions& o)
      : options_(o), pool_(o.program, o.idle), gate_(pool_), acceptor_(ioc_), acceptor6_(ioc_),
        signals_(ioc_), idleTimer_(ioc_) {}

  int Run() {
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
    Accept(acceptor_);
    if (acceptor6_.is_open()) Accept(acceptor6_);
    ArmIdleTimer();
    printf("listening on http://127.0.0.1:%u\n", port_);
    fflush(stdout);
    ioc_.run();
    pool_.EndAll();
    calls_.join();
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
    }
    return 0;
  }

  unsigned port() const { return port_; }
  WorkerPool& pool() { return pool_; }
  Gate& gate() { return gate_; }
  asio::thread_pool& calls() { return calls_; }

 private:
  void Accept(tcp::acceptor& acceptor) {
    acceptor.async_accept([this, &acceptor](beast::error_code ec, tcp::socket socket) {
      if (ec) return;  // closed on stop
      std::make_shared<Session>(std::move(socket), *this)->Start();
      Accept(acceptor);
    });
  }

  void ArmIdleTimer() {
    const auto tick = std::max(std::chrono::seconds(1), options_.idle / 4);
    idleTimer_.expires_after(tick);
    idleTimer_.async_wait([this](beast::error_code ec) {
      if (ec) return;
      asio::post(calls_, [this] { pool_.EndIdle(); });
      ArmIdleTimer();
    });
  }

  BrokerOptions options_;
  asio::io_context ioc_{1};
  WorkerPool pool_;
  Gate gate_;
  asio::thread_pool calls_{4};
  tcp::acceptor acceptor_;   // 127.0.0.1
  tcp::acceptor acceptor6_;  // ::1, same port
  asio::signal_set signals_;
  asio::steady_timer idleTimer_;
  unsigned port_ = 0;
};

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
  sameUser_ = uid && *uid == getuid();
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
  RequestFacts f;
  f.sameUser = sameUser_;
  f.method = Sv(req.method_string());
  f.target = Sv(req.target());
  f.host = Sv(req[http::field::host]);
  if (req.count(http::field::origin)) f.origin = Sv(req[http::field::origin]);
  if (req.count(http::field::content_type)) f.contentType = Sv(req[http::field::content_type]);
  if (auto n = parser_->content_length()) f.contentLength = *n;
  else if (!parser_->chunked()) f.contentLength = 0;
  f.upgrade = req.count(http::field::upgrade) > 0;
  if (auto status = StatusResponse(f, broker_.port(), req.version()))  // GET /status
    return Send(std::move(*status), true);
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
  broker_.gate().Decide(v.origin, [self, v](bool allowed) {
    asio::post(self->stream_.get_executor(), [self, v, allowed] {
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
  json request = json::parse(req.body(), nullptr, false);
  if (!request.is_object()) {
    return Send(Cors(http::status::bad_request, v.origin,
                     json{{"error", "the body is not a JSON object"}}.dump()),
                false);
  }
  std::string path(req.target().substr(0, req.target().find('?')));
  request["op"] = path.substr(1);
  auto self = shared_from_this();
  asio::post(broker_.calls(), [self, v, request = std::move(request)]() mutable {
    std::string answer = Forward(self->broker_.pool(), v.origin, std::move(request));
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
  auto* broker = new Broker(options);
  int status = broker->Run();
  fflush(stdout);
  fflush(stderr);
  _exit(status);
}

}  // namespace tolmix::bridge
