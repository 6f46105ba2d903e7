// Which web origins may reach the control through the bridge.
//
// Two files of the same form decide: the administrator's
// (platform::AdminOriginsPath(), /etc/tolmix/origins.ini) and the user's
// (platform::OriginsPath(), ~/.config/tolmix/origins.ini).  The
// administrator's answer wins; an origin that neither file names is asked
// about (bridge/Consent.h).
//
// File form (UTF-8, one entry per line):
//   ; comment            (also "#")
//   [origins]
//   https://a.example=allow
//   https://b.example:8443=deny
// Origins are kept in their serialised form (scheme "://" host [":" port],
// lower case, no default port), as a browser sends them in its Origin
// header.  A line that does not follow the form is refused with its line
// number, and the whole file with it: a broken administrator's file denies
// every origin rather than letting the user's file decide alone.
#pragma once

#include <map>
#include <string>
#include <string_view>

namespace tolmix::bridge {

enum class Verdict { kUnknown, kAllow, kDeny };

const char* VerdictName(Verdict v);  // "ask", "allow", "deny"

// ORIGIN in serialised form, or "" when TEXT is not an http or https origin
// (scheme, host of letters, digits, "." and "-" or a bracketed IPv6
// address, optional port 1-65535, nothing else; a single trailing "/" is
// accepted).  Letter case is folded and the scheme's default port dropped.
std::string NormalizeOrigin(std::string_view text);

// The name of ORIGIN's own folder under the files root: "https_a.example",
// "http_127.0.0.1_8080".  ORIGIN must be normalised.
std::string OriginFolderName(std::string_view origin);

class OriginList {
 public:
  // False with *ERROR = "line N: why"; the list is then left as it was.
  bool Parse(std::string_view text, std::string* error);
  std::string Serialize() const;

  Verdict Find(std::string_view origin) const;
  void Set(const std::string& origin, Verdict v);  // kUnknown removes it
  const std::map<std::string, Verdict>& entries() const { return entries_; }

 private:
  std::map<std::string, Verdict> entries_;
};

// Reads PATH; a missing file is an empty list.  False with *ERROR naming
// the file.
bool LoadOriginList(const std::string& path, OriginList* out, std::string* error);

// Changes the list at PATH: under an exclusive lock on PATH.lock it is read,
// ORIGIN set to V (kUnknown removes it) and written atomically (0600).
bool EditOriginList(const std::string& path, const std::string& origin, Verdict v,
                    std::string* error);

// What both files say about an origin.
struct Decision {
  Verdict verdict = Verdict::kUnknown;
  bool byAdministrator = false;
};

// Reads both files (each time: answers given with `tolmix origins` apply at
// once).  A file that cannot be read or parsed counts as denying
// everything, and *ERROR says why.
Decision Decide(const std::string& origin, std::string* error);

}  // namespace tolmix::bridge
