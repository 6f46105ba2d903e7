#include "modules/pkcs11_rsa_key/Cryptoki.h"

#include <cstring>
#include <string_view>

#include "modules/pkcs11_rsa_key/EngineErrors.h"
#include "platform/Trace.h"
#include "util/TokenOutcome.h"
#include "util/TokenRetry.h"

namespace tolmix::p11 {
namespace {

// The PIN flags of a token that show a spent try.
constexpr CK_FLAGS kPinCountFlags = CKF_USER_PIN_COUNT_LOW | CKF_USER_PIN_FINAL_TRY | CKF_USER_PIN_LOCKED;

// C_Initialize answers of a module that loads but whose device does not
// answer (a TPM whose service is gone, a reader that was unplugged): the
// call is told no device was found, not that the library failed.
bool DeviceGone(CK_RV rv) {
  return rv == CKR_GENERAL_ERROR || rv == CKR_DEVICE_ERROR || rv == CKR_DEVICE_REMOVED ||
         rv == CKR_TOKEN_NOT_PRESENT;
}

}  // namespace

std::shared_ptr<Cryptoki> Cryptoki::Open(const std::string& path, int* failed_at) {
  int ignored = 0;
  int& step = failed_at ? *failed_at : ignored;
  step = TokenOutcome::kModuleLoad;
  std::shared_ptr<Cryptoki> c(new (std::nothrow) Cryptoki);
  if (!c) return nullptr;
  c->path_ = path;
  if (!c->library_.Load(path)) {
    RaiseError(kReasonNoModule, "module %s does not load", path.c_str());
    return nullptr;
  }
  step = TokenOutcome::kModuleFunctions;
  auto get = c->library_.Resolve<CK_C_GetFunctionList>("C_GetFunctionList");
  CK_FUNCTION_LIST_PTR f = nullptr;
  if (get && (get(&f) != CKR_OK || !f)) step = TokenOutcome::kNone;
  if (!get || !f) {
    RaiseError(kReasonNoModule, "module %s has no function list", path.c_str());
    return nullptr;
  }
  CK_C_INITIALIZE_ARGS args{};
  args.flags = CKF_OS_LOCKING_OK;
  CK_RV rv = f->C_Initialize(&args);
  if (rv != CKR_OK && rv != CKR_CRYPTOKI_ALREADY_INITIALIZED) {
    RaiseCkr("C_Initialize", rv);
    RaiseError(kReasonNoModule, "module %s does not initialise", path.c_str());
    step = DeviceGone(rv) ? TokenOutcome::kNoDevice : TokenOutcome::kModuleFunctions;
    return nullptr;
  }
  // A module another part of the process initialised stays initialised:
  // finalising it would end that user's sessions.
  c->owner_ = c->finalize_ = rv == CKR_OK;
  c->f_ = f;
  return c;
}

Cryptoki::~Cryptoki() {
  EndSession();
  if (f_ && finalize_) f_->C_Finalize(nullptr);
}

bool Cryptoki::Failed(const char* function, CK_RV rv) {
  last_rv_ = rv;
  last_kind_ = std::string_view(function) == "C_OpenSession" ? kOpenCall : kOtherCall;
  RaiseCkr(function, rv);
  RaiseError(kReasonToken, "%s failed: CKR 0x%08lX", function, rv);
  EndSession();
  return false;
}

void Cryptoki::EndSession() noexcept {
  choice_session_ = false;
  have_choice_certs_ = false;
  choice_certs_.clear();
  if (!have_session_) return;
  // Closing the last session also logs the user out.
  f_->C_CloseSession(session_);
  have_session_ = false;
  session_ = CK_INVALID_HANDLE;
}

bool Cryptoki::SlotsWithToken(std::vector<CK_SLOT_ID>* out, CK_RV* rv) {
  TokenRetry retry;
  for (;;) {
    CK_ULONG count = 0;
    *rv = f_->C_GetSlotList(CK_TRUE, nullptr, &count);
    if (*rv == CKR_OK) {
      // The list may grow between the two calls.
      out->assign(count + 8, 0);
      count = static_cast<CK_ULONG>(out->size());
      *rv = f_->C_GetSlotList(CK_TRUE, out->data(), &count);
      if (*rv == CKR_OK) {
        out->resize(count);
        return true;
      }
    }
    out->clear();
    if (!IsTransientTokenAnswer(*rv)) return false;
    bool restarted = false;
    while (!restarted && retry.Wait()) restarted = Restart();
    if (!restarted) return false;
  }
}

CK_RV Cryptoki::TokenInfo(CK_TOKEN_INFO* info) { return f_->C_GetTokenInfo(slot_, info); }

namespace {
template <size_t N>
bool Blank(const CK_UTF8CHAR (&field)[N]) {
  for (CK_UTF8CHAR c : field) {
    if (c != ' ' && c != '\0') return false;
  }
  return true;
}

// Whether LISTED, the token now in a slot (SAME_SLOT: the slot it was
// chosen in), is the KEPT one.  It must be initialised: SoftHSM2 lists a
// token it reads while another program writes it as uninitialised with
// blank fields, like its empty slot.  It may also show a blank label for
// such a moment while its flags read well, so a field the kept picture
// has blank is not compared; with every field blank only the same slot
// will do.
bool SameToken(const CK_TOKEN_INFO& listed, const CK_TOKEN_INFO& kept, bool same_slot) {
  if (!(listed.flags & CKF_TOKEN_INITIALIZED)) return false;
  bool compared = false;
  auto same = [&](const auto& a, const auto& b) {
    if (Blank(b)) return true;
    compared = true;
    return memcmp(a, b, sizeof a) == 0;
  };
  const bool all = same(listed.label, kept.label) && same(listed.manufacturerID, kept.manufacturerID) &&
                   same(listed.serialNumber, kept.serialNumber);
  return all && (compared || same_slot);
}
}  // namespace

void Cryptoki::KeepToken(const CK_TOKEN_INFO& info) {
  kept_ = info;
  keep_ = true;
  kept_generation_ = generation_;
}

bool Cryptoki::Restart() {
  EndSession();
  if (!owner_) return true;  // another user's module: asked again as it is
  if (finalize_) f_->C_Finalize(nullptr);
  ++generation_;
  CK_C_INITIALIZE_ARGS args{};
  args.flags = CKF_OS_LOCKING_OK;
  CK_RV rv = f_->C_Initialize(&args);
  finalize_ = rv == CKR_OK;
  if (rv == CKR_CRYPTOKI_ALREADY_INITIALIZED) owner_ = false;  // another user came in between
  return rv == CKR_OK || rv == CKR_CRYPTOKI_ALREADY_INITIALIZED;
}

bool Cryptoki::LastAnswerTransient() const {
  if (last_rv_ == CKR_OK) return false;
  switch (last_kind_) {
    case kLoginCall:
      return IsTransientLoginAnswer(last_rv_, last_uncounted_);
    case kOpenCall:
      return IsTransientOpenAnswer(last_rv_);
    default:
      return IsTransientTokenAnswer(last_rv_);
  }
}

std::string Cryptoki::GuardIdentity(const CK_TOKEN_INFO* info) const {
  // Without the token's own fields the slot stands in for them.
  if (!info) return PinGuardP11Device(path_, "slot", std::to_string(slot_));
  auto field = [](const CK_UTF8CHAR* text, size_t size) {
    return std::string_view(reinterpret_cast<const char*>(text), size);
  };
  return PinGuardP11Device(path_, field(info->serialNumber, sizeof info->serialNumber),
                           field(info->label, sizeof info->label));
}

void Cryptoki::KeepChoice(std::vector<TokenObject> certs) {
  if (!have_session_) return;
  choice_certs_ = std::move(certs);
  have_choice_certs_ = true;
  choice_session_ = true;
}

bool Cryptoki::TakeChoiceCertificates(std::vector<TokenObject>* out) {
  if (!have_choice_certs_ || !have_session_) return false;
  *out = std::move(choice_certs_);
  choice_certs_.clear();
  have_choice_certs_ = false;
  return true;
}

bool Cryptoki::StartSession(const char* pin, const PinGuard* guard) {
  // The choice's session takes the login of the key load that follows it.
  if (pin && choice_session_ && have_session_) {
    choice_session_ = false;
    return Login(pin, guard);
  }
  EndSession();
  // A restart that found the module unwilling left it uninitialised.
  if (owner_ && !finalize_ && !Restart()) {
    RaiseError(kReasonNoModule, "the module does not initialise again");
    return false;
  }
  // Restarted since the token was chosen: find it again by what it is.
  if (keep_ && kept_generation_ != generation_) {
    std::vector<CK_SLOT_ID> slots;
    CK_RV list_rv = CKR_OK;
    if (!SlotsWithToken(&slots, &list_rv)) return Failed("C_GetSlotList", list_rv);
    bool found = false;
    for (CK_SLOT_ID s : slots) {
      CK_TOKEN_INFO info{};
      if (f_->C_GetTokenInfo(s, &info) == CKR_OK && SameToken(info, kept_, s == slot_)) {
        slot_ = s;
        found = true;
        break;
      }
    }
    // Not listed for the moment: asked again like a busy session.
    if (!found) return Failed("C_OpenSession", CKR_SLOT_ID_INVALID);
    kept_generation_ = generation_;
  }
  CK_RV rv = f_->C_OpenSession(slot_, CKF_SERIAL_SESSION, nullptr, nullptr, &session_);
  if (rv != CKR_OK) return Failed("C_OpenSession", rv);
  have_session_ = true;
  if (!pin) return true;
  return Login(pin, guard);
}

bool Cryptoki::Login(const char* pin, const PinGuard* guard) {
  CK_RV rv = CKR_OK;
  last_remembered_ = false;
  // A token that says its PIN is locked is not given it.  The flags also
  // tell afterwards whether a failed login spent a try.
  CK_TOKEN_INFO before{};
  const CK_RV info_rv = TokenInfo(&before);
  const bool flags_known = info_rv == CKR_OK;
  // A token too busy to tell its own state now is not given the PIN: the
  // sequence is started afresh instead (SoftHSM2 answers both calls with
  // CKR_GENERAL_ERROR while another program writes its token).
  if (IsTransientOpenAnswer(info_rv)) {
    EndSession();
    last_rv_ = info_rv;
    last_kind_ = kOpenCall;
    RaiseCkr("C_GetTokenInfo", info_rv);
    RaiseError(kReasonToken, "C_GetTokenInfo failed: CKR 0x%08lX", info_rv);
    return false;
  }
  const std::string device = guard ? GuardIdentity(flags_known ? &before : nullptr) : std::string();
  bool presented = false;
  if (flags_known && (before.flags & CKF_USER_PIN_LOCKED)) {
    rv = CKR_PIN_LOCKED;
  } else if (guard && guard->refused_before &&
             guard->refused_before(device.data(), device.size(), pin)) {
    platform::Trace("P11: %s refused this PIN before: not presented again", path_.c_str());
    rv = CKR_PIN_INCORRECT;
    last_remembered_ = true;
  } else {
    f_->C_Logout(session_);  // an earlier login of this process; result ignored
    rv = f_->C_Login(session_, CKU_USER, reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(pin)),
                     static_cast<CK_ULONG>(strlen(pin)));
    presented = true;
  }
  if (presented && IsPinRefusal(rv) && guard && guard->remember) {
    guard->remember(device.data(), device.size(), pin);
  }
  if (rv != CKR_OK && rv != CKR_USER_ALREADY_LOGGED_IN) {
    // A token that cannot even tell its flags now is still busy: it shows
    // no spent try either.
    CK_TOKEN_INFO after{};
    const CK_RV after_rv = TokenInfo(&after);
    last_uncounted_ = flags_known && !(before.flags & kPinCountFlags) &&
                      (after_rv != CKR_OK || !(after.flags & kPinCountFlags));
    RaiseCkr("C_Login", rv);
    RaiseError(kReasonLoginFailed, "C_Login refused: CKR 0x%08lX", rv);
    EndSession();
    last_rv_ = rv;
    last_kind_ = kLoginCall;
    return false;
  }
  return true;
}

