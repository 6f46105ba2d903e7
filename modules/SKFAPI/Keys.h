// Key pairs and certificates of a container, and the private-key operations
// done on them.  Private keys are read from the container's files for one
// operation and freed right after; nothing here hands one to a caller of
// the library.
#pragma once

#include <string>
#include <vector>

#include "modules/SKFAPI/Internal.h"

namespace skfapi {

enum class KeyAlg { kOther, kSm2, kRsa };

KeyAlg AlgOf(const EVP_PKEY* key);

// File of the signature (SIGN true) or encryption pair's key / certificate.
std::string KeyPath(const std::string& containerDir, bool sign);
std::string CertPath(const std::string& containerDir, bool sign);

// Loads the container's certificate.  SAR_CERTNOTFOUNTERR when there is none,
// SAR_READFILEERR when it cannot be read or decoded.
ULONG LoadCert(const std::string& containerDir, bool sign, Ptr<X509>* out);

// Loads the container's private key.  SAR_KEYNOTFOUNTERR when there is none.
ULONG LoadKey(const std::string& containerDir, bool sign, Ptr<EVP_PKEY>* out);

// Copies DATA to OUT of *OUTLEN bytes.  OUT null: size query.  Short OUT:
// SAR_BUFFER_TOO_SMALL with the size needed.
ULONG PutBytes(const unsigned char* data, size_t len, BYTE* out, ULONG* outLen);

// SM2 signature of a 32-byte digest (e = SM3(Z || M), computed by the
// caller) into the standard's blob: r and s big-endian in the last 32
// bytes of their 64-byte fields.
ULONG Sm2SignDigest(EVP_PKEY* key, const BYTE* digest, ULONG len, ECCSIGNATUREBLOB* sig);

// RSA PKCS#1 v1.5 block type 1 over DATA as given (a DigestInfo or a bare
// hash of the caller's choosing), at most modulus size - 11 bytes.
ULONG RsaSignRaw(EVP_PKEY* key, const BYTE* data, ULONG len, BYTE* sig, ULONG* sigLen);

// SM2 decryption of OpenSSL's DER ciphertext; RSA PKCS#1 v1.5 decryption.
ULONG Sm2Decrypt(EVP_PKEY* key, const BYTE* der, size_t derLen, BYTE* out, ULONG* outLen);
ULONG RsaDecrypt(EVP_PKEY* key, const BYTE* in, size_t inLen, BYTE* out, ULONG* outLen);

// The standard's cipher blob as OpenSSL's DER SM2 ciphertext and back.
ULONG CipherBlobToDer(const ECCCIPHERBLOB* blob, std::vector<unsigned char>* der);
ULONG DerToCipherBlob(const BYTE* der, size_t derLen, std::vector<unsigned char>* blob);

// The public key of a certificate as an ECCPUBLICKEYBLOB or RSAPUBLICKEYBLOB.
ULONG PublicKeyBlob(EVP_PKEY* pub, BYTE* out, ULONG* outLen);

// Stores KEY and CERT (PEM or DER each) as the container's signature or
// encryption pair, creating the container folder once both are accepted.  SAR_INDATAERR when either does not decode,
// SAR_KEYINFOTYPEERR for a key that is neither SM2 nor RSA, SAR_KEYUSAGEERR
// when the certificate does not carry the key's public half.
ULONG ImportPair(const std::string& containerDir, bool sign, const BYTE* key, size_t keyLen,
                 const BYTE* cert, size_t certLen);

}  // namespace skfapi
