#include "modules/pkcs11_rsa_key/TokenBack.h"

#include <cstring>
#include <vector>

#include <openssl/err.h>

#include "modules/pkcs11_rsa_key/EngineErrors.h"
#include "modules/pkcs11_rsa_key/ObjectChoice.h"
#include "modules/pkcs11_rsa_key/TokenChoice.h"
#include "modules/pkcs11_rsa_key/TokenKey.h"
#include "platform/Env.h"
#include "platform/Trace.h"
#include "util/FixedText.h"
#include "util/IniReader.h"
#include "util/TokenRetry.h"

namespace tolmix::p11 {
namespace {

// A module path longer than this is not tried (the system's own limit).
constexpr size_t kMaxModulePath = 255;
// Walks of a module that offered no candidate made again from a restarted
// module (see TokenLocked).
constexpr int kEmptyWalksAgain = 8;
// A `Token=` URI is read into this many bytes.
constexpr int kTokenUriSize = 512;

// One entry of the device list: the module's path and its `Token=` URI.
struct ListedModule {
  std::string path;
  std::string token;
};

std::vector<ListedModule> ListedModules(const std::string& override_path) {
  std::vector<ListedModule> out;
  if (!override_path.empty()) {
    out.push_back({override_path, ""});
    return out;
  }
  const std::string systemDir = platform::SystemDir();
  const std::string list = SystemFilePath(systemDir, kP11DeviceListFile);
  platform::Trace("P11: device list %s", list.c_str());
  const std::vector<std::string> names = ReadDeviceListFile(list.c_str());
  for (size_t i = 0; i < names.size(); ++i) {
    char section[32];
    FormatBounded(section, "Device_%zu", i + 1);
    char uri[kTokenUriSize];
    ReadIniString(section, "Token", "", uri, sizeof uri, list.c_str());
    out.push_back({SystemFilePath(systemDir, names[i].c_str()), uri});
  }
  return out;
}

bool SameId(const std::vector<unsigned char>& a, const unsigned char* b, size_t b_len) {
  return a.size() == b_len && (b_len == 0 || memcmp(a.data(), b, b_len) == 0);
}

// The private key whose CKA_ID is the certificate's, or null.
const TokenObject* KeyForCert(const TokenObject& cert, const std::vector<TokenObject>& keys) {
  for (const TokenObject& k : keys) {
    if (SameId(k.id, cert.id.data(), cert.id.size())) return &k;
  }
  return nullptr;
}

bool Matches(const TokenObject& o, const KeySelector& selector) {
  return selector.by == KeySelector::By::kId
             ? SameId(o.id, selector.id.data(), selector.id.size())
             : !o.label.empty() && selector.label == o.label;
}

// Runs OP, a sequence on TOKEN that starts its own session, until it
// succeeds or fails for good.  A failure whose answer is a passing one
// (util/TokenRetry.h) starts the module afresh and runs OP again, within the
// retry budget; the error entries of such a try are dropped, those of the
// last try stay.
template <class Op>
bool Retrying(Cryptoki& token, TokenRetry& retry, Op&& op) {
  for (;;) {
    token.ForgetAnswer();
    ERR_set_mark();
    if (op()) {
      ERR_clear_last_mark();
      return true;
    }
    bool restarted = false;
    if (token.LastAnswerTransient()) {
      while (!restarted && retry.Wait()) restarted = token.Restart();
    }
    if (!restarted) {
      ERR_clear_last_mark();
      return false;
    }
    ERR_pop_to_mark();
  }
}

}  // namespace

// The engine's last reference is gone, so no other thread can reach this
// back; keys still alive hold the module themselves.
TokenBack::~TokenBack() = default;

void TokenBack::SetModulePath(const char* path) {
  std::lock_guard lock(mutex_);
  module_override_ = path ? path : "";
}

void TokenBack::SetPinGuard(const PinGuard* guard) {
  std::lock_guard lock(mutex_);
  guard_ = guard ? *guard : PinGuard{};
}

void TokenBack::Finish() noexcept {
  std::shared_ptr<Cryptoki> last;  // closed outside the lock, unless a key holds it
  std::lock_guard lock(mutex_);
  last = std::move(token_);
}

std::shared_ptr<Cryptoki> TokenBack::TokenLocked(int kind, TokenRetry& retry) {
  // A token chosen for either kind (the PIN check) is chosen again for a
  // kind: it may show a certificate of the other kind only.
  if (token_ && (token_kind_ == kind || kind == kAnyKind)) return token_;
  token_.reset();
  token_kind_ = kind;
  outcome_ = TokenOutcome{};
  auto note = [&](int step, CK_RV rv, const std::string& module) {
    outcome_.step = step;
    outcome_.rv = rv;
    CopyBounded(outcome_.module, module);
  };
  const std::vector<ListedModule> modules = ListedModules(module_override_);
  // The first token that failed to show what it holds, with its module.
  TokenFailure failure;
  std::shared_ptr<Cryptoki> failed_token;
  std::string failed_module;
  for (const ListedModule& m : modules) {
    TokenUri uri;
    if (!m.token.empty() && !ParseTokenUri(m.token, &uri)) {
      platform::Trace("P11: module %s passed over: Token= is no pkcs11 token URI", m.path.c_str());
      note(TokenOutcome::kNoDevice, CKR_OK, m.path);
      continue;
    }
    if (m.path.size() > kMaxModulePath) {
      note(TokenOutcome::kModuleLoad, CKR_OK, m.path);
      continue;
    }
    int failed_at = TokenOutcome::kNone;
    std::shared_ptr<Cryptoki> token = Cryptoki::Open(m.path, &failed_at);
    if (!token) {
      platform::Trace("P11: module %s does not load or initialise", m.path.c_str());
      if (failed_at != TokenOutcome::kNone) note(failed_at, CKR_OK, m.path);
      continue;
    }
    std::lock_guard token_lock(token->Mutex());
    // A token that is only busy is looked at again, from a restarted
    // module, within the call's retry budget; a token that shows nothing
    // usable is passed over at once.
    int empty_walks = 0;
    for (;;) {
      std::vector<CK_SLOT_ID> slots;
      CK_RV rv = CKR_OK;
      if (!token->SlotsWithToken(&slots, &rv)) {
        platform::Trace("P11: module %s: C_GetSlotList refused (CKR 0x%08lX)", m.path.c_str(), rv);
        note(TokenOutcome::kSlotList, rv, m.path);
        break;
      }
      if (slots.empty()) platform::Trace("P11: module %s: no slot with a token", m.path.c_str());
      bool busy = false;
      TokenFailure walk_failure;
      for (CK_SLOT_ID slot : slots) {
        TokenVerdict verdict = LookAtToken(*token, slot, m.token.empty() ? nullptr : &uri, kind,
                                           m.path, &walk_failure);
        if (verdict == TokenVerdict::kCandidate) {
          ERR_clear_error();  // failures of earlier modules are not this call's
          note(TokenOutcome::kReady, CKR_OK, m.path);
          token->UseSlot(slot);
          token_ = token;
          return token_;
        }
        busy = busy || verdict == TokenVerdict::kBusy;
      }
      note(TokenOutcome::kNoDevice, CKR_OK, m.path);
      // A later walk of the same module tells of that token as it is now.
      if (walk_failure.kind != TokenFailure::kNone && (!failed_token || failed_token == token)) {
        failure = walk_failure;
        failed_token = token;
        failed_module = m.path;
      }
      // No candidate at all: SoftHSM2 that read its token while another
      // program wrote it lists the token's slot no more until it is
      // initialised again, so a module that offered nothing is started
      // afresh and looked at again a few times (a busy token within the
      // whole budget).  A module with a candidate is never asked twice,
      // nor one whose token failed for good.
      bool restarted = false;
      busy = busy || (walk_failure.kind == TokenFailure::kNone && ++empty_walks <= kEmptyWalksAgain);
      while (busy && !restarted && retry.Wait()) restarted = token->Restart();
      if (!restarted) break;
    }
  }
  if (failure.kind == TokenFailure::kUnreadable) {
    // Nothing else is fit and this token cannot be looked into: it is the
    // one, as the only token of a module is; its key load says what fails.
    std::lock_guard token_lock(failed_token->Mutex());
    platform::Trace("P11: %s slot %lu chosen although its objects cannot be read (CKR 0x%08lX)",
                    failed_module.c_str(), failure.slot, failure.rv);
    ERR_clear_error();
    note(TokenOutcome::kReady, CKR_OK, failed_module);
    failed_token->UseSlot(failure.slot);
    failed_token->KeepToken(failure.info);
    token_ = failed_token;
    return token_;
  }
  if (failure.kind == TokenFailure::kNoSession) {
    note(TokenOutcome::kOpenSession, failure.rv, failed_module);
  }
  RaiseError(kReasonNoModule, "no PKCS#11 module with a token fit for this call (%zu tried)", modules.size());
  return nullptr;
}

void TokenBack::SettleOutcome(const Cryptoki& token, bool ok) {
  outcome_.remembered = false;
  if (ok) {
    outcome_.step = TokenOutcome::kReady;
    outcome_.rv = CKR_OK;
  } else if (token.LastWasLogin()) {
    outcome_.step = TokenOutcome::kLogin;
    outcome_.rv = token.LastAnswer();
    outcome_.remembered = token.LastWasRemembered();
  } else if (token.LastWasOpen()) {
    outcome_.step = TokenOutcome::kOpenSession;
    outcome_.rv = token.LastAnswer();
  }
}

TokenOutcome TokenBack::LastOutcome() {
  std::lock_guard lock(mutex_);
  return outcome_;
}

bool TokenBack::StartLocked(Cryptoki& token, const char* pin, bool cert_only) {
  // A certificate read keeps the session of an earlier key load, whose keys
  // sign on it; a gone token fails the read and ends that session.
  if (cert_only) return token.HaveSession() || token.StartSession(nullptr);
  if (!pin || !*pin) {
    outcome_.step = TokenOutcome::kEmptyPin;
    RaiseError(kReasonNoPin, "no PIN in application data slot 2");
    return false;
  }
  return token.StartSession(pin, guard_.refused_before ? &guard_ : nullptr);
}

bool TokenBack::CheckLogin(const char* pin) {
  std::lock_guard lock(mutex_);
  token_.reset();  // each check chooses afresh
  TokenRetry retry;  // one budget for the choice and the login
  std::shared_ptr<Cryptoki> token = TokenLocked(kAnyKind, retry);
  if (!token) return false;
  if (!pin) return true;
  std::lock_guard token_lock(token->Mutex());
  bool ok = Retrying(*token, retry, [&] { return StartLocked(*token, pin, false); });
  SettleOutcome(*token, ok);
  // The check leaves no session behind; a key load of this engine logs in
  // afresh.
  token->EndSession();
  return ok && outcome_.step == TokenOutcome::kReady;
}

bool TokenBack::LoadClientCert(const char* pin, bool cert_only, int kind, ossl::Ptr<X509>* cert,
                               ossl::Ptr<EVP_PKEY>* key) {
  return LoadCertAndKey(pin, cert_only, kind, cert,
                        [&](const std::shared_ptr<Cryptoki>& token, const TokenObject* k, X509* x) {
                          ossl::Ptr<EVP_PKEY> made(
                              cert_only ? X509_get_pubkey(x)
                                        : MakeTokenKey(engine_, token, k->handle).release());
                          if (!made) return false;
                          *key = std::move(made);
                          return true;
                        });
}

bool TokenBack::LoadTokenKey(const char* pin, int kind, ossl::Ptr<X509>* cert,
                             std::shared_ptr<TokenKeyRef>* key, BIGNUM** n, BIGNUM** e) {
  return LoadCertAndKey(pin, false, kind, cert,
                        [&](const std::shared_ptr<Cryptoki>& token, const TokenObject* k, X509*) {
                          if (!token->ReadRsaPublic(k->handle, n, e)) return false;
                          *key = std::make_shared<TokenKeyRef>(
                              TokenKeyRef{token, k->handle, token->Generation()});
                          return true;
                        });
}

bool TokenBack::LoadCertAndKey(const char* pin, bool cert_only, int kind, ossl::Ptr<X509>* cert,
                               const KeyTaker& take) {
  std::lock_guard lock(mutex_);
  TokenRetry retry;
  std::shared_ptr<Cryptoki> token = TokenLocked(kind, retry);
  if (!token) return false;
  std::lock_guard token_lock(token->Mutex());
  bool ok = Retrying(*token, retry, [&] {
    if (!StartLocked(*token, pin, cert_only)) return false;
    std::vector<TokenObject> certs, keys;
    if (!token->TakeChoiceCertificates(&certs) && !token->FindObjects(true, &certs)) return false;
    if (!cert_only && !token->FindObjects(false, &keys)) return false;

    // Without a login the private keys are hidden, so a certificate read
    // looks at every certificate; a key load only at certificates with a
    // key.  A certificate is parsed only when the choice asks for it (the
    // choice's certificates come parsed already).
    auto candidate = [&](size_t i) -> X509* {
      return cert_only || KeyForCert(certs[i], keys) ? certs[i].Certificate() : nullptr;
    };
    int chosen = ChooseCertificate(certs.size(), candidate, kind);
    if (chosen < 0) {
      RaiseError(kReasonNoObject, "no certificate%s for key kind %d",
                 cert_only ? "" : " with a key", kind);
      return false;
    }
    X509* x = certs[static_cast<size_t>(chosen)].Certificate();
    // The caller's reference to the parse, which nothing here changes (a
    // copy would be parsed from its DER again).
    ossl::Ptr<X509> out_cert(X509_up_ref(x) ? x : nullptr);
    const TokenObject* k = cert_only ? nullptr : KeyForCert(certs[static_cast<size_t>(chosen)], keys);
    if (!out_cert || !take(token, k, x)) {
      RaiseError(kReasonInternal, "certificate or key could not be read from the token");
      return false;
    }
    *cert = std::move(out_cert);
    return true;
  });
  SettleOutcome(*token, ok);
  return ok;
}

ossl::Ptr<EVP_PKEY> TokenBack::LoadPrivateKey(const char* pin, const char* key_id) {
  KeySelector selector;
  if (!ParseKeySelector(key_id, &selector)) {
    RaiseError(kReasonBadKeyId, "key id not understood");
    return nullptr;
  }
  if (selector.by == KeySelector::By::kKind) {
    ossl::Ptr<X509> cert;
    ossl::Ptr<EVP_PKEY> key;
    if (!LoadClientCert(pin, false, selector.kind, &cert, &key)) return nullptr;
    return key;
  }
  return KeyOfObject(pin, false, selector,
                     [&](const std::shared_ptr<Cryptoki>& token, TokenObject& k) {
                       return MakeTokenKey(engine_, token, k.handle);
                     });
}

ossl::Ptr<EVP_PKEY> TokenBack::LoadPublicKey(const char* key_id, X509* cert) {
  if (cert) {
    ossl::Ptr<EVP_PKEY> key(X509_get_pubkey(cert));
    if (!key) RaiseError(kReasonNoCertificate, "certificate has no usable public key");
    return key;
  }
  KeySelector selector;
  if (!ParseKeySelector(key_id, &selector)) {
    RaiseError(kReasonBadKeyId, "key id not understood");
    return nullptr;
  }
  if (selector.by == KeySelector::By::kKind) {
    ossl::Ptr<X509> token_cert;
    ossl::Ptr<EVP_PKEY> key;
    if (!LoadClientCert(nullptr, true, selector.kind, &token_cert, &key)) return nullptr;
    return key;
  }
  return KeyOfObject(nullptr, true, selector, [&](const std::shared_ptr<Cryptoki>&, TokenObject& c) {
    X509* x = c.Certificate();
    ossl::Ptr<EVP_PKEY> key(x ? X509_get_pubkey(x) : nullptr);
    if (!key) RaiseError(kReasonNoCertificate, "certificate has no usable public key");
    return key;
  });
}

ossl::Ptr<EVP_PKEY> TokenBack::KeyOfObject(const char* pin, bool cert_only, const KeySelector& selector,
                                           const KeyMaker& make) {
  std::lock_guard lock(mutex_);
  TokenRetry retry;
  std::shared_ptr<Cryptoki> token = TokenLocked(kAnyKind, retry);
  if (!token) return nullptr;
  std::lock_guard token_lock(token->Mutex());
  ossl::Ptr<EVP_PKEY> key;
  bool ok = Retrying(*token, retry, [&] {
    std::vector<TokenObject> objects;
    if (!StartLocked(*token, pin, cert_only) || !token->FindObjects(cert_only, &objects)) return false;
    for (TokenObject& o : objects) {
      if (!Matches(o, selector)) continue;
      key = make(token, o);
      return key != nullptr;
    }
    RaiseError(kReasonNoObject, cert_only ? "no certificate with that id" : "no private key with that id");
    return false;
  });
  SettleOutcome(*token, ok);
  return key;
}

}  // namespace tolmix::p11
