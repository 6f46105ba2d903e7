#include "modules/pkcs11_rsa_key/TokenChoice.h"

#include <cstring>

#include <openssl/x509v3.h>

#include "engine/OsslPtr.h"
#include "modules/pkcs11_rsa_key/ObjectChoice.h"
#include "platform/Trace.h"
#include "util/TokenRetry.h"

namespace tolmix::p11 {
namespace {

// A blank-padded CK_TOKEN_INFO field as text.
template <size_t N>
std::string Field(const CK_UTF8CHAR (&field)[N]) {
  size_t n = N;
  while (n > 0 && (field[n - 1] == ' ' || field[n - 1] == '\0')) --n;
  return std::string(reinterpret_cast<const char*>(field), n);
}

int Hex(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// RFC 3986 percent-decoding; false on a broken escape.
bool Decode(const std::string& in, std::string* out) {
  out->clear();
  for (size_t i = 0; i < in.size(); ++i) {
    if (in[i] != '%') {
      out->push_back(in[i]);
      continue;
    }
    if (i + 2 >= in.size() || Hex(in[i + 1]) < 0 || Hex(in[i + 2]) < 0) return false;
    out->push_back(static_cast<char>(Hex(in[i + 1]) * 16 + Hex(in[i + 2])));
    i += 2;
  }
  return true;
}

bool Fits(X509* cert, int kind) {
  if (!cert || X509_check_ca(cert) > 0) return false;  // CA certificates sign no user data
  if (kind != kAnyKind) return KindFitness(cert, kind) > 0;
  return KindFitness(cert, kKeyKindSignature) > 0 || KindFitness(cert, kKeyKindExchange) > 0;
}

bool SameId(const TokenObject& a, const TokenObject& b) { return a.id == b.id; }

}  // namespace

X509* TokenObject::Certificate() {
  if (!parse_tried) {
    parse_tried = true;
    const unsigned char* p = value.data();
    parsed.reset(d2i_X509(nullptr, &p, static_cast<long>(value.size())), X509_free);
  }
  return parsed.get();
}

bool ParseTokenUri(const std::string& text, TokenUri* out) {
  static constexpr char kScheme[] = "pkcs11:";
  out->attributes.clear();
  if (text.compare(0, sizeof kScheme - 1, kScheme) != 0) return false;
  const std::string path = text.substr(sizeof kScheme - 1);
  if (path.find('?') != std::string::npos) return false;
  for (size_t at = 0; at < path.size();) {
    size_t end = path.find(';', at);
    if (end == std::string::npos) end = path.size();
    const std::string part = path.substr(at, end - at);
    at = end + 1;
    if (part.empty()) continue;
    const size_t eq = part.find('=');
    if (eq == std::string::npos) return false;
    const std::string name = part.substr(0, eq);
    if (name != "token" && name != "manufacturer" && name != "serial" && name != "model") return false;
    std::string value;
    if (!Decode(part.substr(eq + 1), &value)) return false;
    out->attributes.emplace_back(name, value);
  }
  return true;
}

bool TokenMatches(const TokenUri& uri, const CK_TOKEN_INFO& info) {
  for (const auto& [name, value] : uri.attributes) {
    const std::string have = name == "token"          ? Field(info.label)
                             : name == "manufacturer" ? Field(info.manufacturerID)
                             : name == "serial"       ? Field(info.serialNumber)
                                                      : Field(info.model);
    if (have != value) return false;
  }
  return true;
}

TokenVerdict LookAtToken(Cryptoki& token, CK_SLOT_ID slot, const TokenUri* uri, int kind,
                         const std::string& module, TokenFailure* failure) {
  token.UseSlot(slot);
  CK_TOKEN_INFO info{};
  CK_RV rv = token.TokenInfo(&info);
  const std::string label = rv == CKR_OK ? Field(info.label) : std::string();
  auto passed = [&](const char* why) {
    platform::Trace("P11: %s slot %lu token \"%s\" passed over: %s", module.c_str(), slot,
                    label.c_str(), why);
    return TokenVerdict::kPassed;
  };
  auto busy = [&](CK_RV answer) {
    platform::Trace("P11: %s slot %lu token \"%s\" busy (CKR 0x%08lX): asked again", module.c_str(),
                    slot, label.c_str(), answer);
    return TokenVerdict::kBusy;
  };
  if (rv != CKR_OK) {
    if (IsTransientOpenAnswer(rv)) return busy(rv);
    return passed("C_GetTokenInfo refused");
  }
  if (!(info.flags & CKF_TOKEN_INITIALIZED)) return passed("not initialised");
  if (uri && !TokenMatches(*uri, info)) return passed("does not match Token=");

  auto failed = [&](TokenFailure::Kind what, CK_RV answer) {
    if (failure->kind == TokenFailure::kNone) *failure = {what, answer, slot, info};
  };
  token.ForgetAnswer();
  if (!token.StartSession(nullptr)) {
    failed(TokenFailure::kNoSession, token.LastAnswer());
    if (token.LastAnswerTransient()) return busy(token.LastAnswer());
    return passed("no session opens");
  }
  // A token that needs no login shows its private keys now: a certificate
  // counts only with its key.  One that does shows certificates alone.
  const bool login = (info.flags & CKF_LOGIN_REQUIRED) != 0;
  std::vector<TokenObject> keys, certs;
  bool read = true;
  if (!login) read = token.FindObjects(false, &keys);
  if (read && (login || !keys.empty())) read = token.FindObjects(true, &certs);
  const bool transient = !read && token.LastAnswerTransient();
  const CK_RV answer = token.LastAnswer();
  if (!read) {
    token.EndSession();
    failed(TokenFailure::kUnreadable, answer);
  }
  if (transient) return busy(answer);
  if (!read) return passed("objects cannot be read");
  for (TokenObject& c : certs) {
    bool with_key = login;
    for (const TokenObject& k : keys) with_key = with_key || SameId(c, k);
    if (!with_key) continue;
    // Parsed once: the key load of this call takes the parse with the
    // certificates (KeepChoice).
    if (Fits(c.Certificate(), kind)) {
      platform::Trace("P11: %s slot %lu token \"%s\" chosen", module.c_str(), slot, label.c_str());
      token.KeepToken(info);
      // The key load of this call logs in on this session and takes these
      // certificates (a token that needs a login shows no other before).
      if (login) {
        token.KeepChoice(std::move(certs));
      } else {
        token.EndSession();
      }
      return TokenVerdict::kCandidate;
    }
  }
  token.EndSession();
  return passed(login ? "no certificate of the key kind"
                      : "no certificate with a private key of the key kind");
}

}  // namespace tolmix::p11
