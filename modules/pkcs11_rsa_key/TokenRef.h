// A private key object of the token as the key provider (providers/) holds
// it: the module, the object's handle and the module's restart count the
// handle was found under.  The private operations go to the token on the
// session of the login that found the key, as the engine's keys do.
#pragma once

#include <memory>

#include "modules/pkcs11_rsa_key/Cryptoki.h"

namespace tolmix::p11 {

struct TokenKeyRef {
  std::shared_ptr<Cryptoki> token;
  CK_OBJECT_HANDLE handle = CK_INVALID_HANDLE;
  unsigned long generation = 0;
};

// C_Sign (SIGN) or C_Decrypt of IN with CKM_RSA_PKCS (PKCS1) or
// CKM_RSA_X_509 under KEY into OUT of OUT_SIZE bytes; the length written, or
// -1 with an error entry (also when the module was started afresh since the
// key was found: the handle may name another object now).
int TokenPrivateOperation(const TokenKeyRef& key, bool sign, bool pkcs1, const unsigned char* in,
                          size_t in_len, unsigned char* out, size_t out_size);

}  // namespace tolmix::p11
