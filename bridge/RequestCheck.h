// The checks every request to the bridge goes through before anything is
// run, as data in and a verdict out (the broker fills RequestFacts from the
// parsed request and the connection).
//
// In order:
//   1. the peer is this user (another user's process can reach loopback);
//   2. one Host, one Origin at most, one Content-Length at most, no
//      Transfer-Encoding on an API path (a proxy or a second parser could
//      read such a request otherwise); Host is exactly 127.0.0.1:PORT,
//      localhost:PORT or, where ::1 is served, [::1]:PORT (a page on a
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
#include <nlohmann/json.hpp>
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
  bool ipv6 = false;     // the bridge serves [::1]:PORT
  // How often each header came; any Transfer-Encoding at all.
  unsigned hosts = 1, origins = 0, contentLengths = 0;
  bool transferEncoding = false;
};

enum class Route { kRefused, kScript, kPreflight, kCall };

struct RequestVerdict {
  Route route = Route::kRefused;
  std::string origin;  // serialised, for kPreflight and kCall
  std::string reason;  // for kRefused, said in the 403 body and the log
};

// PORT is the port the bridge listens on.
RequestVerdict CheckRequest(const RequestFacts& facts, unsigned port);

// The deepest nesting of arrays and objects a call's JSON may have: deeper
// text is refused before it is parsed (a parser or a printer that recurses
// would run out of stack on it).
inline constexpr unsigned kMaxJsonDepth = 64;

// Whether TEXT nests arrays and objects no deeper than kMaxJsonDepth
// (counted outside strings; TEXT need not be valid JSON).
bool JsonDepthWithin(std::string_view text);

// At most this many objects in one /release {ids}.
inline constexpr size_t kMaxReleaseIds = 1000;

// Why the parsed body of a call cannot be forwarded, or "" when it can: an
// object whose members are all scalars (text, number, boolean, null) but
// "args", an array of scalars, and "ids", an array of at most
// kMaxReleaseIds scalars.  Nothing else reaches a worker.
std::string CheckCallShape(const nlohmann::json& body);

// The API paths answered by POST (after the origin is approved): "/create",
// "/invoke", "/release", "/put", "/get".
bool IsApiPath(std::string_view path);

}  // namespace tolmix::bridge
