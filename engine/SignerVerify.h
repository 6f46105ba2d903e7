// The check of one PKCS#7 signer with the public key a key route hands back
// for its certificate (engine/KeyRoute.h): the verification of signed data
// for every certificate that OpenSSL alone does not check.
#pragma once

#include <openssl/bio.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>

#include "engine/KeyRoute.h"

namespace tolmix {

// SignatureVerifyWithEngine checks signer SI of P7 as OpenSSL 1.0's
// PKCS7_signatureVerify does -- digest from the data chain BIO, the
// messageDigest attribute, the signature over the signed attributes -- with
// the public key that route E hands back for CERT (KeyRoute::PublicKey).
// An SM3 signer of an SM2 CERT follows the GM profile instead: its
// signature is a standard SM2 one of the signed attributes (or, without
// them, of the message's content), checked with that key over SM3
// (engine/GmProfile.h).
// Returns 1 valid; 0 (wrong type, no digest) or -1 (digest mismatch, no
// key, bad signature) otherwise, with a PKCS7 error on the queue.
int SignatureVerifyWithEngine(const KeyRoute& e, BIO* bio, PKCS7* p7, PKCS7_SIGNER_INFO* si,
                              X509* cert) noexcept;

}  // namespace tolmix
