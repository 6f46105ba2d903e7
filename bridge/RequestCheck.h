// The checks every request to the bridge goes through before anything is
// run, as data in and a verdict out (the broker fills RequestFacts from the
// parsed request and the connection).
//
// In order:
//   1. the peer is this user (another user's process can reach loopback);
//   2. Host is exactly 127.0.0.1:PORT or localhost:PORT (a page on a
//      rebinding DNS name sends its own name);
//   3. GET /tolmix.js (no upgrade) is the page shim, served to any page;
//   4. Origin is present, not "null", and a serialised http(s) origin;
//   5. no protocol upgrade (the bridge serves no WebSocket);
//   6. OPTIONS on an API path is a CORS preflight;
//   7. POST on an API path with Content-Type application/json and a
//      declared length within kMaxBodyBytes is a call.
// Everything else is refused with 403.  Whether the origin is approved is
// decided after these checks (bridge/Origins.h, bridge/Consent.h), so a
// request refused here never asks the user anything.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tolmix::bridge {

inline constexpr uint64_t kMaxBodyBytes = 16u << 20;  // 16 MiB of JSON
inline constexpr unsigned kDefaultPort = 26410;

struct RequestFacts {
  bool sameUser = false;
  std::string_view method;
  std::string_view target;  // path and query
  std::string_view host;
  std::optional<std::string_view> origin;  // nullopt: no Origin header
  std::optional<std::string_view> contentType;
  std::optional<uint64_t> contentLength;  // nullopt: none declared (chunked)
  bool upgrade = false;  // an Upgrade header (WebSocket or any other)
};

enum class Route { kRefused, kScript, kPreflight, kCall };

struct RequestVerdict {
  Route route = Route::kRefused;
  std::string origin;  // serialised, for kPreflight and kCall
  std::string reason;  // for kRefused, said in the 403 body and the log
};

// PORT is the port the bridge listens on.
RequestVerdict CheckRequest(const RequestFacts& facts, unsigned port);

// The API paths answered by POST (after the origin is approved): "/create",
// "/invoke", "/release", "/put", "/get".
bool IsApiPath(std::string_view path);

}  // namespace tolmix::bridge
