#include "bridge/PeerUser.h"

#include <cstdio>
#include <cstdlib>
#include <string>

#include "bridge/Files.h"

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

}  // namespace

std::optional<uid_t> FindPeerUid(std::string_view table, const sockaddr_in& local,
                                 const sockaddr_in& peer) {
  const std::string peer4 = Endpoint4(peer), local4 = Endpoint4(local);
  const std::string peer6 = Endpoint6(peer), local6 = Endpoint6(local);
  while (!table.empty()) {
    size_t nl = table.find('\n');
    std::string_view line = table.substr(0, nl);
    table = nl == std::string_view::npos ? std::string_view() : table.substr(nl + 1);
    // sl local_address rem_address st tx:rx tr:when retrnsmt uid ...
    std::string_view l = Field(line, 1), r = Field(line, 2), uid = Field(line, 7);
    bool match = (l == peer4 && r == local4) || (l == peer6 && r == local6);
    if (!match || uid.empty()) continue;
    std::string digits(uid);
    char* end = nullptr;
    unsigned long value = strtoul(digits.c_str(), &end, 10);
    if (end && *end == '\0') return static_cast<uid_t>(value);
  }
  return std::nullopt;
}

std::optional<uid_t> PeerUid(const sockaddr_in& local, const sockaddr_in& peer) {
  for (const char* path : {"/proc/net/tcp", "/proc/net/tcp6"}) {
    std::string table, error;
    if (!ReadWholeFile(path, &table, &error)) continue;
    if (auto uid = FindPeerUid(table, local, peer)) return uid;
  }
  return std::nullopt;
}

}  // namespace tolmix::bridge
