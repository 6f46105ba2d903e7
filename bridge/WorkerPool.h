// The broker's side of the workers: one `tolmix worker` process per origin,
// started on the first request that needs it, asked one request at a time,
// ended when idle, revoked, or when the broker stops.
//
// Object IDs handed to pages are "G-N": N is the worker's own number and G
// the generation of the worker that made it, so an object of a worker that
// has ended never reaches its successor: calls on it fail, and the page's
// next create starts a fresh worker.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>

namespace tolmix::bridge {

class WorkerPool {
 public:
  // PROGRAM: the tolmix binary to run as "PROGRAM worker --origin O --fd 3".
  // A call not answered within CALL_TIMEOUT ends its worker (a hung device,
  // a stopped process, a dialog nobody answers): the page's call fails and
  // the origin's next create starts a fresh worker.
  WorkerPool(std::string program, std::chrono::seconds idle,
             std::chrono::seconds callTimeout = std::chrono::seconds(120));
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  // Runs REQUEST (with "op") in ORIGIN's worker and returns the answer
  // (REQUEST's object id is replaced by the worker's own number).
  // Blocks for the length of the call; calls for one origin go one at a
  // time, calls for different origins side by side.
  nlohmann::json Call(const std::string& origin, nlohmann::json& request);

  // Whether ORIGIN has a live worker (an ended one is reaped here).
  bool Running(const std::string& origin);
  // Ends ORIGIN's worker, waiting for a call in progress.
  void End(const std::string& origin);
  // Ends every worker that has not been called for the idle time (busy
  // ones are left alone).
  void EndIdle();
  // Ends every worker; a worker busy in a call (a dialog waiting for the
  // user, say) is signalled first so that the call returns.
  void EndAll();

 private:
  struct Slot {
    std::mutex m;
    std::atomic<pid_t> pid{-1};  // also read without M, to signal a busy worker
    int fd = -1;
    uint64_t generation = 0;
    std::chrono::steady_clock::time_point lastUse;
  };
  std::shared_ptr<Slot> SlotOf(const std::string& origin);
  bool Start(Slot& s, const std::string& origin, std::string* error);
  static void Stop(Slot& s);
  static bool Alive(Slot& s);

  std::string program_;
  std::chrono::seconds idle_;
  std::chrono::seconds callTimeout_;
  std::mutex mapMutex_;
  std::map<std::string, std::shared_ptr<Slot>> slots_;
  uint64_t generations_ = 0;  // under mapMutex_
};

}  // namespace tolmix::bridge
