// Every way a request can fail the bridge's checks, and the ones that pass.
#include <gtest/gtest.h>

#include "bridge/RequestCheck.h"

namespace tolmix::bridge {
namespace {

constexpr unsigned kPort = 26410;

struct Case {
  const char* what;
  RequestFacts facts;
  Route route;
  const char* origin;  // expected for kPreflight / kCall
};

RequestFacts Call(std::string_view origin = "https://a.example") {
  RequestFacts f;
  f.sameUser = true;
  f.method = "POST";
  f.target = "/invoke";
  f.host = "127.0.0.1:26410";
  f.origin = origin;
  f.contentType = "application/json";
  f.contentLength = 20;
  f.origins = f.contentLengths = 1;
  return f;
}

template <class F>
RequestFacts With(F change, RequestFacts f = Call()) {
  change(f);
  return f;
}

TEST(RequestCheckTest, EveryRuleInItsPlace) {
  const Case cases[] = {
      {"a call", Call(), Route::kCall, "https://a.example"},
      {"localhost, any case", With([](auto& f) { f.host = "LocalHost:26410"; }), Route::kCall,
       "https://a.example"},
      {"charset parameter", With([](auto& f) { f.contentType = "application/json; charset=UTF-8"; }),
       Route::kCall, "https://a.example"},
      {"origin folded", Call("HTTPS://A.Example:443"), Route::kCall, "https://a.example"},
      {"preflight", With([](auto& f) { f.method = "OPTIONS"; f.contentType.reset(); }),
       Route::kPreflight, "https://a.example"},
      {"script without origin",
       With([](auto& f) { f.method = "GET"; f.target = "/tolmix.js?v=1"; f.origin.reset(); }),
       Route::kScript, ""},
      {"another user", With([](auto& f) { f.sameUser = false; }), Route::kRefused, ""},
      {"another user, script",
       With([](auto& f) { f.sameUser = false; f.method = "GET"; f.target = "/tolmix.js"; }),
       Route::kRefused, ""},
      {"rebinding host", With([](auto& f) { f.host = "evil.example:26410"; }), Route::kRefused, ""},
      {"rebinding host, script",
       With([](auto& f) { f.host = "evil.example:26410"; f.method = "GET"; f.target = "/tolmix.js"; }),
       Route::kRefused, ""},
      {"host without port", With([](auto& f) { f.host = "127.0.0.1"; }), Route::kRefused, ""},
      {"host, other port", With([](auto& f) { f.host = "127.0.0.1:26411"; }), Route::kRefused, ""},
      {"host 0.0.0.0", With([](auto& f) { f.host = "0.0.0.0:26410"; }), Route::kRefused, ""},
      {"host [::1], not served", With([](auto& f) { f.host = "[::1]:26410"; }), Route::kRefused, ""},
      {"host [::1], served", With([](auto& f) { f.host = "[::1]:26410"; f.ipv6 = true; }), Route::kCall,
       "https://a.example"},
      {"two Host", With([](auto& f) { f.hosts = 2; }), Route::kRefused, ""},
      {"no Host", With([](auto& f) { f.hosts = 0; }), Route::kRefused, ""},
      {"two Origin", With([](auto& f) { f.origins = 2; }), Route::kRefused, ""},
      {"two Content-Length", With([](auto& f) { f.contentLengths = 2; }), Route::kRefused, ""},
      {"Transfer-Encoding with a length", With([](auto& f) { f.transferEncoding = true; }),
       Route::kRefused, ""},
      {"no origin", With([](auto& f) { f.origin.reset(); }), Route::kRefused, ""},
      {"origin null", Call("null"), Route::kRefused, ""},
      {"origin with a path", Call("https://a.example/x"), Route::kRefused, ""},
      {"origin file:", Call("file://"), Route::kRefused, ""},
      {"origin with user", Call("https://u@a.example"), Route::kRefused, ""},
      {"text/plain", With([](auto& f) { f.contentType = "text/plain"; }), Route::kRefused, ""},
      {"no content type", With([](auto& f) { f.contentType.reset(); }), Route::kRefused, ""},
      {"json look-alike", With([](auto& f) { f.contentType = "application/jsonx"; }),
       Route::kRefused, ""},
      {"too large", With([](auto& f) { f.contentLength = kMaxBodyBytes + 1; }), Route::kRefused, ""},
      {"chunked body", With([](auto& f) { f.contentLength.reset(); }), Route::kRefused, ""},
      {"websocket", With([](auto& f) { f.method = "GET"; f.upgrade = true; }), Route::kRefused, ""},
      {"upgrade on script", With([](auto& f) { f.method = "GET"; f.target = "/tolmix.js"; f.upgrade = true; }),
       Route::kRefused, ""},
      {"GET call", With([](auto& f) { f.method = "GET"; }), Route::kRefused, ""},
      {"unknown path", With([](auto& f) { f.target = "/shutdown"; }), Route::kRefused, ""},
      {"PUT", With([](auto& f) { f.method = "PUT"; }), Route::kRefused, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    RequestVerdict v = CheckRequest(c.facts, kPort);
    EXPECT_EQ(v.route, c.route) << v.reason;
    if (c.route == Route::kRefused) {
      EXPECT_FALSE(v.reason.empty());
    } else {
      EXPECT_EQ(v.origin, c.origin);
    }
  }
}

}  // namespace
}  // namespace tolmix::bridge
