#include "bridge/ConsentThrottle.h"

#include <libpsl.h>

#include <algorithm>
#include <set>

namespace tolmix::bridge {

namespace {

std::mutex g_liveMutex;
std::set<ConsentThrottle*>& Live() {
  static std::set<ConsentThrottle*> live;
  return live;
}

}  // namespace

ConsentThrottle::ConsentThrottle() {
  std::lock_guard lock(g_liveMutex);
  Live().insert(this);
}

ConsentThrottle::~ConsentThrottle() {
  std::lock_guard lock(g_liveMutex);
  Live().erase(this);
}

std::chrono::seconds ConsentThrottle::CoolDownLeft(const std::string& origin) {
  const std::string site = SiteOf(origin);
  const auto now = Clock::now();
  std::chrono::seconds left{0};
  std::lock_guard live(g_liveMutex);
  for (ConsentThrottle* t : Live()) {
    std::lock_guard lock(t->m_);
    auto it = t->until_.find(site);
    if (it == t->until_.end() || it->second <= now) continue;
    // Rounded up: a refusal with 0.4 s left is still a refusal.
    left = std::max(left, std::chrono::ceil<std::chrono::seconds>(it->second - now));
  }
  return left;
}

std::string SiteOf(const std::string& origin) {
  std::string host = origin.substr(origin.find("://") == std::string::npos ? 0 : origin.find("://") + 3);
  if (!host.empty() && host[0] == '[') return host.substr(0, host.find(']') + 1);  // IPv6
  host = host.substr(0, host.find(':'));
  // The list as the system keeps it up to date, else the library's own copy.
  static const psl_ctx_t* psl = [] {
    const psl_ctx_t* latest = psl_latest(nullptr);
    return latest ? latest : psl_builtin();
  }();
  const char* registrable = psl ? psl_registrable_domain(psl, host.c_str()) : nullptr;
  return registrable ? std::string(registrable) : host;
}

bool ConsentThrottle::CoolingDown(const std::string& site, Clock::time_point now, std::string* why) {
  auto it = until_.find(site);
  if (it == until_.end()) return false;
  if (now >= it->second) {
    until_.erase(it);
    return false;
  }
  *why = "the site " + site + " was denied or not answered lately";
  return true;
}

bool ConsentThrottle::Queue(const std::string& origin, std::string* why) {
  const std::string site = SiteOf(origin);
  std::lock_guard lock(m_);
  if (CoolingDown(site, Clock::now(), why)) return false;
  Waiting& w = waiting_[site];
  if (w.count > 0 && w.origin != origin) {
    *why = "a question about " + w.origin + " of the same site is open";
    return false;
  }
  w.origin = origin;
  ++w.count;
  return true;
}

bool ConsentThrottle::MayAsk(const std::string& origin, std::string* why) {
  const auto now = Clock::now();
  std::lock_guard lock(m_);
  if (CoolingDown(SiteOf(origin), now, why)) return false;
  while (!asked_.empty() && now - asked_.front() >= std::chrono::minutes(1)) asked_.pop_front();
  if (asked_.size() >= kQuestionsPerMinute) {
    *why = std::to_string(kQuestionsPerMinute) + " questions were asked in the last minute";
    return false;
  }
  asked_.push_back(now);
  return true;
}

void ConsentThrottle::Answered(const std::string& origin, bool allowed) {
  if (allowed) return;
  std::lock_guard lock(m_);
  until_[SiteOf(origin)] = Clock::now() + kConsentCoolDown;
}

void ConsentThrottle::Done(const std::string& origin) {
  const std::string site = SiteOf(origin);
  std::lock_guard lock(m_);
  auto it = waiting_.find(site);
  if (it != waiting_.end() && --it->second.count == 0) waiting_.erase(it);
}

}  // namespace tolmix::bridge
