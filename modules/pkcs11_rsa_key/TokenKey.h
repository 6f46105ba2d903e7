// RSA keys of the token as OpenSSL keys: the public part read from the
// token, every private operation (signature, decryption) sent to it.
//
// Each key is made with RSA_new_method on the engine, so it holds a
// functional reference: the engine (and this module) stays loaded, and the
// token's module open, until the last key is freed.  The keys' method is
// the engine's RSA method (ENGINE_set_RSA in the bind); the engine registers
// it as no default, so other RSA keys never reach it.
#pragma once

#include <memory>

#include <openssl/engine.h>

#include "engine/OsslPtr.h"
#include "modules/pkcs11_rsa_key/Cryptoki.h"

namespace tolmix::p11 {

// The RSA method of the token's keys: OpenSSL's own public operations, the
// private ones on the token (PKCS #1 v1.5 as CKM_RSA_PKCS, raw as
// CKM_RSA_X_509; OpenSSL pads PSS and OAEP itself).  Made once per load of
// the module; freed when the module is unloaded.
const RSA_METHOD* TokenRsaMethod();

// A key for the private key object HANDLE of TOKEN (Mutex() held by the
// caller); null with an error entry when the token cannot give its public
// part.
ossl::Ptr<EVP_PKEY> MakeTokenKey(ENGINE* engine, const std::shared_ptr<Cryptoki>& token,
                                 CK_OBJECT_HANDLE handle);

}  // namespace tolmix::p11
