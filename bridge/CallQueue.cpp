#include "bridge/CallQueue.h"

#include <cstdio>
#include <system_error>
#include <thread>

namespace tolmix::bridge {

void CallQueue::Post(const std::string& key, std::function<void()> job) {
  std::unique_lock lock(m_);
  std::unique_ptr<Queue>& q = queues_[key];
  if (!q) q = std::make_unique<Queue>();
  q->jobs.push_back(std::move(job));
  ++pending_;
  if (q->thread) {
    q->more.notify_one();
    return;
  }
  try {
    std::thread([this, queue = q.get()] { Drain(*queue); }).detach();
    q->thread = true;
  } catch (const std::system_error& e) {
    // No thread to be had: run it here rather than lose it.
    fprintf(stderr, "tolmix bridge: no thread for %s (%s); running the call in line\n", key.c_str(),
            e.what());
    std::function<void()> now = std::move(q->jobs.back());
    q->jobs.pop_back();
    lock.unlock();
    now();
    lock.lock();
    if (--pending_ == 0) idle_.notify_all();
  }
}

void CallQueue::Drain(Queue& q) {
  std::unique_lock lock(m_);
  for (;;) {
    q.more.wait(lock, [&q] { return !q.jobs.empty(); });
    std::function<void()> job = std::move(q.jobs.front());
    q.jobs.pop_front();
    lock.unlock();
    job();
    job = nullptr;
    lock.lock();
    if (--pending_ == 0) idle_.notify_all();
  }
}

void CallQueue::Join() {
  std::unique_lock lock(m_);
  idle_.wait(lock, [this] { return pending_ == 0; });
}

}  // namespace tolmix::bridge
