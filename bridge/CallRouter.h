// Where a page's call goes, whatever channel brought it: the origin's
// decision (the origins files, "allow once", a question to the user), the
// checks of the call's shape, and the run in the origin's worker, one call
// of an origin after another (bridge/CallQueue.h).  A channel (the loopback
// HTTP front, bridge/HttpFront.h, or any other) vouches for the origin it
// passes and for its user; nothing here reads a header or a socket.
//
// PINs pass here (SetPasswd): the call's text is parsed on the caller's
// thread and run on a call thread, and both wipe what they leave behind
// (the parsed arguments, the stack they used; freed memory is wiped as it
// is freed, see WipeFreedMemory in bridge/Cleansing.h).
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "bridge/CallQueue.h"
#include "bridge/ConsentGate.h"
#include "bridge/WorkerPool.h"

namespace tolmix::bridge {

struct CallReply {
  enum class Kind {
    kAnswered,     // BODY: the worker's answer (JSON text)
    kBadCall,      // BODY: {"error": why}; nothing ran
    kNotApproved,  // the origin may not use the control; nothing ran
  };
  Kind kind = Kind::kAnswered;
  std::string body;
};

class CallRouter {
 public:
  // PROGRAM: the tolmix binary that runs the workers; IDLE and
  // CALL_TIMEOUT as for WorkerPool.
  CallRouter(std::string program, std::chrono::seconds idle, std::chrono::seconds callTimeout);
  ~CallRouter();
  CallRouter(const CallRouter&) = delete;
  CallRouter& operator=(const CallRouter&) = delete;

  // DONE(allowed) once ORIGIN is decided: at once, or on the consent
  // thread when the user is asked.
  void Decide(const std::string& origin, std::function<void(bool)> done);

  // Runs the call OP ("create", "invoke", "release", "put", "get") with the
  // JSON text BODY for ORIGIN, which the caller has had decided (Decide).
  // A body refused by the checks is answered (kBadCall) before Run returns;
  // otherwise DONE runs on ORIGIN's call thread once the worker answered.
  // BODY is read before Run returns; the caller wipes it.
  void Run(const std::string& origin, std::string_view op, std::string_view body,
           std::function<void(CallReply)> done);

  // Both at once: Decide, then Run (kNotApproved when refused).  BODY is
  // copied into wiped memory while the decision waits.
  void Call(const std::string& origin, std::string_view op, std::string_view body,
            std::function<void(CallReply)> done);

  // Ends the workers not called for the idle time (queued as housekeeping).
  void EndIdle();
  // Ends every worker and waits for the queued calls.
  void Stop();

  WorkerPool& pool() { return pool_; }

 private:
  WorkerPool pool_;
  ConsentGate gate_;
  CallQueue calls_;
};

}  // namespace tolmix::bridge
