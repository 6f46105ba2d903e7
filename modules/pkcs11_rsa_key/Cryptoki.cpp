#include "modules/pkcs11_rsa_key/Cryptoki.h"

#include <cstring>

#include "modules/pkcs11_rsa_key/EngineErrors.h"
#include "util/TokenRetry.h"

namespace tolmix::p11 {
namespace {

// Bounds of what is read from a token: objects of one class, and the bytes
// of one attribute (a certificate's value; ids and labels are far smaller).
constexpr CK_ULONG kMaxObjects = 256;
constexpr size_t kMaxIdOrLabel = 256;
constexpr size_t kMaxCertificate = 64 * 1024;
constexpr size_t kMaxRsaNumber = 2048;  // bytes: a 16384-bit modulus

}  // namespace

std::shared_ptr<Cryptoki> Cryptoki::Open(const std::string& path) {
  std::shared_ptr<Cryptoki> c(new (std::nothrow) Cryptoki);
  if (!c) return nullptr;
  if (!c->library_.Load(path)) {
    RaiseError(kReasonNoModule, "module %s does not load", path.c_str());
    return nullptr;
  }
  auto get = c->library_.Resolve<CK_C_GetFunctionList>("C_GetFunctionList");
  CK_FUNCTION_LIST_PTR f = nullptr;
  if (!get || get(&f) != CKR_OK || !f) {
    RaiseError(kReasonNoModule, "module %s has no function list", path.c_str());
    return nullptr;
  }
  CK_C_INITIALIZE_ARGS args{};
  args.flags = CKF_OS_LOCKING_OK;
  CK_RV rv = f->C_Initialize(&args);
  if (rv != CKR_OK && rv != CKR_CRYPTOKI_ALREADY_INITIALIZED) {
    RaiseCkr("C_Initialize", rv);
    RaiseError(kReasonNoModule, "module %s does not initialise", path.c_str());
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
  last_was_login_ = false;
  RaiseCkr(function, rv);
  RaiseError(kReasonToken, "%s failed: CKR 0x%08lX", function, rv);
  EndSession();
  return false;
}

void Cryptoki::EndSession() noexcept {
  if (!have_session_) return;
  // Closing the last session also logs the user out.
  f_->C_CloseSession(session_);
  have_session_ = false;
  session_ = CK_INVALID_HANDLE;
}

bool Cryptoki::HasToken() {
  TokenRetry retry;
  for (;;) {
    CK_ULONG count = 0;
    CK_RV rv = f_->C_GetSlotList(CK_TRUE, nullptr, &count);
    if (rv == CKR_OK) return count > 0;
    if (!IsTransientTokenAnswer(rv)) return false;
    bool restarted = false;
    while (!restarted && retry.Wait()) restarted = Restart();
    if (!restarted) return false;
  }
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

bool Cryptoki::LastAnswerTransient(bool* general_error_spent) const {
  if (last_rv_ == CKR_OK) return false;
  return last_was_login_ ? IsTransientLoginAnswer(last_rv_, general_error_spent)
                         : IsTransientTokenAnswer(last_rv_);
}

bool Cryptoki::StartSession(const char* pin) {
  EndSession();
  // A restart that found the module unwilling left it uninitialised.
  if (owner_ && !finalize_ && !Restart()) {
    RaiseError(kReasonNoModule, "the module does not initialise again");
    return false;
  }
  // The slot list is read afresh: the token of the last call may be gone,
  // or back in another slot.
  CK_SLOT_ID slots[64];
  CK_ULONG count = 0;
  CK_RV rv = f_->C_GetSlotList(CK_TRUE, nullptr, &count);
  if (rv != CKR_OK) return Failed("C_GetSlotList", rv);
  if (count == 0) {
    RaiseError(kReasonToken, "no token present");
    return false;
  }
  // The list may change between the two calls; only the first slot is used.
  CK_ULONG room = sizeof slots / sizeof slots[0];
  rv = f_->C_GetSlotList(CK_TRUE, slots, &room);
  if (rv == CKR_BUFFER_TOO_SMALL) {
    std::vector<CK_SLOT_ID> all(count + 16);
    room = all.size();
    rv = f_->C_GetSlotList(CK_TRUE, all.data(), &room);
    if (rv == CKR_OK && room > 0) slots[0] = all[0];
  }
  if (rv != CKR_OK) return Failed("C_GetSlotList", rv);
  if (room == 0) {
    RaiseError(kReasonToken, "no token present");
    return false;
  }
  rv = f_->C_OpenSession(slots[0], CKF_SERIAL_SESSION, nullptr, nullptr, &session_);
  if (rv != CKR_OK) return Failed("C_OpenSession", rv);
  have_session_ = true;
  if (!pin) return true;
  f_->C_Logout(session_);  // an earlier login of this process; result ignored
  rv = f_->C_Login(session_, CKU_USER, reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(pin)),
                   static_cast<CK_ULONG>(strlen(pin)));
  if (rv != CKR_OK && rv != CKR_USER_ALREADY_LOGGED_IN) {
    RaiseCkr("C_Login", rv);
    RaiseError(kReasonLoginFailed, "C_Login refused: CKR 0x%08lX", rv);
    EndSession();
    last_rv_ = rv;
    last_was_login_ = true;
    return false;
  }
  return true;
}

bool Cryptoki::Attribute(CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type, size_t limit,
                         std::vector<unsigned char>* out) {
  out->clear();
  CK_ATTRIBUTE a{type, nullptr, 0};
  CK_RV rv = f_->C_GetAttributeValue(session_, object, &a, 1);
  // An attribute the object lacks reads as empty.
  if (rv == CKR_ATTRIBUTE_TYPE_INVALID || rv == CKR_ATTRIBUTE_SENSITIVE) return true;
  if (rv != CKR_OK) return Failed("C_GetAttributeValue", rv);
  if (a.ulValueLen == CK_UNAVAILABLE_INFORMATION || a.ulValueLen == 0) return true;
  if (a.ulValueLen > limit) {
    RaiseError(kReasonToken, "attribute 0x%lX of %lu bytes is too long", type, a.ulValueLen);
    return false;
  }
  out->resize(a.ulValueLen);
  a.pValue = out->data();
  rv = f_->C_GetAttributeValue(session_, object, &a, 1);
  if (rv != CKR_OK) return Failed("C_GetAttributeValue", rv);
  if (a.ulValueLen > out->size()) return Failed("C_GetAttributeValue", CKR_GENERAL_ERROR);
  out->resize(a.ulValueLen);
  return true;
}

bool Cryptoki::FindObjects(bool certificates, std::vector<TokenObject>* out) {
  out->clear();
  if (!have_session_) {
    RaiseError(kReasonToken, "no session");
    return false;
  }
  CK_OBJECT_CLASS cls = certificates ? CKO_CERTIFICATE : CKO_PRIVATE_KEY;
  CK_ATTRIBUTE find{CKA_CLASS, &cls, sizeof cls};
  CK_RV rv = f_->C_FindObjectsInit(session_, &find, 1);
  if (rv != CKR_OK) return Failed("C_FindObjectsInit", rv);
  std::vector<CK_OBJECT_HANDLE> handles(kMaxObjects);
  CK_ULONG found = 0;
  rv = f_->C_FindObjects(session_, handles.data(), kMaxObjects, &found);
  CK_RV final_rv = f_->C_FindObjectsFinal(session_);
  if (rv != CKR_OK) return Failed("C_FindObjects", rv);
  if (final_rv != CKR_OK) return Failed("C_FindObjectsFinal", final_rv);
  if (found > kMaxObjects) found = kMaxObjects;
  for (CK_ULONG i = 0; i < found; ++i) {
    TokenObject o;
    o.handle = handles[i];
    std::vector<unsigned char> label;
    if (!Attribute(o.handle, CKA_ID, kMaxIdOrLabel, &o.id) ||
        !Attribute(o.handle, CKA_LABEL, kMaxIdOrLabel, &label) ||
        (certificates && !Attribute(o.handle, CKA_VALUE, kMaxCertificate, &o.value))) {
      out->clear();
      return false;
    }
    o.label.assign(label.begin(), label.end());
    out->push_back(std::move(o));
  }
  return true;
}

bool Cryptoki::ReadRsaPublic(CK_OBJECT_HANDLE key, BIGNUM** n, BIGNUM** e) {
  std::vector<unsigned char> modulus, exponent;
  if (!have_session_ || !Attribute(key, CKA_MODULUS, kMaxRsaNumber, &modulus) ||
      !Attribute(key, CKA_PUBLIC_EXPONENT, kMaxRsaNumber, &exponent)) {
    return false;
  }
  if (modulus.empty() || exponent.empty()) {
    RaiseError(kReasonNoObject, "the key is no RSA key");
    return false;
  }
  *n = BN_bin2bn(modulus.data(), static_cast<int>(modulus.size()), nullptr);
  *e = BN_bin2bn(exponent.data(), static_cast<int>(exponent.size()), nullptr);
  if (*n && *e) return true;
  BN_free(*n);
  BN_free(*e);
  *n = *e = nullptr;
  return false;
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
