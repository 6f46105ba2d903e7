#include "bridge/RequestCheck.h"

#include "bridge/Origins.h"

namespace tolmix::bridge {
namespace {

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

// The path of TARGET without its query.
std::string_view PathOf(std::string_view target) { return target.substr(0, target.find('?')); }

RequestVerdict Refuse(std::string reason) { return {Route::kRefused, "", std::move(reason)}; }

}  // namespace

bool JsonDepthWithin(std::string_view text) {
  unsigned depth = 0;
  bool inString = false, escaped = false;
  for (char c : text) {
    if (inString) {
      if (escaped) escaped = false;
      else if (c == '\\') escaped = true;
      else if (c == '"') inString = false;
    } else if (c == '"') {
      inString = true;
    } else if (c == '[' || c == '{') {
      if (++depth > kMaxJsonDepth) return false;
    } else if ((c == ']' || c == '}') && depth > 0) {
      --depth;
    }
  }
  return true;
}

std::string CheckCallShape(const nlohmann::json& body) {
  if (!body.is_object()) return "the body is not a JSON object";
  for (const auto& [key, value] : body.items()) {
    if (!value.is_structured()) continue;
    if ((key != "args" && key != "ids") || !value.is_array()) {
      return "\"" + key + "\" is not a text, number, boolean or null";
    }
    if (key == "ids" && value.size() > kMaxReleaseIds) {
      return "more than " + std::to_string(kMaxReleaseIds) + " ids in one release";
    }
    for (const auto& item : value) {
      if (item.is_structured()) return "an item of \"" + key + "\" is not a text, number, boolean or null";
    }
  }
  return "";
}

bool IsApiPath(std::string_view path) {
  return path == "/create" || path == "/invoke" || path == "/release" || path == "/put" ||
         path == "/get";
}

RequestVerdict CheckRequest(const RequestFacts& f, unsigned port) {
  if (!f.sameUser) return Refuse("the connection comes from another user");
  if (f.hosts != 1) return Refuse("not exactly one Host");
  if (f.origins > 1) return Refuse("more than one Origin");
  if (f.contentLengths > 1) return Refuse("more than one Content-Length");
  const std::string portText = ":" + std::to_string(port);
  if (f.host != "127.0.0.1" + portText && !EqualsNoCase(f.host, "localhost" + portText) &&
      !(f.ipv6 && f.host == "[::1]" + portText)) {
    return Refuse("Host \"" + std::string(f.host) + "\" is not this bridge");
  }
  const std::string_view path = PathOf(f.target);
  if (f.method == "GET" && path == "/tolmix.js" && !f.upgrade && !f.transferEncoding) {
    return {Route::kScript, "", ""};
  }
  if (!f.origin) return Refuse("no Origin");
  if (*f.origin == "null") return Refuse("Origin null");
  std::string origin = NormalizeOrigin(*f.origin);
  if (origin.empty()) return Refuse("Origin \"" + std::string(*f.origin) + "\" is not an origin");
  if (f.upgrade) return Refuse("protocol upgrades are not served");
  if (!IsApiPath(path)) return Refuse("no such path");
  if (f.transferEncoding) return Refuse("Transfer-Encoding is not served");
  if (f.method == "OPTIONS") return {Route::kPreflight, origin, ""};
  if (f.method != "POST") return Refuse("method " + std::string(f.method) + " is not served");
  std::string_view type = f.contentType ? Trim(f.contentType->substr(0, f.contentType->find(';')))
                                        : std::string_view();
  if (!EqualsNoCase(type, "application/json")) return Refuse("the body is not application/json");
  if (!f.contentLength) return Refuse("the body has no declared length");
  if (*f.contentLength > kMaxBodyBytes) return Refuse("the body is too large");
  return {Route::kCall, origin, ""};
}

}  // namespace tolmix::bridge
