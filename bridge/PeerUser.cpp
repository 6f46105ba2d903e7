#include "bridge/PeerUser.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "bridge/Files.h"
#include "bridge/SockDiag.h"

namespace tolmix::bridge {
namespace {

// "ADDR:PORT" as the tables print an IPv4 address (the 32-bit value as the
// machine holds it, in hex) and the same address as IPv4-mapped IPv6.
std::string Endpoint4(const sockaddr_in& a) {
  char text[32];
  snprintf(text, sizeof text, "%08X:%04X", static_cast<unsigned>(a.sin_addr.s_addr),
           static_cast<unsigned>(ntohs(a.sin_port)));
  return text;
}

std::string Endpoint6(const sockaddr_in& a) {
  char text[64];
  const uint32_t mapped = htonl(0x0000FFFFu);
  snprintf(text, sizeof text, "0000000000000000%08X%08X:%04X", static_cast<unsigned>(mapped),
           static_cast<unsigned>(a.sin_addr.s_addr), static_cast<unsigned>(ntohs(a.sin_port)));
  return text;
}

// Field N (from 0) of a whitespace-separated LINE.
std::string_view Field(std::string_view line, int n) {
  size_t at = 0;
  for (int i = 0;; ++i) {
    at = line.find_first_not_of(" \t", at);
    if (at == std::string_view::npos) return {};
    size_t end = line.find_first_of(" \t", at);
    if (i == n) return line.substr(at, end == std::string_view::npos ? end : end - at);
    if (end == std::string_view::npos) return {};
    at = end;
  }
}

// "ADDR:PORT" of an IPv6 address as tcp6 prints it: four 32-bit words as
// the machine holds them, in hex.
std::string Endpoint6(const sockaddr_in6& a) {
  char text[64];
  uint32_t w[4];
  memcpy(w, &a.sin6_addr, sizeof w);
  snprintf(text, sizeof text, "%08X%08X%08X%08X:%04X", static_cast<unsigned>(w[0]),
           static_cast<unsigned>(w[1]), static_cast<unsigned>(w[2]), static_cast<unsigned>(w[3]),
           static_cast<unsigned>(ntohs(a.sin6_port)));
  return text;
}

// The uid of the row whose local end is one of PEER and whose remote end
// the same-index one of LOCAL.
std::optional<uid_t> FindRow(std::string_view table, const std::string (&peer)[2],
                             const std::string (&local)[2]) {
  while (!table.empty()) {
    size_t nl = table.find('\n');
    std::string_view line = table.substr(0, nl);
    table = nl == std::string_view::npos ? std::string_view() : table.substr(nl + 1);
    // sl local_address rem_address st tx:rx tr:when retrnsmt uid timeout inode
    std::string_view l = Field(line, 1), r = Field(line, 2), uid = Field(line, 7);
    bool match = (l == peer[0] && r == local[0]) || (l == peer[1] && r == local[1]);
    if (!match || uid.empty()) continue;
    // A socket no process holds any more (inode 0: closed, in FIN-WAIT or
    // TIME-WAIT) is shown with user 0: its owner cannot be read.
    const std::string_view inode = Field(line, 9), state = Field(line, 3);
    if (inode.empty() || inode == "0" || state == "06" || state == "03") return std::nullopt;
    std::string digits(uid);
    char* end = nullptr;
    unsigned long value = strtoul(digits.c_str(), &end, 10);
    if (end && *end == '\0') return static_cast<uid_t>(value);
  }
  return std::nullopt;
}

}  // namespace

std::optional<uid_t> FindPeerUid(std::string_view table, const sockaddr_in& local,
                                 const sockaddr_in& peer) {
  return FindRow(table, {Endpoint4(peer), Endpoint6(peer)}, {Endpoint4(local), Endpoint6(local)});
}

std::optional<uid_t> FindPeerUid(std::string_view table, const sockaddr_in6& local,
                                 const sockaddr_in6& peer) {
  const std::string p = Endpoint6(peer), l = Endpoint6(local);
  return FindRow(table, {p, p}, {l, l});
}

std::optional<uid_t> PeerUid(const sockaddr_in& local, const sockaddr_in& peer) {
  // The peer's socket: its own end is PEER, its far end LOCAL.
  SockDiagAnswer a = SockDiagUid(AF_INET, &peer.sin_addr, peer.sin_port, &local.sin_addr,
                                 local.sin_port);
  if (a.found) return a.uid;  // nullopt when its owner cannot be read
  if (!a.uid) {
    // A dual-stack IPv6 socket of the peer's, with IPv4-mapped addresses.
    in6_addr p6{}, l6{};
    p6.s6_addr[10] = p6.s6_addr[11] = l6.s6_addr[10] = l6.s6_addr[11] = 0xff;
    memcpy(&p6.s6_addr[12], &peer.sin_addr, 4);
    memcpy(&l6.s6_addr[12], &local.sin_addr, 4);
    SockDiagAnswer b = SockDiagUid(AF_INET6, &p6, peer.sin_port, &l6, local.sin_port);
    if (b.found || (a.asked && b.asked)) return b.uid;
  }
  if (a.asked) return a.uid;
  // No socket diagnostics in this kernel: the tables.
  for (const char* path : {"/proc/net/tcp", "/proc/net/tcp6"}) {
    std::string table, error;
    if (!ReadWholeFile(path, &table, &error)) continue;
    if (auto uid = FindPeerUid(table, local, peer)) return uid;
  }
  return std::nullopt;
}

std::optional<uid_t> PeerUid(const sockaddr_in6& local, const sockaddr_in6& peer) {
  SockDiagAnswer a = SockDiagUid(AF_INET6, &peer.sin6_addr, peer.sin6_port, &local.sin6_addr,
                                 local.sin6_port);
  if (a.asked) return a.uid;
  std::string table, error;
  if (!ReadWholeFile("/proc/net/tcp6", &table, &error)) return std::nullopt;
  return FindPeerUid(table, local, peer);
}

}  // namespace tolmix::bridge
