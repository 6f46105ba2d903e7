// One PKCS#11 module reached straight through its function list: the
// engine's own small layer in place of a session pool.
//
// The module is loaded and initialised (CKF_OS_LOCKING_OK) by Open and
// finalised and unloaded by the destructor (finalised only when this object
// initialised it).  At most one session is open at a time, on the slot that
// UseSlot named: StartSession closes the previous one and opens a new one,
// so a token that was pulled or is busy is met by the call that follows,
// never by an unbounded wait.  A
// failure ends the session and leaves an entry on OpenSSL's error queue
// (EngineErrors.h), the session is then reopened by the next StartSession.
// The answer of the failed call is kept (LastAnswerTransient), so that the
// caller can start the module afresh (Restart) and try its sequence again
// within util/TokenRetry.h's budget when the token was only busy.
//
// Thread-safety: every member but Open expects Mutex() held.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <openssl/bn.h>
#include <openssl/x509.h>

#include <p11-kit/pkcs11.h>

#include "platform/DynamicLibrary.h"
#include "util/PinGuard.h"

namespace tolmix::p11 {

// A certificate or private key object of the token.
struct TokenObject {
  CK_OBJECT_HANDLE handle = CK_INVALID_HANDLE;
  std::vector<unsigned char> id;
  std::string label;
  std::vector<unsigned char> value;  // certificates: the DER bytes
  // Certificates: VALUE parsed, once (Certificate).  OpenSSL 3.0 decodes the
  // public key of every certificate it parses through its decoder chain,
  // over a million instructions each, so the token's choice, the key load
  // and the certificate handed out share one parse.
  std::shared_ptr<X509> parsed;
  bool parse_tried = false;

  // The certificate of VALUE, parsed on first use (null when it is none);
  // owned by this object.
  X509* Certificate();
};

class Cryptoki {
 public:
  // Loads the module at PATH and initialises it; null (with an error entry)
  // when it does not load or has no function list.  *FAILED_AT (may be
  // null) then says how far it came, as a TokenOutcome step: kModuleLoad,
  // kModuleFunctions (no C_GetFunctionList, or C_Initialize refused),
  // kNoDevice (it loads but C_Initialize says its device does not answer)
  // or kNone (C_GetFunctionList refused: nothing to say).
  static std::shared_ptr<Cryptoki> Open(const std::string& path, int* failed_at = nullptr);
  ~Cryptoki();
  Cryptoki(const Cryptoki&) = delete;
  Cryptoki& operator=(const Cryptoki&) = delete;

  std::mutex& Mutex() { return mutex_; }

  // The slots that hold a token now (a busy module is asked again within
  // the retry budget); false with the answer when C_GetSlotList refused.
  bool SlotsWithToken(std::vector<CK_SLOT_ID>* out, CK_RV* rv);
  // The slot whose token the sessions are opened on.  A session on another
  // slot ends; one on this slot (the choice's, KeepChoice) stays.
  void UseSlot(CK_SLOT_ID slot) {
    if (slot != slot_) EndSession();
    slot_ = slot;
  }
  CK_SLOT_ID Slot() const { return slot_; }
  // Remembers the token of the slot in use by INFO, as it was seen when it
  // was chosen (label, manufacturer, serial): after a restart the module
  // may list it in another slot, where StartSession looks it up again.
  void KeepToken(const CK_TOKEN_INFO& info);
  // C_GetTokenInfo of the slot in use.
  CK_RV TokenInfo(CK_TOKEN_INFO* info);
  CK_RV LastAnswer() const { return last_rv_; }
  // Ends the session and, when this object initialised the module,
  // finalises and initialises it again so that it reads its token afresh;
  // object handles found before then are stale (Generation changes).  False
  // when the module did not initialise again.
  bool Restart();
  // Counts the module's restarts: a key remembers the count it was found
  // under, and its handle is good only while the count is the same.
  unsigned long Generation() const { return generation_; }
  // Whether the last failed call's answer is a passing one worth a restart
  // and another try (util/TokenRetry.h: C_OpenSession and C_Login by their
  // own rules).  Forgotten by ForgetAnswer.
  bool LastAnswerTransient() const;
  // Whether the last failed call was C_Login (or the token said it is
  // locked before the PIN was presented).
  bool LastWasLogin() const { return last_kind_ == kLoginCall; }
  // Whether it was C_OpenSession.
  bool LastWasOpen() const { return last_kind_ == kOpenCall; }
  // Whether the last failed login was a PIN the guard knew as refused, not
  // presented to the token.
  bool LastWasRemembered() const { return last_remembered_; }
  void ForgetAnswer() {
    last_rv_ = CKR_OK;
    last_kind_ = kOtherCall;
    last_uncounted_ = false;
    last_remembered_ = false;
  }
  // Ends the session of the last call, opens one on the slot in use, and
  // with a PIN logs the user in (C_Logout first, so the PIN of this call
  // decides).  A token whose flags say its user PIN is locked is not given
  // the PIN: the login fails as CKR_PIN_LOCKED.  Nor is a PIN that GUARD
  // (may be null) says this token refused before: the login fails as
  // CKR_PIN_INCORRECT without C_Login.  A refusal by C_Login itself is told
  // to GUARD.
  bool StartSession(const char* pin, const PinGuard* guard = nullptr);
  void EndSession() noexcept;
  bool HaveSession() const { return have_session_; }

