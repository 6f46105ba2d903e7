// The facts the request checks read (bridge/RequestCheck.h), from a request
// as Boost.Beast parsed it: what the broker and the fuzz target both use.
#pragma once

#include <boost/beast/http.hpp>

#include "bridge/RequestCheck.h"

namespace tolmix::bridge {

// PARSER: the header read so far; IPV6: the bridge serves [::1].  The views
// point into the parsed request.
template <class Parser>
RequestFacts FactsOf(const Parser& parser, bool ipv6) {
  namespace http = boost::beast::http;
  const auto& req = parser.get();
  auto sv = [](boost::beast::string_view s) { return std::string_view(s.data(), s.size()); };
  RequestFacts f;
  f.sameUser = true;  // checked when the connection came
  f.method = sv(req.method_string());
  f.target = sv(req.target());
  f.host = sv(req[http::field::host]);
  if (req.count(http::field::origin)) f.origin = sv(req[http::field::origin]);
  if (req.count(http::field::content_type)) f.contentType = sv(req[http::field::content_type]);
  if (auto n = parser.content_length()) f.contentLength = *n;
  else if (!parser.chunked()) f.contentLength = 0;
  f.upgrade = req.count(http::field::upgrade) > 0;
  f.ipv6 = ipv6;
  f.hosts = static_cast<unsigned>(req.count(http::field::host));
  f.origins = static_cast<unsigned>(req.count(http::field::origin));
  f.contentLengths = static_cast<unsigned>(req.count(http::field::content_length));
  f.transferEncoding = req.count(http::field::transfer_encoding) > 0;
  return f;
}

}  // namespace tolmix::bridge
