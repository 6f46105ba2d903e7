// The origin decisions that need more than the origins files: the answers
// "allow once" (held while the origin's worker lives) and the questions to
// the user, asked one at a time on a thread of their own and throttled per
// site (bridge/ConsentThrottle.h).
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "bridge/ConsentThrottle.h"

namespace tolmix::bridge {

class ConsentBackend;
class WorkerPool;

class ConsentGate {
 public:
  explicit ConsentGate(WorkerPool& pool);
  ~ConsentGate();
  ConsentGate(const ConsentGate&) = delete;
  ConsentGate& operator=(const ConsentGate&) = delete;

  // Calls DONE(allowed) at once or, when the user is asked, on the consent
  // thread.
  void Decide(const std::string& origin, std::function<void(bool)> done);

 private:
  bool Ask(const std::string& origin);
  bool AllowedOnce(const std::string& origin);

  WorkerPool& pool_;
  ConsentThrottle throttle_;
  struct Thread;
  std::unique_ptr<Thread> consent_;  // one question at a time, GTK on one thread
  std::unique_ptr<ConsentBackend> backend_;
  std::mutex m_;
  std::set<std::string> once_, seen_;
};

}  // namespace tolmix::bridge
