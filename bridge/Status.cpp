#include "bridge/Status.h"

#include <algorithm>
#include <cctype>
#include <nlohmann/json.hpp>

#include "bridge/ConsentThrottle.h"
#include "bridge/Origins.h"

namespace tolmix::bridge {

namespace http = boost::beast::http;

namespace {

// The query's "origin" value, %-decoded; empty when absent or malformed.
std::string OriginParam(std::string_view target) {
  size_t q = target.find('?');
  if (q == std::string_view::npos) return "";
  std::string_view query = target.substr(q + 1);
  while (!query.empty()) {
    std::string_view pair = query.substr(0, query.find('&'));
    query.remove_prefix(std::min(query.size(), pair.size() + 1));
    if (pair.substr(0, 7) != "origin=") continue;
    std::string out;
    for (size_t i = 7; i < pair.size(); ++i) {
      if (pair[i] != '%') {
        out += pair[i] == '+' ? ' ' : pair[i];
        continue;
      }
      if (i + 2 >= pair.size() || !isxdigit(static_cast<unsigned char>(pair[i + 1])) ||
          !isxdigit(static_cast<unsigned char>(pair[i + 2]))) {
        return "";
      }
      out += static_cast<char>(std::stoi(std::string(pair.substr(i + 1, 2)), nullptr, 16));
      i += 2;
    }
    return out;
  }
  return "";
}

}  // namespace

std::optional<http::response<http::string_body>> StatusResponse(const RequestFacts& facts,
                                                               unsigned port, unsigned version) {
  if (facts.target.substr(0, facts.target.find('?')) != "/status") return std::nullopt;
  // The checks the script passes, which need no Origin (the toolbar page's
  // own is the extension's, not the site's).
  RequestFacts asScript = facts;
  asScript.target = "/tolmix.js";
  RequestVerdict v = CheckRequest(asScript, port);
  http::response<http::string_body> res{http::status::ok, version};
  res.set(http::field::cache_control, "no-store");
  res.set("X-Content-Type-Options", "nosniff");
  if (v.route != Route::kScript) {
    res.result(http::status::forbidden);
    res.set(http::field::content_type, "text/plain; charset=utf-8");
    res.body() = "refused: " + (v.reason.empty() ? std::string("method not served") : v.reason) + "\n";
    return res;
  }
  nlohmann::json answer;
  std::string origin = NormalizeOrigin(OriginParam(facts.target));
  if (origin.empty()) {
    res.result(http::status::bad_request);
    answer = {{"error", "no http(s) origin given"}};
  } else {
    std::string error;
    Decision d = Decide(origin, &error);
    const char* word = d.verdict == Verdict::kAllow ? "allow" : d.verdict == Verdict::kDeny ? "deny" : "ask";
    const char* by = d.verdict == Verdict::kUnknown ? "" : d.byAdministrator ? "administrator" : "user";
    answer = {{"origin", origin}, {"answer", word}, {"by", by}};
    // Not in the files, but its site was denied or not answered lately:
    // refused without a question until the cool-down ends.
    const std::chrono::seconds left =
        d.verdict == Verdict::kUnknown ? ConsentThrottle::CoolDownLeft(origin) : std::chrono::seconds{0};
    if (left.count() > 0) {
      answer["answer"] = "refused";
      answer["seconds"] = left.count();
    }
    if (!error.empty()) answer["error"] = error;
  }
  res.set(http::field::content_type, "application/json");
  res.body() = answer.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  return res;
}

}  // namespace tolmix::bridge
