// The message forms GM systems send and some GM peers insist on, read and
// made next to the PKCS#7 ones.  Internal to the engine.
//
//   content types (GM/T 0010)  data 1.2.156.10197.6.1.4.2.1, signedData .2,
//                              envelopedData .3: read as their PKCS#7
//                              counterparts, made only on request
//   armour                     PEM "PKCS7", PEM "CMS", or bare Base64 of
//                              the DER (any white space)
//   SM4-CBC                    1.2.156.10197.1.104.2, and 1.2.156.10197.1.104
//                              as many GM libraries name it (IV parameter)
//   SM2 key transport          SM2Cipher DER { x, y, C3, C2 } or the older
//                              { x, y, C2, C3 }, and the raw 04||C1||C3||C2,
//                              C1||C3||C2 (and C2 before C3); an x or y of 32
//                              unsigned bytes or with a redundant 00 is read
//
// Opt-in output forms (off unless named in $TOLMIX_GM_OUTPUT, a comma list;
// docs/platform.md): "types" (GM/T 0010 content types in SM2 signed data),
// "sm4" (SM4-CBC content cipher of envelopes to SM2 recipients).
#pragma once

#include <string>
#include <vector>

#include <openssl/evp.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>

#include "engine/OsslPtr.h"

namespace tolmix::gm_forms {

// DER of the GM/T 0010 envelopedData type, with tag and length.
inline constexpr unsigned char kGmEnvelopedOidDer[] = {0x06, 0x0A, 0x2A, 0x81, 0x1C, 0xCF,
                                                       0x55, 0x06, 0x01, 0x04, 0x02, 0x03};

// The PKCS#7 message in LEN bytes of TEXT, in any armour above, with GM/T
// 0010 content types (outer and inner) turned into their PKCS#7 ones.
// Null when there is none (a trace line says why).
ossl::Ptr<PKCS7> ReadMessage(const char* text, int len) noexcept;

// The content cipher named by OID: OpenSSL's, or SM4-CBC for the bare SM4
// identifier.  Null when unknown.
const EVP_CIPHER* ContentCipher(const ASN1_OBJECT* oid) noexcept;

// True when CERT's public key is an SM2 key: id-ecPublicKey on the SM2
// curve, or the SM2 algorithm identifier 1.2.156.10197.1.301, whatever
// signed the certificate.
bool CertHasSm2Key(X509* cert) noexcept;

// The SM2 ciphertext of a wrapped content key in every form it may be
// (above), each re-encoded as the DER SM2Cipher (x, y, C3, C2) the device
// takes, in the order to try: as written, then C1C2C3; the raw readings
// (with a leading 04 before without) only when IN is no DER SM2Cipher.
// Only the device's C3 check tells the right one.
std::vector<std::string> Sm2CipherCandidates(const unsigned char* in, size_t len);

// True when $TOLMIX_GM_OUTPUT names FORM ("types", "sm4").
bool OutputForm(const char* form) noexcept;

// P7 (finished signed data) with the GM/T 0010 content types, outer and
// inner; null on failure.  P7 keeps its own form.
ossl::Ptr<PKCS7> WithGmTypes(PKCS7* p7) noexcept;

}  // namespace tolmix::gm_forms
