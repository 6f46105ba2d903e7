// The digest gmEngine supplies for the SHA-1 method (the system's digest
// code 11): SM3, computed in software by libcrypto's own SM3, under the
// SHA-1 type (NID_sha1, so PKCS#7 finds it where it expects SHA-1) with a
// 32-byte result.
//
// It reaches OpenSSL through a helper ENGINE of the module's own (id
// "gmEngine_sm3", never on the engine list) registered in the digest table
// for NID_sha1: EVP_DigestInit_ex(ctx, EVP_sha1(), NULL) then answers SM3.
// The gmEngine ENGINE itself stays out of every table, so that its finish
// function is only ever called through ENGINE_finish, outside libcrypto's
// engine lock, where it may unregister the helper.
#pragma once

#include <openssl/engine.h>

namespace tolmix::gm {

class Sm3ForSha1 {
 public:
  Sm3ForSha1() = default;
  ~Sm3ForSha1();  // Unregister, then frees the digest method
  Sm3ForSha1(const Sm3ForSha1&) = delete;
  Sm3ForSha1& operator=(const Sm3ForSha1&) = delete;

  // Makes the helper engine and its digest and registers them for NID_sha1.
  // False (nothing registered) on failure.  Must not run under the engine
  // lock (a bind function may call it; an init function may not).
  bool Register();

  // Takes the helper out of the digest table and drops this object's
  // reference to it.  Digest contexts still using it keep it (and the
  // digest method, freed with this object) alive; finish them first.  Must
  // not run under the engine lock.  Safe to call more than once.
  void Unregister();

  bool Registered() const { return helper_ != nullptr; }

 private:
  ENGINE* helper_ = nullptr;
  EVP_MD* md_ = nullptr;
};

}  // namespace tolmix::gm
