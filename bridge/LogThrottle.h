// Log lines that a flood cannot multiply: a kind of event is said on
// standard error at most once a second, with the count of the ones left
// unsaid.  Sometimes is one kind (thread-safe); KeyedSometimes keeps one
// such allowance per key (a user and a kind, say) for a single thread, so
// that one user's flood never hides another's first line.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <utility>

namespace tolmix::bridge {

inline int64_t SecondsNow() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

class Sometimes {
 public:
  // PREFIX: "tolmix bridge", say.
  explicit Sometimes(const char* prefix = "tolmix bridge") : prefix_(prefix) {}

  void Log(const std::string& what) {
    const int64_t now = SecondsNow();
    if (last_.exchange(now) == now) {
      ++hidden_;
      return;
    }
    const unsigned more = hidden_.exchange(0);
    if (more) {
      fprintf(stderr, "%s: %s (and %u more like it)\n", prefix_, what.c_str(), more);
    } else {
      fprintf(stderr, "%s: %s\n", prefix_, what.c_str());
    }
  }

 private:
  const char* prefix_;
  std::atomic<int64_t> last_{-1};
  std::atomic<unsigned> hidden_{0};
};

class KeyedSometimes {
 public:
  explicit KeyedSometimes(const char* prefix) : prefix_(prefix) {}

  // Says WHAT unless a line of KEY (who, kind) was said this second.
  void Log(uint64_t who, int kind, const std::string& what) {
    const int64_t now = SecondsNow();
    if (keys_.size() >= kMaxKeys) Forget(now);
    State& s = keys_[{who, kind}];
    if (s.last == now) {
      ++s.hidden;
      return;
    }
    s.last = now;
    if (s.hidden) {
      fprintf(stderr, "%s: %s (and %u more like it)\n", prefix_, what.c_str(), s.hidden);
    } else {
      fprintf(stderr, "%s: %s\n", prefix_, what.c_str());
    }
    s.hidden = 0;
  }

 private:
  static constexpr size_t kMaxKeys = 4096;
  struct State {
    int64_t last = -1;
    unsigned hidden = 0;
  };
  // Keys quiet for a minute go (their unsaid count with them); when every
  // key is recent, all go: the map stays bounded whatever the flood.
  void Forget(int64_t now) {
    for (auto it = keys_.begin(); it != keys_.end();) {
      it = now - it->second.last > 60 ? keys_.erase(it) : std::next(it);
    }
    if (keys_.size() >= kMaxKeys) keys_.clear();
  }

  const char* prefix_;
  std::map<std::pair<uint64_t, int>, State> keys_;
};

}  // namespace tolmix::bridge
