// Which token certificate answers a request for a key kind.
//
// The rule, on the certificates of the token in the token's own order:
// - key kind 2 (signature) wants a certificate whose key usage has
//   digitalSignature or nonRepudiation; every other kind (1, exchange, and
//   any unknown value) wants keyEncipherment, dataEncipherment or
//   keyAgreement;
// - a certificate that has the wanted usage and none of the other kind's
//   usages is preferred; then one that has both; then one without a key
//   usage extension (fit for anything); a certificate with a key usage
//   extension that lacks every wanted bit is never chosen;
// - among equals the first in token order wins.
// The caller pairs certificates with private keys by CKA_ID; only
// certificates that have a key take part when a key is wanted.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include <openssl/x509.h>

namespace tolmix::p11 {

constexpr int kKeyKindExchange = 1;
constexpr int kKeyKindSignature = 2;

// How well CERT fits KIND: 0 = not at all, 1 = no key usage extension,
// 2 = usage for both kinds, 3 = usage for this kind only.
int KindFitness(X509* cert, int kind);

// Index in CERTS of the certificate the rule picks for KIND, or -1 when none
// fits.  Null entries are skipped.  The certificates are borrowed.
int ChooseCertificate(const std::vector<X509*>& certs, int kind);

// The same over COUNT certificates that CERT(i) gives (null: skipped), asked
// for in order and only as far as the choice can still change: after the
// first certificate of the wanted kind only, none is asked for, since
// parsing a certificate costs OpenSSL 3.0 the decoding of its public key.
int ChooseCertificate(size_t count, const std::function<X509*(size_t)>& cert, int kind);

}  // namespace tolmix::p11

namespace tolmix::p11 {

// A key identifier as ENGINE_load_private_key / ENGINE_load_public_key
// receive it: "1" or "2" (a key kind; null or "" mean 2), "id:<hex>" (a
// CKA_ID, even number of hex digits) or "label:<text>" (a CKA_LABEL, exact).
struct KeySelector {
  enum class By { kKind, kId, kLabel };
  By by = By::kKind;
  int kind = kKeyKindSignature;
  std::vector<unsigned char> id;
  std::string label;
};

// Parses TEXT into *OUT.  False for any other text.
bool ParseKeySelector(const char* text, KeySelector* out);

}  // namespace tolmix::p11
