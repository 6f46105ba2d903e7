// The names of certificates' signature algorithms as the system compares
// them: the choice of interface and engine from a certificate (encryption,
// verification, raw verification) and the scripts' own comparisons go by
// these texts.
#pragma once

#include <cstddef>

#include <openssl/x509.h>

namespace tolmix {

// Size of the algorithm-name buffer of CertSignatureAlgorithmName.
inline constexpr size_t kAlgorithmNameSize = 128;

// CertSignatureAlgorithmName writes the name of CERT's signature algorithm
// (the one inside tbsCertificate) into OUT (kAlgorithmNameSize bytes,
// zero-filled by the caller): OpenSSL's long name, or the dotted OID of an
// algorithm OpenSSL does not name.  SM2 with SM3 is written as
// "1.2.156.10197.1.501" (OpenSSL 3 names it "SM2-with-SM3").  Returns 0;
// writes nothing for a null CERT or OUT.
int CertSignatureAlgorithmName(X509* cert, char (&out)[kAlgorithmNameSize]) noexcept;

// CertSignatureAlgorithmName, except that a certificate with an SM2 key
// (GmForms.h: CertHasSm2Key) is named "1.2.156.10197.1.501" whatever signed
// it: the name CMSEngine::SelectInterfaceByCertificate takes for
// verification, encryption and raw verification.
int CertInterfaceAlgorithmName(X509* cert, char (&out)[kAlgorithmNameSize]) noexcept;

// True for the names of GM (SM2) certificates: "1.2.156.10197.1.501",
// "ecdsa-with-SHA1", "ecdsa-with-SHA256" and OpenSSL 3's "SM2-with-SM3",
// letter case aside.
bool IsGmAlgorithmName(const char* name) noexcept;

}  // namespace tolmix
