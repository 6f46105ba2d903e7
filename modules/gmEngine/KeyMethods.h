// The keys gmEngine hands to OpenSSL, and the methods behind them.
//
// Every key is a legacy EC key (EVP_PKEY_EC) on the SM2 curve holding the
// public point only: EC_KEY_get0_private_key gives null.  It is assigned to
// its EVP_PKEY before its group is set, so OpenSSL keeps it EC-typed (an
// SM2-typed key is refused by PKCS#7 signing in OpenSSL 3.0), and it is
// made with the engine's EC_KEY_METHOD, which makes it "foreign": OpenSSL
// runs its operations through the legacy EC methods, and so through ours:
//   sign    -> e = SM3(Z || digest) (Sm2Sign.h), SKF_ECCSignData on the
//              device key; fails for a key without a device (public keys);
//   verify  -> SM2 verification of the digest in software (Sm2Sign.h).
// Every key also carries the engine as its method engine
// (EVP_PKEY_set1_engine): its EVP_PKEY_CTXs use the engine's EC
// EVP_PKEY_METHOD, a copy of OpenSSL's own with a decrypt that sends the
// SM2 ciphertext (a wrapped content key) to the device (and an encrypt
// that wraps for the key's public point in software), and the standard SM2
// signature for SM3: its digest_custom feeds Z into EVP_DigestSign /
// EVP_DigestVerify, and its sign / verify take the result as e (the device
// signs it as it is); other digests go the EC way above.
//
// Nothing is registered with OpenSSL: the methods reach only these keys.
// A key holds a functional reference to its engine; free keys before the
// engine's module is unloaded.
#pragma once

#include <memory>
#include <vector>

#include <openssl/ec.h>
#include <openssl/engine.h>

#include "engine/OsslPtr.h"
#include "modules/gmEngine/DeviceKey.h"

namespace tolmix::gm {

// A new EC_KEY_METHOD for the keys of one engine; the caller frees it (after
// the last key made with it).  Null on allocation failure.
EC_KEY_METHOD* NewEcKeyMethod();

// A new EC EVP_PKEY_METHOD: OpenSSL's own plus the device decryption and
// SM2 encryption (software) with the key's public point, and SM2 with SM3
// signing (device) and verification (software) of e = SM3(Z || M).
// Once listed by the engine, libcrypto frees it with the engine.
EVP_PKEY_METHOD* NewEcPkeyMethod();

// A key on the SM2 curve with public POINT, made with engine E (whose
// ENGINE_get_EC is a method of NewEcKeyMethod), E its method engine.  With
// DEVICE, private operations go to that device key.
// Null with an error on the queue on failure.
ossl::Ptr<EVP_PKEY> MakeEngineKey(ENGINE* e, const std::vector<unsigned char>& point,
                                  std::shared_ptr<DeviceKey> device);

}  // namespace tolmix::gm
