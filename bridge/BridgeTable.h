// The dispatcher's registered bridges, one per user, and what each user may
// hold of the dispatcher's descriptors.
//
// A connection handed to a bridge (SCM_RIGHTS) stays in flight, charged to
// the dispatcher's user, until that bridge reads it; the kernel refuses
// every further hand-over once the dispatcher's user has RLIMIT_NOFILE of
// them in flight, whoever's they are.  So each user has a share:
//  - at most kInFlight(limit) connections handed and not yet taken (the
//    dispatcher sees what is still queued on a registration socket,
//    SIOCOUTQ, whatever the bridge says); beyond it the user's new
//    connections get a 503 and nobody else's are touched;
//  - one registration: a new one shuts the old socket down and nothing more
//    is handed to it.  The old socket is kept (shut down) only while
//    connections handed to it are still queued there, to know when they
//    are freed, at most kSocketsPerUser - 1 of them; while a user holds that
//    many, a further registration of theirs is refused;
//  - a bridge that leaves a connection untaken for kTakeWithin is dropped
//    the same way.
// The users served at once are as many as the descriptor limit has shares
// for (UserSlots); the numbers are in docs/bridge.md.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace tolmix::bridge {

class BridgeTable {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr unsigned kSocketsPerUser = 4;
  static constexpr unsigned kReserve = 64;  // listeners, a connection being handed, logs
  static constexpr std::chrono::milliseconds kTakeWithin{2000};

  // LIMIT: the dispatcher's RLIMIT_NOFILE.
  explicit BridgeTable(uint64_t limit);
  ~BridgeTable();

  static unsigned InFlightShare(uint64_t limit);
  static unsigned UserSlots(uint64_t limit);

  enum class Registered { kNew, kReplaced, kRefusedBusy, kRefusedFull };
  // Makes FD (connected, the hello sent) UID's registration.  Refused: FD
  // is closed.
  Registered Register(uid_t uid, int fd);

  enum class Handed { kHanded, kNoBridge, kBusy, kFailed };
  // Hands CONN to UID's bridge (CONN stays ours to close).  kFailed: the
  // bridge's socket is broken and it was dropped.
  Handed Hand(uid_t uid, int conn);

  // UID's live registration has gone (its socket became readable).
  void Gone(uid_t uid);

  // Frees what was taken, drops bridges that did not take in time (said
  // through DROPPED).  Returns whether anything is still in flight (then
  // call again within a quarter second).
  bool Sweep(std::vector<uid_t>* dropped);

  // The live registrations, to watch for their going.
  std::vector<std::pair<uid_t, int>> Live() const;

 private:
  struct Reg {
    int fd = -1;
    unsigned handed = 0;  // since the socket's queue was last seen empty
    Clock::time_point untakenSince{};
  };
  struct User {
    Reg live;  // fd -1: none
    std::vector<Reg> old;  // shut down, connections still queued
  };
  static void Refresh(Reg& r);
  void Retire(User& u);
  unsigned Charged(User& u);

  const unsigned inFlight_;
  const unsigned slots_;
  std::map<uid_t, User> users_;
};

}  // namespace tolmix::bridge
