// Runs the page calls of each origin one after another, and the calls of
// different origins side by side: each origin with work has one thread of
// its own, which ends when that origin's queue is empty.  An origin whose
// call hangs (a stopped worker, an open dialog) holds only its own queue,
// never a thread another origin's call is waiting for.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>

namespace tolmix::bridge {

class CallQueue {
 public:
  CallQueue() = default;
  CallQueue(const CallQueue&) = delete;
  CallQueue& operator=(const CallQueue&) = delete;

  // Queues JOB behind KEY's earlier jobs (KEY: an origin, or a name of the
  // bridge's own housekeeping).
  void Post(const std::string& key, std::function<void()> job);

  // Waits until every queue is empty.
  void Join();

 private:
  void Drain(const std::string& key);

  std::mutex m_;
  std::condition_variable idle_;
  std::map<std::string, std::deque<std::function<void()>>> queues_;
};

}  // namespace tolmix::bridge
