#include "bridge/BridgeTable.h"

#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace tolmix::bridge {
namespace {

// Bytes (kernel buffers) sent on FD that its peer has not read yet; a
// socket that cannot say counts as holding some.
int Queued(int fd) {
  int n = 0;
  return ioctl(fd, SIOCOUTQ, &n) == 0 ? n : 1;
}

bool SendFd(int bridge, int conn) {
  char byte = 'c';
  iovec iov{&byte, 1};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
  msghdr msg{};
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  msg.msg_control = control;
  msg.msg_controllen = sizeof control;
  cmsghdr* c = CMSG_FIRSTHDR(&msg);
  c->cmsg_level = SOL_SOCKET;
  c->cmsg_type = SCM_RIGHTS;
  c->cmsg_len = CMSG_LEN(sizeof(int));
  memcpy(CMSG_DATA(c), &conn, sizeof conn);
  ssize_t n;
  do {
    n = sendmsg(bridge, &msg, MSG_DONTWAIT | MSG_NOSIGNAL);
  } while (n < 0 && errno == EINTR);
  return n == 1;
}

}  // namespace

unsigned BridgeTable::InFlightShare(uint64_t limit) {
  const uint64_t usable = limit > kReserve ? limit - kReserve : 0;
  return static_cast<unsigned>(std::clamp<uint64_t>(usable / 32, 4, 64));
}

unsigned BridgeTable::UserSlots(uint64_t limit) {
  const uint64_t usable = limit > kReserve ? limit - kReserve : 0;
  return static_cast<unsigned>(std::max<uint64_t>(1, usable / (kSocketsPerUser + InFlightShare(limit))));
}

BridgeTable::BridgeTable(uint64_t limit) : inFlight_(InFlightShare(limit)), slots_(UserSlots(limit)) {}

BridgeTable::~BridgeTable() {
  for (auto& [uid, u] : users_) {
    if (u.live.fd >= 0) close(u.live.fd);
    for (Reg& r : u.old) close(r.fd);
  }
}

void BridgeTable::Refresh(Reg& r) {
  if (r.handed && Queued(r.fd) == 0) r.handed = 0;
}

unsigned BridgeTable::Charged(User& u) {
  unsigned total = 0;
  if (u.live.fd >= 0) {
    Refresh(u.live);
    total += u.live.handed;
  }
  for (auto it = u.old.begin(); it != u.old.end();) {
    Refresh(*it);
    if (it->handed == 0) {
      close(it->fd);
      it = u.old.erase(it);
    } else {
      total += it->handed;
      ++it;
    }
  }
  return total;
}

// The live registration stops being one: shut down (its bridge reads the
// end after what is queued), closed when nothing handed is still queued.
void BridgeTable::Retire(User& u) {
  if (u.live.fd < 0) return;
  shutdown(u.live.fd, SHUT_RDWR);
  Refresh(u.live);
  if (u.live.handed) {
    u.old.push_back(u.live);
  } else {
    close(u.live.fd);
  }
  u.live = Reg{};
}

BridgeTable::Registered BridgeTable::Register(uid_t uid, int fd) {
  auto found = users_.find(uid);
  if (found == users_.end() && users_.size() >= slots_) {
    close(fd);
    return Registered::kRefusedFull;
  }
  User& u = users_[uid];
  Charged(u);
  const bool replaced = u.live.fd >= 0;
  if (replaced) Retire(u);
  if (u.old.size() >= kSocketsPerUser) {
    // Three old sockets still hold this user's connections: no fourth.
    close(fd);
    return Registered::kRefusedBusy;
  }
  u.live.fd = fd;
  return replaced ? Registered::kReplaced : Registered::kNew;
}

BridgeTable::Handed BridgeTable::Hand(uid_t uid, int conn) {
  auto it = users_.find(uid);
  if (it == users_.end() || it->second.live.fd < 0) return Handed::kNoBridge;
  User& u = it->second;
  if (Charged(u) >= inFlight_) return Handed::kBusy;
  if (!SendFd(u.live.fd, conn)) {
    // A full socket or the kernel's own limit: this connection only.
    if (errno == EAGAIN || errno == ETOOMANYREFS || errno == ENOBUFS) return Handed::kBusy;
    Gone(uid);
    return Handed::kFailed;
  }
  if (u.live.handed++ == 0) u.live.untakenSince = Clock::now();
  return Handed::kHanded;
}

void BridgeTable::Gone(uid_t uid) {
  auto it = users_.find(uid);
  if (it == users_.end()) return;
  Retire(it->second);
  if (it->second.old.empty()) users_.erase(it);
}

bool BridgeTable::Sweep(std::vector<uid_t>* dropped) {
  const auto now = Clock::now();
  bool pending = false;
  for (auto it = users_.begin(); it != users_.end();) {
    User& u = it->second;
    Charged(u);
    if (u.live.fd >= 0 && u.live.handed && now - u.live.untakenSince >= kTakeWithin) {
      dropped->push_back(it->first);
      Retire(u);
    }
    pending = pending || u.live.handed || !u.old.empty();
    it = u.live.fd < 0 && u.old.empty() ? users_.erase(it) : std::next(it);
  }
  return pending;
}

std::vector<std::pair<uid_t, int>> BridgeTable::Live() const {
  std::vector<std::pair<uid_t, int>> out;
  for (const auto& [uid, u] : users_) {
    if (u.live.fd >= 0) out.emplace_back(uid, u.live.fd);
  }
  return out;
}

}  // namespace tolmix::bridge