int Cryptoki::PrivateOperation(bool sign, CK_MECHANISM_TYPE mechanism, CK_OBJECT_HANDLE key,
                               const unsigned char* in, size_t in_len, unsigned char* out,
                               size_t out_size) {
  if (!have_session_) {
    RaiseError(kReasonToken, "no session: the key's token was logged out or is gone");
    return -1;
  }
  CK_MECHANISM m{mechanism, nullptr, 0};
  CK_ULONG n = out_size;
  CK_BYTE_PTR data = const_cast<CK_BYTE_PTR>(in);
  // No PIN is involved here: a busy token is asked again, on the same
  // session, within the retry budget.
  TokenRetry retry;
  CK_RV rv;
  for (;;) {
    n = out_size;
    rv = sign ? f_->C_SignInit(session_, &m, key) : f_->C_DecryptInit(session_, &m, key);
    if (rv == CKR_OK) {
      rv = sign ? f_->C_Sign(session_, data, in_len, out, &n)
                : f_->C_Decrypt(session_, data, in_len, out, &n);
    }
    if (!IsTransientTokenAnswer(rv) || !retry.Wait()) break;
  }
  if (rv != CKR_OK) {
    Failed(sign ? "C_Sign" : "C_Decrypt", rv);
    return -1;
  }
  if (n > out_size) {  // a module that claims more than the buffer holds
    RaiseError(kReasonToken, "the token returned %lu bytes for %zu", n, out_size);
    return -1;
  }
  return static_cast<int>(n);
}

}  // namespace tolmix::p11
