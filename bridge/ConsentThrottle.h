// How often the user may be asked about web origins, so that no page can
// bury the user in questions (one page can name any number of sub-domains
// of its own):
//   - one question at a time per site (registrable domain, from the Public
//     Suffix List: a.example.cn and b.example.cn are one site); while one is
//     open or waiting, requests of another origin of that site are refused
//     without a question, those of the same origin wait for its answer;
//   - after Deny, a closed question or nobody to answer, no question about
//     that site for kConsentCoolDown: its requests are refused meanwhile;
//   - at most kQuestionsPerMinute questions a minute in all.
// What the origins files decide is never throttled.
#pragma once

#include <chrono>
#include <deque>
#include <map>
#include <mutex>
#include <string>

namespace tolmix::bridge {

inline constexpr std::chrono::seconds kConsentCoolDown{600};
inline constexpr unsigned kQuestionsPerMinute = 3;

// The site of a serialised http(s) ORIGIN: its host's registrable domain,
// or the host itself (an IP address, a name that is a public suffix).
std::string SiteOf(const std::string& origin);

class ConsentThrottle {
 public:
  using Clock = std::chrono::steady_clock;

  // Each throttle of the process is known, so that the standing answer for
  // an origin (bridge/Status.h) can tell a site that is cooling down.
  ConsentThrottle();
  ~ConsentThrottle();
  ConsentThrottle(const ConsentThrottle&) = delete;
  ConsentThrottle& operator=(const ConsentThrottle&) = delete;

  // How long ORIGIN's site is still refused without a question by any
  // throttle of this process: zero when it is not.
  static std::chrono::seconds CoolDownLeft(const std::string& origin);

  // A request of ORIGIN is to wait for a question: false with *WHY when it
  // is refused at once instead (the site is cooling down, or another origin
  // of it has a question open).  Each true is matched by one Done.
  bool Queue(const std::string& origin, std::string* why);
  // On the question's turn: whether it may be asked now (cool-down and the
  // rate), false with *WHY.  A true counts as a question asked.
  bool MayAsk(const std::string& origin, std::string* why);
  void Answered(const std::string& origin, bool allowed);
  void Done(const std::string& origin);

 private:
  bool CoolingDown(const std::string& site, Clock::time_point now, std::string* why);

  std::mutex m_;
  struct Waiting {
    std::string origin;
    unsigned count = 0;
  };
  std::map<std::string, Waiting> waiting_;           // by site
  std::map<std::string, Clock::time_point> until_;  // cool-downs, by site
  std::deque<Clock::time_point> asked_;             // the last minute's questions
};

}  // namespace tolmix::bridge
