// SM2 arithmetic of gmEngine that runs in software: the value a device
// signs, and the matching verification.
//
// What is signed.  The device (SKF_ECCSignData) signs exactly 32 bytes,
// e = SM3(Z || M), where Z is the signer's SM2 identity hash (default
// identity "1234567812345678").  Two ways lead there:
//  - EVP_DigestSign with SM3: the key method feeds Z into the digest
//    first, so the value handed to the sign function is e itself, and M is
//    the data signed (the DER of PKCS#7 signed attributes, a raw text): a
//    standard SM2 signature that any GM verifier accepts.
//  - Any other digest D that reaches the EC sign function (ECDSA_sign, an
//    EVP_PKEY_sign with SHA-1): M = D, whatever its length.  The control
//    signed so before it followed the GM profile; such signatures are
//    checked by recomputing D and verifying an SM2 signature over it.
#pragma once

#include <cstddef>
#include <vector>

namespace tolmix::gm {

// The default SM2 identity of the signer.
inline constexpr char kSm2DefaultId[] = "1234567812345678";

// Z = SM3(ENTL || ID || a || b || xG || yG || xA || yA) (GM/T 0003.2) for
// the SM2 public key POINT (uncompressed, 65 bytes) and the default
// identity.  False when POINT is not on the SM2 curve.
bool Sm2IdentityHash(const std::vector<unsigned char>& point, unsigned char (&z)[32]);

// E = SM3(Z || MSG) for the SM2 public key POINT (uncompressed, 65 bytes)
// and the default identity.  False when POINT is not on the SM2 curve.
bool Sm2SignedValue(const std::vector<unsigned char>& point, const unsigned char* msg,
                    size_t msg_len, unsigned char (&e)[32]);

// Checks the DER signature SIG as an SM2 signature (default identity) of
// MSG by the key POINT.  1 valid, 0 invalid, -1 error (as ECDSA_verify).
int Sm2VerifyMessage(const std::vector<unsigned char>& point, const unsigned char* msg,
                     size_t msg_len, const unsigned char* sig, size_t sig_len);

// Checks the DER signature SIG as an SM2 signature by the key POINT of the
// 32-byte value E = SM3(Z || M) computed by the caller.  1 valid, 0
// invalid, -1 error.
int Sm2VerifyE(const std::vector<unsigned char>& point, const unsigned char (&e)[32],
               const unsigned char* sig, size_t sig_len);

// SM2 encryption (OpenSSL's DER form, C1 C3 C2, SM3) of IN for the key
// POINT.  OUT null asks for the size in *OUT_LEN.  False on failure.
bool Sm2Encrypt(const std::vector<unsigned char>& point, const unsigned char* in, size_t in_len,
                unsigned char* out, size_t* out_len);

}  // namespace tolmix::gm
