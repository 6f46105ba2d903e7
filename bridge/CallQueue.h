// Runs the page calls of each origin one after another, and the calls of
// different origins side by side: each origin has one thread of its own
// (made on its first call; it lives as long as the bridge, since a worker
// it starts is tied to it by PR_SET_PDEATHSIG).  An origin whose call hangs
// (a stopped worker, an open dialog) holds only its own queue, never a
// thread another origin's call is waiting for.  Only approved origins
// reach it, so the threads are as many as the origins the user approved.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
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

  // Waits until every queued job has run.
  void Join();

 private:
  struct Queue {
    std::deque<std::function<void()>> jobs;
    std::condition_variable more;
    bool thread = false;
  };
  void Drain(Queue& q);

  std::mutex m_;
  std::condition_variable idle_;
  std::map<std::string, std::unique_ptr<Queue>> queues_;
  size_t pending_ = 0;
};

}  // namespace tolmix::bridge
