#include "bridge/HttpFront.h"

#include <unistd.h>

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <cstdio>
#include <memory>
#include <optional>
#include <nlohmann/json.hpp>
#include <openssl/crypto.h>

#include "bridge/Broker.h"
#include "bridge/CallRouter.h"
#include "bridge/Cleansing.h"
#include "bridge/HttpFacts.h"
#include "bridge/LogThrottle.h"
#include "bridge/PeerUser.h"
#include "bridge/RequestCheck.h"
#include "bridge/Status.h"

namespace tolmix::bridge {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

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

constexpr std::chrono::seconds kIoTimeout{30};

Sometimes g_tooMany, g_otherUser;

class Session : public std::enable_shared_from_this<Session> {
 public:
  Session(tcp::socket socket, HttpFront& front)
      : stream_(std::move(socket)), front_(front), waiting_(stream_.get_executor()) {
    ++front_.connections();
  }
  ~Session() { --front_.connections(); }
  void Start();

 private:
  void ReadHeader();
  void OnHeader(beast::error_code ec);
  void OnBody(beast::error_code ec, const RequestVerdict& v);
  void Approved(const RequestVerdict& v);
  void Send(Response res, bool close);
  Response Cors(http::status status, const std::string& origin, std::string body);
  Response Preflight(const std::string& origin);
  void Refuse(const std::string& reason);
  void NotApproved(const RequestVerdict& v);

  // Reads and writes give up after kIoTimeout: a connection that sends
  // nothing (any local user can open one) does not hold a descriptor for ever.
  beast::tcp_stream stream_;
  HttpFront& front_;
  CleanBuffer buffer_;
  std::optional<http::request_parser<CleanBody>> parser_;
  // A request waiting for the origin's decision (a question to the user)
  // gives up after kIoTimeout.
  asio::steady_timer waiting_;
  bool decided_ = false;
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
  if (!uid || *uid != getuid()) {
    // Another user's connection holds nothing of ours, and neither does
    // one whose owner cannot be told: closed at once.
    g_otherUser.Log(uid ? "a connection of user " + std::to_string(*uid) + " closed: another user"
                        : std::string("a connection whose owner cannot be told closed"));
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
  RequestFacts f = FactsOf(*parser_, front_.ipv6());
  if (auto status = StatusResponse(f, front_.port(), req.version()))  // GET /status
    return Send(std::move(*status), true);
  RequestVerdict v = CheckRequest(f, front_.port());
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
  // What the body was read through goes now (wiped as it is freed), not
  // when the connection closes.
  buffer_.shrink_to_fit();
  if (ec) return Refuse("the body could not be read: " + ec.message());
  auto self = shared_from_this();
  decided_ = false;
  waiting_.expires_after(kIoTimeout);
  waiting_.async_wait([self](beast::error_code e) {
    if (e || self->decided_) return;
    self->decided_ = true;
    self->Refuse("no decision about the origin in time");
  });
  front_.router().Decide(v.origin, [self, v](bool allowed) {
    asio::post(self->stream_.get_executor(), [self, v, allowed] {
      if (self->decided_) return;  // given up already
      self->decided_ = true;
      self->waiting_.cancel();
      if (!allowed) return self->NotApproved(v);
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

Response Session::Preflight(const std::string& origin) {
  Response res = Cors(http::status::no_content, origin, "");
  res.set(http::field::access_control_allow_methods, "POST");
  res.set(http::field::access_control_allow_headers, "Content-Type");
  res.set(http::field::access_control_max_age, "600");
  if (parser_->get()["Access-Control-Request-Private-Network"] == "true") {
    res.set("Access-Control-Allow-Private-Network", "true");
  }
  return res;
}

// An origin not approved learns that it is refused, and nothing else: its
// preflight passes (uncached, so that an answer given meanwhile counts),
// and its call is answered 403 with the reason, readable by that origin
// alone, so that its page tells a refusal from a bridge that is down.
// Nothing of the call has run.
void Session::NotApproved(const RequestVerdict& v) {
  fprintf(stderr, "tolmix bridge: refused %s: origin not approved\n", v.origin.c_str());
  if (v.route == Route::kPreflight) {
    Response res = Preflight(v.origin);
    res.set(http::field::access_control_max_age, "0");
    return Send(std::move(res), true);
  }
  Request& req = parser_->get();
  OPENSSL_cleanse(req.body().data(), req.body().size());
  CleanBody::value_type().swap(req.body());
  const std::string reason = "the origin " + v.origin + " is not approved";
  Send(Cors(http::status::forbidden, v.origin,
            nlohmann::json{{"error", reason}, {"hresult", static_cast<int32_t>(0x80070005u)}, {"refused", true}}
                .dump(-1, ' ', false, nlohmann::json::error_handler_t::replace)),
       true);
}

void Session::Approved(const RequestVerdict& v) {
  Request& req = parser_->get();
  if (v.route == Route::kPreflight) return Send(Preflight(v.origin), false);
  auto& body = req.body();
  std::string path(req.target().substr(0, req.target().find('?')));
  auto self = shared_from_this();
  front_.router().Run(v.origin, std::string_view(path).substr(1), std::string_view(body.data(), body.size()),
                      [self, v](CallReply reply) {
    asio::post(self->stream_.get_executor(), [self, v, reply = std::move(reply)]() mutable {
      const http::status status =
          reply.kind == CallReply::Kind::kBadCall ? http::status::bad_request : http::status::ok;
      self->Send(self->Cors(status, v.origin, std::move(reply.body)), false);
    });
  });
  OPENSSL_cleanse(body.data(), body.size());
  CleanBody::value_type().swap(body);  // freed (and wiped) now
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

void HttpFront::Take(tcp::socket socket) {
  if (connections_.load() >= kMaxConnections) {
    g_tooMany.Log("more than " + std::to_string(kMaxConnections) + " connections open; a new one closed");
    return;  // the socket closes here
  }
  std::make_shared<Session>(std::move(socket), *this)->Start();
}

}  // namespace tolmix::bridge
