#include "bridge/Origins.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "bridge/Files.h"
#include "platform/Env.h"

namespace tolmix::bridge {
namespace {

constexpr std::string_view kSection = "[origins]";

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool IsHostChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '-';
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) {
    s.remove_suffix(1);
  }
  return s;
}

// Holds an flock on a file while it lives.
struct FileLock {
  int fd = -1;
  ~FileLock() {
    if (fd >= 0) close(fd);  // closing drops the lock
  }
};

}  // namespace

const char* VerdictName(Verdict v) {
  switch (v) {
    case Verdict::kAllow: return "allow";
    case Verdict::kDeny: return "deny";
    default: return "ask";
  }
}

std::string NormalizeOrigin(std::string_view text) {
  std::string s;
  for (char c : text) s.push_back(Lower(c));
  if (!s.empty() && s.back() == '/') s.pop_back();
  std::string scheme;
  if (s.starts_with("https://")) {
    scheme = "https";
  } else if (s.starts_with("http://")) {
    scheme = "http";
  } else {
    return "";
  }
  std::string_view rest = std::string_view(s).substr(scheme.size() + 3);
  std::string_view host;
  if (!rest.empty() && rest.front() == '[') {
    size_t close = rest.find(']');
    if (close == std::string_view::npos || close < 3) return "";
    host = rest.substr(0, close + 1);
    for (char c : host.substr(1, host.size() - 2)) {
      if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || c == ':' || c == '.')) return "";
    }
    rest.remove_prefix(close + 1);
    if (!rest.empty() && rest.front() != ':') return "";
  } else {
    size_t colon = rest.find(':');
    host = rest.substr(0, colon);
    rest = colon == std::string_view::npos ? std::string_view() : rest.substr(colon);
    if (host.empty() || host.size() > 253 || host.front() == '.' || host.front() == '-') {
      return "";
    }
    for (char c : host) {
      if (!IsHostChar(c)) return "";
    }
  }
  std::string portText;
  if (!rest.empty()) {
    std::string_view port = rest.substr(1);
    if (port.empty() || port.size() > 5) return "";
    unsigned n = 0;
    for (char c : port) {
      if (c < '0' || c > '9') return "";
      n = n * 10 + static_cast<unsigned>(c - '0');
    }
    if (n == 0 || n > 65535) return "";
    const bool defaultPort = (scheme == "https" && n == 443) || (scheme == "http" && n == 80);
    if (!defaultPort) portText = ":" + std::to_string(n);
  }
  return scheme + "://" + std::string(host) + portText;
}

std::string OriginFolderName(std::string_view origin) {
  std::string out;
  size_t sep = origin.find("://");
  out = std::string(origin.substr(0, sep)) + "_";
  for (char c : origin.substr(sep == std::string_view::npos ? 0 : sep + 3)) {
    out.push_back(c == ':' ? '_' : c);
  }
  return out;
}

bool OriginList::Parse(std::string_view text, std::string* error) {
  std::map<std::string, Verdict> entries;
  bool inSection = false;
  size_t lineNo = 0;
  while (!text.empty()) {
    size_t nl = text.find('\n');
    std::string_view line = Trim(text.substr(0, nl));
    text = nl == std::string_view::npos ? std::string_view() : text.substr(nl + 1);
    ++lineNo;
    if (line.empty() || line.front() == ';' || line.front() == '#') continue;
    auto fail = [&](const char* why) {
      *error = "line " + std::to_string(lineNo) + ": " + why;
      return false;
    };
    if (line.front() == '[') {
      if (line != kSection) return fail("unknown section (only [origins] is read)");
      inSection = true;
      continue;
    }
    if (!inSection) return fail("entry before [origins]");
    size_t eq = line.find('=');
    if (eq == std::string_view::npos) return fail("expected ORIGIN=allow or ORIGIN=deny");
    std::string origin = NormalizeOrigin(Trim(line.substr(0, eq)));
    std::string_view value = Trim(line.substr(eq + 1));
    if (origin.empty()) return fail("not an http or https origin");
    if (value == "allow") {
      entries[origin] = Verdict::kAllow;
    } else if (value == "deny") {
      entries[origin] = Verdict::kDeny;
    } else {
      return fail("the answer must be allow or deny");
    }
  }
  entries_ = std::move(entries);
  return true;
}

std::string OriginList::Serialize() const {
  std::string out = "; Web origins that may use the control through `tolmix bridge`.\n";
  out += "; Managed with `tolmix origins`; ORIGIN=allow or ORIGIN=deny.\n";
  out += std::string(kSection) + "\n";
  for (const auto& [origin, v] : entries_) out += origin + "=" + VerdictName(v) + "\n";
  return out;
}

Verdict OriginList::Find(std::string_view origin) const {
  auto it = entries_.find(std::string(origin));
  return it == entries_.end() ? Verdict::kUnknown : it->second;
}

void OriginList::Set(const std::string& origin, Verdict v) {
  if (v == Verdict::kUnknown) {
    entries_.erase(origin);
  } else {
    entries_[origin] = v;
  }
}

bool LoadOriginList(const std::string& path, OriginList* out, std::string* error) {
  std::string text;
  if (!ReadWholeFile(path, &text, error)) {
    if (errno != ENOENT) return false;
    error->clear();
    *out = OriginList();
    return true;
  }
  if (!out->Parse(text, error)) {
    *error = path + ": " + *error;
    return false;
  }
  return true;
}

bool EditOriginList(const std::string& path, const std::string& origin, Verdict v,
                    std::string* error) {
  size_t slash = path.find_last_of('/');
  if (slash != std::string::npos && slash > 0 && !MakeFolders(path.substr(0, slash), error)) {
    return false;
  }
  FileLock lock;
  const std::string lockPath = path + ".lock";
  lock.fd = open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (lock.fd < 0 || flock(lock.fd, LOCK_EX) != 0) {
    *error = "cannot lock " + lockPath + ": " + strerror(errno);
    return false;
  }
  OriginList list;
  if (!LoadOriginList(path, &list, error)) return false;
  list.Set(origin, v);
  return WriteFileAtomic(path, list.Serialize(), 0600, error);
}

Decision Decide(const std::string& origin, std::string* error) {
  Decision d;
  OriginList admin, user;
  if (!LoadOriginList(platform::AdminOriginsPath(), &admin, error)) {
    d.verdict = Verdict::kDeny;
    d.byAdministrator = true;
    return d;
  }
  d.verdict = admin.Find(origin);
  if (d.verdict != Verdict::kUnknown) {
    d.byAdministrator = true;
    return d;
  }
  if (!LoadOriginList(platform::OriginsPath(), &user, error)) {
    d.verdict = Verdict::kDeny;
    return d;
  }
  d.verdict = user.Find(origin);
  return d;
}

}  // namespace tolmix::bridge
