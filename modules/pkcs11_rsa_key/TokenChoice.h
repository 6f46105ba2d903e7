// Which token of a module a key load, a certificate read or the system's
// PIN check goes to.
//
// A token is a candidate only when it is initialised (CKF_TOKEN_INITIALIZED),
// matches the `Token=` pkcs11 URI of its [Device_N] entry when one is given,
// and before any login shows a certificate of the wanted key kind (the rule
// of ObjectChoice.h; CA certificates never count) -- for a token that needs
// no login, a certificate with its private key.  Tokens that show nothing
// usable (p11-kit's trust module, empty or uninitialised slots, a card with
// CA certificates only) are passed over without a login and without
// retries.  The first candidate in module and slot order is the one: the
// PIN goes there and nowhere else, so one guess is never spread over
// several devices.  Under $TOLMIX_DEBUG each token looked at is named on
// standard error with the reason it was passed over.
#pragma once

#include <string>
#include <vector>

#include <p11-kit/pkcs11.h>

#include "modules/pkcs11_rsa_key/Cryptoki.h"

namespace tolmix::p11 {

// The token attributes of an RFC 7512 "pkcs11:" URI that pick a token
// (token, manufacturer, serial, model); absent ones match anything.
struct TokenUri {
  std::vector<std::pair<std::string, std::string>> attributes;  // name, decoded value
};

// Parses TEXT ("pkcs11:token=My%20Token;serial=0123"); false when it is no
// pkcs11 URI or names an attribute this rule does not know.  Query parts
// ("?pin-value=...") are refused: a PIN never comes from the device list.
bool ParseTokenUri(const std::string& text, TokenUri* out);

// True when INFO (blank-padded fields) has every attribute of URI.
bool TokenMatches(const TokenUri& uri, const CK_TOKEN_INFO& info);

// The key kind a choice wants: 1 or 2 (any other value as 1), or kAnyKind
// for the PIN check, where either kind will do.
constexpr int kAnyKind = 0;

enum class TokenVerdict { kCandidate, kPassed, kBusy };

// How a token that is initialised and matches failed to show what it holds:
// no session opens on it, or its objects cannot be read.  When no module
// has a candidate, the first such token decides what the call is told (the
// session's failure), or is the token after all (unreadable objects: its key
// load then fails with its own message).
struct TokenFailure {
  enum Kind { kNone, kNoSession, kUnreadable };
  Kind kind = kNone;
  CK_RV rv = CKR_OK;
  CK_SLOT_ID slot = 0;
  CK_TOKEN_INFO info{};  // of that token, as it was seen
};

// Looks at the token in SLOT of TOKEN (which is set to use that slot) for
// KIND, with URI (null: any token).  kBusy: the token answered with a
// passing refusal (util/TokenRetry.h) and may be looked at again.  A
// candidate is kept (Cryptoki::KeepToken) as it was seen.  A token failure
// is written to *FAILURE unless one is there already.  MODULE names
// the module in the trace only.
TokenVerdict LookAtToken(Cryptoki& token, CK_SLOT_ID slot, const TokenUri* uri, int kind,
                         const std::string& module, TokenFailure* failure);

}  // namespace tolmix::p11
