#include "bridge/CallQueue.h"

#include <cstdio>
#include <system_error>
#include <thread>

namespace tolmix::bridge {

void CallQueue::Post(const std::string& key, std::function<void()> job) {
  std::lock_guard lock(m_);
  auto& queue = queues_[key];
  queue.push_back(std::move(job));
  if (queue.size() > 1) return;  // KEY's thread is running and takes it next
  try {
    std::thread([this, key] { Drain(key); }).detach();
  } catch (const std::system_error& e) {
    // No thread to be had: run it here rather than lose it.
    fprintf(stderr, "tolmix bridge: no thread for %s (%s); running the call in line\n", key.c_str(),
            e.what());
    std::function<void()> now = std::move(queue.front());
    queues_.erase(key);
    m_.unlock();
    now();
    m_.lock();
  }
}

void CallQueue::Drain(const std::string& key) {
  std::unique_lock lock(m_);
  for (;;) {
    auto it = queues_.find(key);
    std::function<void()> job = std::move(it->second.front());
    lock.unlock();
    job();
    lock.lock();
    it = queues_.find(key);
    it->second.pop_front();
    if (it->second.empty()) {
      queues_.erase(it);
      idle_.notify_all();
      return;
    }
  }
}

void CallQueue::Join() {
  std::unique_lock lock(m_);
  idle_.wait(lock, [this] { return queues_.empty(); });
}

}  // namespace tolmix::bridge
