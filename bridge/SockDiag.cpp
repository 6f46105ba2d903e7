#include "bridge/SockDiag.h"

#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace tolmix::bridge {
namespace {

// TCP states as the kernel numbers them (include/net/tcp_states.h).
constexpr uint8_t kSynRecv = 3, kTimeWait = 6, kNewSynRecv = 12;

}  // namespace

SockDiagAnswer SockDiagUid(int family, const void* src, uint16_t sport, const void* dst,
                           uint16_t dport) {
  SockDiagAnswer answer;
  const int fd = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
  if (fd < 0) return answer;
  struct {
    nlmsghdr head;
    inet_diag_req_v2 req;
  } msg{};
  msg.head.nlmsg_len = sizeof msg;
  msg.head.nlmsg_type = SOCK_DIAG_BY_FAMILY;
  msg.head.nlmsg_flags = NLM_F_REQUEST;  // one socket, looked up by its addresses
  msg.req.sdiag_family = static_cast<uint8_t>(family);
  msg.req.sdiag_protocol = IPPROTO_TCP;
  msg.req.idiag_states = ~0u;
  msg.req.id.idiag_sport = sport;
  msg.req.id.idiag_dport = dport;
  const size_t len = family == AF_INET6 ? 16 : 4;
  memcpy(msg.req.id.idiag_src, src, len);
  memcpy(msg.req.id.idiag_dst, dst, len);
  msg.req.id.idiag_cookie[0] = msg.req.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  ssize_t sent;
  do {
    sent = sendto(fd, &msg, sizeof msg, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel);
  } while (sent < 0 && errno == EINTR);
  if (sent != static_cast<ssize_t>(sizeof msg)) {
    close(fd);
    return answer;
  }
  alignas(nlmsghdr) char buf[8192];
  ssize_t n;
  do {
    n = recv(fd, buf, sizeof buf, 0);
  } while (n < 0 && errno == EINTR);
  close(fd);
  if (n < 0) return answer;
  answer.asked = true;
  for (auto* h = reinterpret_cast<nlmsghdr*>(buf); NLMSG_OK(h, static_cast<unsigned>(n));
       h = NLMSG_NEXT(h, n)) {
    if (h->nlmsg_type == NLMSG_ERROR) {
      const auto* err = static_cast<const nlmsgerr*>(NLMSG_DATA(h));
      // ENOENT: no such socket; anything else: the kernel would not say.
      if (h->nlmsg_len >= NLMSG_LENGTH(sizeof(nlmsgerr)) && err->error != -ENOENT) {
        answer.asked = false;
      }
      return answer;
    }
    if (h->nlmsg_type == SOCK_DIAG_BY_FAMILY && h->nlmsg_len >= NLMSG_LENGTH(sizeof(inet_diag_msg))) {
      const auto* m = static_cast<const inet_diag_msg*>(NLMSG_DATA(h));
      answer.found = true;
      // The owner counts only for a socket some process still holds (it
      // has an inode) and that is the one asked about, addresses and all.
      const bool same = m->id.idiag_sport == sport && m->id.idiag_dport == dport &&
                        memcmp(m->id.idiag_src, src, len) == 0 && memcmp(m->id.idiag_dst, dst, len) == 0;
      const bool held = m->idiag_inode != 0 && m->idiag_state != kTimeWait &&
                        m->idiag_state != kSynRecv && m->idiag_state != kNewSynRecv;
      if (same && held) answer.uid = m->idiag_uid;
      return answer;
    }
  }
  return answer;
}

}  // namespace tolmix::bridge
