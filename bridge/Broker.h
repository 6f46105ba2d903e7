// `tolmix bridge`: the per-user loopback broker between web pages and the
// control.  It listens on 127.0.0.1:PORT and [::1]:PORT (or takes the
// connections the dispatcher hands over) and serves them through its HTTP
// front (bridge/HttpFront.h), which checks every request
// (bridge/RequestCheck.h) and passes calls to the call router
// (bridge/CallRouter.h): the origin's decision (bridge/Origins.h, asking
// through bridge/ConsentGate.h when neither file knows it, one question at
// a time) and the origin's worker (bridge/WorkerPool.h).
// Anything refused gets 403 and nothing runs.  SIGTERM and SIGINT end it
// cleanly: workers are ended and the exit status is 0.
#pragma once

#include <chrono>
#include <string>

namespace tolmix::bridge {

struct BrokerOptions {
  unsigned port = 26410;  // 0: any free port (printed)
  std::chrono::seconds idle{600};  // a worker not called this long ends
  std::string program;             // the tolmix binary that runs workers
  std::chrono::seconds callTimeout{120};  // a call not answered this long ends its worker
  // The dispatcher's Unix socket (`tolmix dispatcher`): register there and
  // serve the connections it hands over, never listening on TCP.  Empty:
  // listen on 127.0.0.1:PORT and [::1]:PORT (development, tests).
  std::string dispatcher;
};

// Serves until SIGTERM or SIGINT, then ends the process (after ending the
// workers).  Prints "listening on http://127.0.0.1:PORT"
// on standard output once it accepts connections.  Exit status: 0, or 1 when
// the port cannot be taken.
int RunBroker(const BrokerOptions& options);

// The page shim as served: web/tolmix.js with the control's class (ProgID,
// class ID and every member of its dispatch table) filled in.
std::string ShimScript();

}  // namespace tolmix::bridge
