// SM2 arithmetic of gmEngine that runs in software: the value a device
// signs, and the matching verification.
//
// What is signed.  OpenSSL hands an EC key's sign function a digest D of
// the data (PKCS#7 signs with SHA-1: 20 bytes, or 32 when the engine's
// digest stands in for SHA-1).  The device (SKF_ECCSignData) signs exactly
// 32 bytes, e = SM3(Z || M), where Z is the signer's SM2 identity hash.
// gmEngine takes M = D, whatever its length: the signature is a standard
// SM2 signature, default identity "1234567812345678", of the message D.
// So verification recomputes D as the verifier of the PKCS#7 message does
// and checks an SM2 signature over it; a verifier that expects an SM2
// signature over the signed attributes themselves (SM2 with SM3, as the GM
// standards for PKCS#7 describe it) does not accept these signatures.
#pragma once

#include <cstddef>
#include <vector>

namespace tolmix::gm {

// The default SM2 identity of the signer.
inline constexpr char kSm2DefaultId[] = "1234567812345678";

// E = SM3(Z || MSG) for the SM2 public key POINT (uncompressed, 65 bytes)
// and the default identity.  False when POINT is not on the SM2 curve.
bool Sm2SignedValue(const std::vector<unsigned char>& point, const unsigned char* msg,
                    size_t msg_len, unsigned char (&e)[32]);

// Checks the DER signature SIG as an SM2 signature (default identity) of
// MSG by the key POINT.  1 valid, 0 invalid, -1 error (as ECDSA_verify).
int Sm2VerifyMessage(const std::vector<unsigned char>& point, const unsigned char* msg,
                     size_t msg_len, const unsigned char* sig, size_t sig_len);

// SM2 encryption (OpenSSL's DER form, C1 C3 C2, SM3) of IN for the key
// POINT.  OUT null asks for the size in *OUT_LEN.  False on failure.
bool Sm2Encrypt(const std::vector<unsigned char>& point, const unsigned char* in, size_t in_len,
                unsigned char* out, size_t* out_len);

}  // namespace tolmix::gm
