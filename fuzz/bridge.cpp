// The bridge's request path as a page's bytes meet it: HTTP parsed as the
// broker parses it (Boost.Beast, its header and body limits), the request
// checks, the nesting limit and call shape of the JSON body, the frame to
// a worker over a socket pair, and the worker's handling of it on a real
// control (no device is reached: UseSandbox), its answer framed back.
// Nothing may crash or hang; a request the checks refuse never reaches
// the worker.
#include <sys/socket.h>
#include <unistd.h>

#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <nlohmann/json.hpp>
#include <string>

#include "bridge/Frames.h"
#include "bridge/HttpFacts.h"
#include "bridge/RequestCheck.h"
#include "bridge/Worker.h"
#include "control/TOLMIXCtrl.h"
#include "fuzz/FuzzSupport.h"

namespace {

using namespace tolmix;
namespace http = boost::beast::http;
using json = nlohmann::json;

bridge::WorkerState& State() {
  static bridge::WorkerState state(fuzz::UseSandbox() + "/files",
                                   [](std::string_view progId, platform::IDispatch** out, std::string*) {
                                     if (progId != "TOLMIX.TOLMIXCtrl.1") return platform::E_FAIL;
                                     *out = CTOLMIXCtrl::Create();
                                     return platform::S_OK;
                                   });
  return state;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::UseSandbox();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 65536) return 0;
  http::request_parser<http::string_body> parser;
  parser.header_limit(16 * 1024);
  parser.body_limit(bridge::kMaxBodyBytes);
  parser.eager(true);
  boost::beast::error_code ec;
  parser.put(boost::asio::buffer(data, size), ec);
  if (ec || !parser.is_header_done()) return 0;
  const bool ipv6 = size % 2 == 0;
  bridge::RequestVerdict v = bridge::CheckRequest(bridge::FactsOf(parser, ipv6), 26410);
  if (v.route != bridge::Route::kCall || !parser.is_done()) return 0;
  const std::string& body = parser.get().body();
  if (!bridge::JsonDepthWithin(body)) return 0;
  json request = json::parse(body, nullptr, false);
  if (request.is_discarded() || !bridge::CheckCallShape(request).empty()) return 0;
  const std::string target(parser.get().target());
  request["op"] = target.substr(1, target.find('?') - 1);
  if (request["op"] == "invoke" || request["op"] == "release") {
    // The broker's object id "G-N" reaches the worker as N.
    if (!request.contains("id") || !request["id"].is_number_integer()) request["id"] = 1;
  }
  int pair[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) abort();
  std::string frame, answer;
  if (!bridge::WriteFrame(pair[0], request.dump(-1, ' ', false, json::error_handler_t::replace)) ||
      !bridge::ReadFrame(pair[1], &frame)) {
    abort();
  }
  answer = State().Handle(frame);
  if (!bridge::WriteFrame(pair[1], answer) || !bridge::ReadFrame(pair[0], &frame) || frame != answer) abort();
  close(pair[0]);
  close(pair[1]);
  if (json::parse(answer, nullptr, false).is_discarded()) abort();
  return 0;
}
