// Asking the user whether a web origin may use the control.  Backends, the
// first that applies wins (MakeConsentBackend):
//   1. unattended, when $TOLMIX_CONSENT is set: "allow", "deny", or
//      "allow:ORIGIN[,ORIGIN...]" (those origins allowed, every other one
//      denied).  Unattended answers are never written to the origins file:
//      the variable answers every question again.
//   2. a GTK question box when $DISPLAY or $WAYLAND_DISPLAY is set and the
//      GTK backend library loads: Allow / Deny / Allow once;
//   3. a terminal prompt when standard input is a terminal;
//   otherwise nobody can answer and the origin is denied (not remembered).
// Allow and Deny from a person are remembered in the user's origins file;
// Allow once holds until the origin's worker ends.
#pragma once

#include <cstdio>
#include <memory>
#include <string>

namespace tolmix::bridge {

struct ConsentAnswer {
  bool allow = false;
  bool remember = false;  // write it to the user's origins file
};

class ConsentBackend {
 public:
  virtual ~ConsentBackend() = default;
  // Asks about ORIGIN (serialised form) and waits for the answer.
  virtual ConsentAnswer Ask(const std::string& origin) = 0;
  virtual const char* Name() const = 0;  // "unattended", "gtk", "terminal", "none"
};

std::unique_ptr<ConsentBackend> MakeConsentBackend();

// ANSWER as $TOLMIX_CONSENT above; anything else denies every origin (and
// says so once on standard error).
std::unique_ptr<ConsentBackend> MakeUnattendedConsent(std::string answer);

// Reads "a" (allow), "d" (deny) or "o" (allow once) from IN after a prompt
// on OUT; end of input denies without remembering.
std::unique_ptr<ConsentBackend> MakeTerminalConsent(FILE* in, FILE* out);

// The question shown to the user about ORIGIN.
std::string ConsentQuestion(const std::string& origin);

}  // namespace tolmix::bridge
