// SoftHSM2 reached through PKCS#11 itself, with nothing of ours around it:
// what the token costs by itself, for the benchmarks (TokenBench.cpp) and
// the instruction counts (CallCount.cpp).
#pragma once

#include <p11-kit/pkcs11.h>

#include <string>

namespace tolmix::bench {

// The sandbox's token PIN ("" when the environment names none).
std::string TokenPin();

// The constructor loads and initialises the library and logs a session in
// on the first slot with a token; the destructor closes the session,
// finalises and unloads.  Ready() says whether every step succeeded.
class Token {
 public:
  explicit Token(const std::string& pin);
  ~Token();
  Token(const Token&) = delete;
  Token& operator=(const Token&) = delete;

  bool Ready() const { return ready_; }

  // The sandbox's signature key, found by its label.
  bool FindSignKey();

  // C_SignInit + C_Sign (RSA PKCS#1 v1.5) of a SHA-1 DigestInfo with that
  // key, as the engine hands the token.
  bool Sign();

 private:
  void* lib_ = nullptr;
  CK_FUNCTION_LIST_PTR f_ = nullptr;
  CK_SESSION_HANDLE session_ = 0;
  CK_OBJECT_HANDLE key_ = 0;
  bool ready_ = false;
};

}  // namespace tolmix::bench
