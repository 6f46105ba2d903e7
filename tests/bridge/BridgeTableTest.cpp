// The dispatcher's shares of its descriptors (bridge/BridgeTable.h), with
// real sockets: bridges that read and bridges that never do.
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <vector>

#include "bridge/BridgeTable.h"

namespace tolmix::bridge {
namespace {

using Handed = BridgeTable::Handed;
using Registered = BridgeTable::Registered;

// A registration: the dispatcher's end goes to the table, the bridge's end
// is kept here (read or not).
struct Bridge {
  int mine = -1, theirs = -1;
  Bridge() {
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) == 0) mine = pair[0], theirs = pair[1];
  }
  Bridge(const Bridge&) = delete;
  ~Bridge() {
    if (theirs >= 0) close(theirs);
  }
  // Takes every connection handed so far; how many.
  int Take() {
    int n = 0;
    for (;;) {
      char byte;
      alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
      iovec iov{&byte, 1};
      msghdr msg{};
      msg.msg_iov = &iov;
      msg.msg_iovlen = 1;
      msg.msg_control = control;
      msg.msg_controllen = sizeof control;
      if (recvmsg(theirs, &msg, MSG_DONTWAIT | MSG_CMSG_CLOEXEC) != 1) return n;
      int fd;
      memcpy(&fd, CMSG_DATA(CMSG_FIRSTHDR(&msg)), sizeof fd);
      close(fd);
      ++n;
    }
  }
};

TEST(BridgeTableTest, OneUserWhoNeverTakesHoldsOnlyItsOwnShare) {
  constexpr uint64_t kLimit = 256;
  const unsigned share = BridgeTable::InFlightShare(kLimit);
  EXPECT_EQ(share, 6u);
  EXPECT_EQ(BridgeTable::UserSlots(kLimit), 19u);
  EXPECT_EQ(BridgeTable::InFlightShare(524288), 64u);
  BridgeTable table(kLimit);
  int conn = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(conn, 0);
  std::vector<Bridge> attacker(6);
  Bridge owner;
  ASSERT_EQ(table.Register(1000, owner.mine), Registered::kNew);
  EXPECT_EQ(table.Hand(2000, conn), Handed::kNoBridge);

  // A bridge that never reads: its share and no more.
  Bridge full;
  ASSERT_EQ(table.Register(3000, full.mine), Registered::kNew);
  for (unsigned i = 0; i < share; ++i) EXPECT_EQ(table.Hand(3000, conn), Handed::kHanded) << i;
  EXPECT_EQ(table.Hand(3000, conn), Handed::kBusy);
  // Registering again stops the handing to the old socket but frees
  // nothing: what it holds still counts while it is queued there.
  Bridge again;
  ASSERT_EQ(table.Register(3000, again.mine), Registered::kReplaced);
  EXPECT_EQ(table.Hand(3000, conn), Handed::kBusy);

  // Spread over registrations: three old sockets holding connections, and
  // the next registration of that user is refused.
  ASSERT_EQ(table.Register(2000, attacker[0].mine), Registered::kNew);
  for (int i = 0; i < 4; ++i) {
    if (i > 0) {
      ASSERT_EQ(table.Register(2000, attacker[i].mine), Registered::kReplaced) << i;
    }
    EXPECT_EQ(table.Hand(2000, conn), Handed::kHanded) << i;
  }
  EXPECT_EQ(table.Register(2000, attacker[4].mine), Registered::kRefusedBusy);
  EXPECT_EQ(table.Hand(2000, conn), Handed::kNoBridge);

  // The owner is served throughout, as fast as it takes.
  for (int i = 0; i < 100; ++i) {
    ASSERT_EQ(table.Hand(1000, conn), Handed::kHanded) << i;
    ASSERT_EQ(owner.Take(), 1);
  }

  // The old sockets are freed as soon as their bridge goes (or reads).
  for (int i = 0; i < 4; ++i) {
    if (i % 2) {
      close(attacker[i].theirs);
      attacker[i].theirs = -1;
    } else {
      EXPECT_EQ(attacker[i].Take(), 1);
    }
  }
  EXPECT_EQ(table.Register(2000, attacker[5].mine), Registered::kNew);
  EXPECT_EQ(attacker[5].Take(), 0);

  // A bridge that leaves a connection untaken for 2 s is dropped; the owner's
  // stays.
  EXPECT_EQ(table.Hand(2000, conn), Handed::kHanded);
  ASSERT_EQ(table.Hand(1000, conn), Handed::kHanded);
  ASSERT_EQ(owner.Take(), 1);
  std::vector<uid_t> dropped;
  EXPECT_TRUE(table.Sweep(&dropped));
  EXPECT_TRUE(dropped.empty());
  std::this_thread::sleep_for(BridgeTable::kTakeWithin + std::chrono::milliseconds(100));
  ASSERT_EQ(table.Hand(1000, conn), Handed::kHanded);
  ASSERT_EQ(owner.Take(), 1);
  EXPECT_TRUE(table.Sweep(&dropped));
  EXPECT_EQ(dropped, std::vector<uid_t>{2000});
  EXPECT_EQ(table.Hand(2000, conn), Handed::kNoBridge);
  EXPECT_EQ(table.Hand(1000, conn), Handed::kHanded);
  close(conn);
}

TEST(BridgeTableTest, UsersBeyondTheSlotsAreRefused) {
  BridgeTable table(64 + 4 * (4 + 4));  // shares of 4: room for 4 users
  std::vector<Bridge> bridges(5);
  for (uid_t u = 0; u < 4; ++u) EXPECT_EQ(table.Register(u, bridges[u].mine), Registered::kNew);
  EXPECT_EQ(table.Register(4, bridges[4].mine), Registered::kRefusedFull);
  // A user already served may register again.
  Bridge again;
  EXPECT_EQ(table.Register(0, again.mine), Registered::kReplaced);
}

}  // namespace
}  // namespace tolmix::bridge
