#include "bridge/ConsentGate.h"

#include <utility>  // before Asio 1.74: its awaitable.hpp needs std::exchange

#include <boost/asio/post.hpp>
#include <boost/asio/thread_pool.hpp>
#include <cstdio>

#include "bridge/Consent.h"
#include "bridge/LogThrottle.h"
#include "bridge/Origins.h"
#include "bridge/WorkerPool.h"
#include "platform/Env.h"

namespace tolmix::bridge {
namespace {

Sometimes g_notAsked;

}  // namespace

struct ConsentGate::Thread {
  boost::asio::thread_pool pool{1};
};

ConsentGate::ConsentGate(WorkerPool& pool) : pool_(pool), consent_(std::make_unique<Thread>()) {}

// A question still open when the bridge stops is not waited for: the
// broker ends the process without destroying its gate (see RunBroker).
ConsentGate::~ConsentGate() = default;

void ConsentGate::Decide(const std::string& origin, std::function<void(bool)> done) {
  std::string error;
  Decision d = bridge::Decide(origin, &error);
  if (!error.empty()) fprintf(stderr, "tolmix bridge: %s\n", error.c_str());
  if (d.verdict != Verdict::kUnknown) return done(d.verdict == Verdict::kAllow);
  if (AllowedOnce(origin)) return done(true);
  std::string why;
  if (!throttle_.Queue(origin, &why)) {
    g_notAsked.Log(origin + " not asked about: " + why);
    return done(false);
  }
  boost::asio::post(consent_->pool, [this, origin, done = std::move(done)] {
    // The answer may have come while this question waited for its turn.
    std::string again, why2;
    Decision d2 = bridge::Decide(origin, &again);
    bool allowed = false;
    if (d2.verdict != Verdict::kUnknown) {
      allowed = d2.verdict == Verdict::kAllow;
    } else if (AllowedOnce(origin)) {
      allowed = true;
    } else if (!throttle_.MayAsk(origin, &why2)) {
      g_notAsked.Log(origin + " not asked about: " + why2);
    } else {
      allowed = Ask(origin);
      throttle_.Answered(origin, allowed);
    }
    throttle_.Done(origin);
    done(allowed);
  });
}

// Asks the user about ORIGIN now (on the consent thread) and keeps the
// answer where it belongs.
bool ConsentGate::Ask(const std::string& origin) {
  if (!backend_) backend_ = MakeConsentBackend();
  ConsentAnswer a = backend_->Ask(origin);
  fprintf(stderr, "tolmix bridge: %s %s by %s%s\n", origin.c_str(), a.allow ? "allowed" : "denied",
          backend_->Name(), a.remember ? "" : " (not kept)");
  if (a.remember) {
    std::string err;
    if (!EditOriginList(platform::OriginsPath(), origin, a.allow ? Verdict::kAllow : Verdict::kDeny,
                        &err)) {
      fprintf(stderr, "tolmix bridge: %s\n", err.c_str());
    }
  } else if (a.allow) {
    std::lock_guard lock(m_);
    once_.insert(origin);
  }
  return a.allow;
}

bool ConsentGate::AllowedOnce(const std::string& origin) {
  std::lock_guard lock(m_);
  if (!once_.count(origin)) return false;
  // "Allow once" lasts while the origin's worker does: it holds until a
  // worker has been seen running and then is gone (idle, revoked, died).
  if (pool_.Running(origin)) {
    seen_.insert(origin);
    return true;
  }
  if (seen_.count(origin)) {
    once_.erase(origin);
    seen_.erase(origin);
    return false;
  }
  return true;  // its first worker is still to start
}

}  // namespace tolmix::bridge