  // The session the token was chosen on, with the certificates the choice
  // read, kept for the key load that follows in the same call: a PIN is
  // then logged in on that session (StartSession opens no other) and the
  // certificates are not searched for again (TakeChoiceCertificates).
  // SoftHSM2 reads its object files for every session and search, so this
  // saves a third of a key load's token work.  Ending the session or
  // restarting the module drops both.
  void KeepChoice(std::vector<TokenObject> certs);
  // Moves the certificates kept by KeepChoice into OUT, once; false when
  // none are kept (another session since, or taken already).
  bool TakeChoiceCertificates(std::vector<TokenObject>* out);

  // Certificates (CKO_CERTIFICATE, with their DER value) or private keys.
  bool FindObjects(bool certificates, std::vector<TokenObject>* out);
  // Modulus and public exponent of a private key object.
  bool ReadRsaPublic(CK_OBJECT_HANDLE key, BIGNUM** n, BIGNUM** e);

  // C_Sign (SIGN) or C_Decrypt of IN with MECHANISM under KEY into OUT of
  // OUT_SIZE bytes; the length written, or -1.
  int PrivateOperation(bool sign, CK_MECHANISM_TYPE mechanism, CK_OBJECT_HANDLE key,
                       const unsigned char* in, size_t in_len, unsigned char* out, size_t out_size);

 private:
  Cryptoki() = default;
  bool Failed(const char* function, CK_RV rv);  // records the failure, ends the session
  bool Attribute(CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type, size_t limit,
                 std::vector<unsigned char>* out);
  // The attributes of READS (at most three) as Attribute reads each, asked
  // for together where the module answers that (CryptokiObjects.cpp).
  struct AttributeRead {
    CK_ATTRIBUTE_TYPE type;
    size_t limit;
    std::vector<unsigned char>* out;
  };
  bool Attributes(CK_OBJECT_HANDLE object, AttributeRead* reads, size_t count);

  // Logs the user in with PIN on the open session (StartSession's second
  // half).
  bool Login(const char* pin, const PinGuard* guard);
  // The token in use as util/PinGuard.h names it (module, serial, label).
  std::string GuardIdentity(const CK_TOKEN_INFO* info) const;

  std::mutex mutex_;
  std::string path_;  // the module's path, as it was opened
  platform::DynamicLibrary library_;
  CK_FUNCTION_LIST_PTR f_ = nullptr;
  bool owner_ = false;     // this object initialised the module
  bool finalize_ = false;  // and it is initialised now
  unsigned long generation_ = 0;
  enum CallKind { kOtherCall, kOpenCall, kLoginCall };
  CK_RV last_rv_ = CKR_OK;  // answer of the last failed call
  CallKind last_kind_ = kOtherCall;
  bool last_uncounted_ = false;  // a refused login left the PIN flags clear
  bool last_remembered_ = false;  // the refused login was the guard's, not the token's
  CK_SLOT_ID slot_ = 0;
  bool keep_ = false;            // KeepToken was called
  CK_TOKEN_INFO kept_{};         // the token it remembered
  unsigned long kept_generation_ = 0;  // the generation slot_ is known good for
  CK_SESSION_HANDLE session_ = CK_INVALID_HANDLE;
  bool have_session_ = false;
  bool choice_session_ = false;           // session_ is the choice's, not logged in
  bool have_choice_certs_ = false;
  std::vector<TokenObject> choice_certs_;  // what the choice read on it
};

}  // namespace tolmix::p11
