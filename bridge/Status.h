// GET /status?origin=ORIGIN: this user's standing answer for ORIGIN, for the
// browser extension's toolbar page.  Read-only: it reads the two origins
// files and the consent cool-downs, so it never asks the user, starts no worker and
// touches no device.  It passes the same first checks as the script (this
// user's connection, the bridge's own Host, GET, no upgrade) and carries no
// CORS grant: a web page can send it but not read the answer; an extension
// page with host access to loopback can.
#pragma once

#include <boost/beast/http.hpp>
#include <optional>
#include <string>

#include "bridge/RequestCheck.h"

namespace tolmix::bridge {

// The answer, as {"origin", "answer": "allow"|"deny"|"ask"|"refused", "by":
// "administrator"|"user"|""}, with "seconds" left for "refused" (neither
// file names it, and its site is refused without a question for now:
// bridge/ConsentThrottle.h); nullopt when FACTS is not a status request,
// which then goes through the other checks as before.  VERSION: the
// request's HTTP version.
std::optional<boost::beast::http::response<boost::beast::http::string_body>> StatusResponse(
    const RequestFacts& facts, unsigned port, unsigned version);

}  // namespace tolmix::bridge
