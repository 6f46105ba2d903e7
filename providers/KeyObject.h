// The keys of tolmixprov: what a key object holds and the private
// operations it sends to its device.  Nothing here knows the provider
// dispatch tables (KeyManagement.cpp, Signature.cpp, Decryption.cpp).
//
//   SKF key     an open container of an SKF device session (gm::DeviceKey):
//               signs a 32-byte e = SM3(Z || M) and unwraps SM2 ciphertext
//               on the device.
//   soft key    the RSA key of a soft store key container, read into this
//               module and used only here, as the "capi" engine module does.
//   token key   an RSA private key object of a PKCS#11 token: signatures
//               (CKM_RSA_PKCS over a DigestInfo) and decryptions on the
//               token, on the session of the login that found it.
//   SM2 public  a certificate's SM2 point, for verification only.
//   token cert  a token certificate read without a login, with its public
//               key only.
//
// Failures return false with an entry on OpenSSL's error queue.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include <openssl/bn.h>
#include <openssl/evp.h>

#include "engine/OsslPtr.h"

namespace tolmix::gm {
class DeviceKey;
}
namespace tolmix::p11 {
struct TokenKeyRef;
}

namespace tolmix::keyprov {

// What one provider instance shares with its keys.
struct ProviderState;

class KeyObject {
 public:
  enum class Kind { kNone, kSkf, kSm2Public, kSoft, kToken, kTokenCert };

  explicit KeyObject(ProviderState* state) : state_(state) {}
  ~KeyObject();
  KeyObject(const KeyObject&) = delete;
  KeyObject& operator=(const KeyObject&) = delete;

  // Finds the key that PARAMS (util/KeyProviderParams.h) name on its
  // device.  EC says which key management asks: SM2 routes for "EC", RSA
  // routes for "RSA".  False (error queued) when the route does not fit,
  // a parameter is missing or the device refuses.
  bool Import(bool ec, const OSSL_PARAM params[]);

  Kind kind() const { return kind_; }
  bool IsEc() const { return kind_ == Kind::kSkf || kind_ == Kind::kSm2Public; }
  bool HasPrivate() const { return kind_ == Kind::kSkf || kind_ == Kind::kSoft || kind_ == Kind::kToken; }

  // SM2: the uncompressed public point.  RSA: modulus and exponent.
  const std::vector<unsigned char>& point() const { return point_; }
  const BIGNUM* n() const { return n_.get(); }
  const BIGNUM* e() const { return e_.get(); }
  int Bits() const;
  int MaxSignatureSize() const;
  // DER of the certificate the token route found (empty otherwise).
  const std::vector<unsigned char>& cert() const { return cert_; }

  // SM2: the device's signature (DER SEQUENCE {r, s}) of the 32-byte E.
  bool SignE(const unsigned char (&e)[32], std::vector<unsigned char>* sig);
  // RSA: PKCS #1 v1.5 signature of the digest DGST made with MD (null: DGST
  // is signed as it is, already a DigestInfo).
  bool SignDigest(const EVP_MD* md, const unsigned char* dgst, size_t len,
                  std::vector<unsigned char>* sig);
  // Decryption of IN: SM2 ciphertext (OpenSSL's DER form) on the SKF device,
  // RSA PKCS #1 v1.5 (PAD_PKCS1) or raw on soft and token keys.  OUT null:
  // *OUT_LEN receives the largest size.
  bool Decrypt(bool pkcs1, const unsigned char* in, size_t in_len, unsigned char* out,
               size_t* out_len);

 private:
  bool ImportSkf(const OSSL_PARAM params[]);
  bool ImportSm2Public(const OSSL_PARAM params[]);
  bool ImportSoft(const OSSL_PARAM params[]);
  bool ImportToken(bool certOnly, const OSSL_PARAM params[]);
  bool TakeRsaPublic(EVP_PKEY* key);

  ProviderState* state_;
  Kind kind_ = Kind::kNone;
  std::vector<unsigned char> point_;
  ossl::Ptr<BIGNUM> n_, e_;
  std::shared_ptr<gm::DeviceKey> device_;
  ossl::Ptr<EVP_PKEY> soft_;
  std::shared_ptr<p11::TokenKeyRef> token_;
  std::vector<unsigned char> cert_;
};

// Reads a UTF-8 string parameter NAME of PARAMS into *OUT; false when absent.
bool ReadText(const OSSL_PARAM params[], const char* name, std::string* out);

}  // namespace tolmix::keyprov
