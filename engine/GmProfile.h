// SM2 outputs as GM verifiers read them: which keys are SM2 keys, how an
// SM2 signer of PKCS#7 signed data is named, and the standard SM2
// signature check (SM3 over Z and the message, default identity
// "1234567812345678") with the key of "gmEngine".  Internal to the engine.
//
// Signer info of an SM2 signer (GM/T 0010):
//   digestAlgorithm            SM3             1.2.156.10197.1.401
//   digestEncryptionAlgorithm  SM2 signature   1.2.156.10197.1.301.1
//   messageDigest              SM3(content)
//   encryptedDigest            SM2 signature of DER(signed attributes)
//                              (of the content itself without attributes)
#pragma once

#include <cstddef>

#include <openssl/evp.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>

namespace tolmix::gm_profile {

// The SM2 signature algorithm as the GM PKCS#7 profile names it.
inline constexpr char kSm2SignatureOid[] = "1.2.156.10197.1.301.1";

// True for a key on the SM2 curve, whether OpenSSL types it "SM2" (a
// certificate's key) or "EC" (a key of an engine).
bool IsSm2Key(EVP_PKEY* key) noexcept;

// Names SI's signature algorithm kSm2SignatureOid (no parameters).  OpenSSL
// 1.0 left that to the key's method; 3.0 names EC signers itself from
// its signature table, which knows only SM2-with-SM3 (1.2.156.10197.1.501).
bool NameSm2Signer(PKCS7_SIGNER_INFO* si) noexcept;

// Maps (SM3, id-ecPublicKey) to a signature id, once per process, so that
// PKCS#7 can name an SM3 signer of an EC-typed key (the key provider's SM2
// keys are EC-typed): SM2-with-SM3 where OpenSSL takes that triple (3.0);
// 3.5 and 4.0 refuse a triple whose signature id their own table already
// holds with other algorithms, and there the GM profile's kSm2SignatureOid
// is used (the name NameSm2Signer gives a signer in the end anyway).
// Without either every SM2 signer set-up fails.  "gmEngine" does the same
// when it binds (modules/gmEngine/EngineFront.cpp).
void AddSm3EcSignatureId() noexcept;

// Checks the DER signature SIG as a standard SM2 signature of LEN bytes of
// MSG, e = SM3(Z || MSG), with KEY: the key "gmEngine" hands back for the
// signer's certificate (ENGINE_load_public_key), whose key method feeds Z
// (default identity) into the SM3 digest.  1 valid, 0 otherwise.
int VerifyMessage(EVP_PKEY* key, const unsigned char* msg, size_t len, const unsigned char* sig,
                  size_t sigLen) noexcept;

}  // namespace tolmix::gm_profile
