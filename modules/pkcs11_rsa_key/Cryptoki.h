// One PKCS#11 module reached straight through its function list: the
// engine's own small layer in place of a session pool.
//
// The module is loaded and initialised (CKF_OS_LOCKING_OK) by Open and
// finalised and unloaded by the destructor (finalised only when this object
// initialised it).  At most one session is open at a time: StartSession
// closes the previous one, looks for the first slot with a token afresh and
// opens a new session there, so a token that was pulled, replaced or is
// busy is met by the call that follows, never by a wait.  Every PKCS#11
// call returns at once with its CKR; a failure ends the session and leaves
// an entry on OpenSSL's error queue (EngineErrors.h), the session is then
// reopened by the next StartSession.
//
// Thread-safety: every member but Open expects Mutex() held.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <openssl/bn.h>

#include <p11-kit/pkcs11.h>

namespace tolmix::p11 {

// A certificate or private key object of the token.
struct TokenObject {
  CK_OBJECT_HANDLE handle = CK_INVALID_HANDLE;
  std::vector<unsigned char> id;
  std::string label;
  std::vector<unsigned char> value;  // certificates: the DER bytes
};

class Cryptoki {
 public:
  // Loads the module at PATH and initialises it; null (with an error entry)
  // when it does not load or has no function list.
  static std::shared_ptr<Cryptoki> Open(const std::string& path);
  ~Cryptoki();
  Cryptoki(const Cryptoki&) = delete;
  Cryptoki& operator=(const Cryptoki&) = delete;

  std::mutex& Mutex() { return mutex_; }

  // True when a slot holds a token now.
  bool HasToken();
  // Ends the session of the last call, opens one on the first slot with a
  // token, and with a PIN logs the user in (C_Logout first, so the PIN of
  // this call decides).
  bool StartSession(const char* pin);
  void EndSession() noexcept;
  bool HaveSession() const { return have_session_; }

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

  std::mutex mutex_;
  void* library_ = nullptr;
  CK_FUNCTION_LIST_PTR f_ = nullptr;
  bool finalize_ = false;
  CK_SESSION_HANDLE session_ = CK_INVALID_HANDLE;
  bool have_session_ = false;
};

}  // namespace tolmix::p11
