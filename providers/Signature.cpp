// Signatures of tolmixprov.
//
// "ECDSA" (the name OpenSSL asks for an EC key; our EC keys are SM2 keys):
//   digest sign / verify with SM3   the standard SM2 signature of the
//       message M: Z (default identity) is fed into SM3 before M, and
//       e = SM3(Z || M) goes to the device as it is;
//   with any other digest D          e = SM3(Z || D(M)): the form signed
//       before the GM profile was followed, kept so that it still verifies;
//   sign / verify of given bytes     with SM3 set they are e; otherwise they
//       are D of the form above.
//   Verification runs in software (gm::Sm2VerifyE) on the key's point.
// "RSA": PKCS #1 v1.5, the DigestInfo of the digest set (none set: the
//   bytes are signed as they are), on the soft store key or the token.
#include <cstring>
#include <string>
#include <vector>

#include <openssl/core_dispatch.h>
#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/params.h>
#include <openssl/rsa.h>

#include "modules/gmEngine/Sm2Sign.h"
#include "providers/Dispatch.h"
#include "providers/KeyObject.h"

namespace tolmix::keyprov {
namespace {

struct SigContext {
  KeyObject* key = nullptr;
  ossl::Ptr<EVP_MD_CTX> md_ctx;  // digest sign / verify
  const EVP_MD* md = nullptr;    // the digest set (EVP_MD_fetch'ed, owned)
  bool sm3 = false;
  ~SigContext() { EVP_MD_free(const_cast<EVP_MD*>(md)); }
};

void* NewContext(void*, const char*) { return new (std::nothrow) SigContext; }
void FreeContext(void* ctx) { delete static_cast<SigContext*>(ctx); }

// A copy for EVP_DigestSignFinal, which finishes a copy of the context.
void* DupContext(void* ctx) {
  auto* c = static_cast<SigContext*>(ctx);
  auto* d = new (std::nothrow) SigContext;
  if (!d) return nullptr;
  d->key = c->key;
  d->sm3 = c->sm3;
  if (c->md) {
    if (!EVP_MD_up_ref(const_cast<EVP_MD*>(c->md))) {
      delete d;
      return nullptr;
    }
    d->md = c->md;
  }
  if (c->md_ctx) {
    d->md_ctx.reset(EVP_MD_CTX_new());
    if (!d->md_ctx || !EVP_MD_CTX_copy_ex(d->md_ctx.get(), c->md_ctx.get())) {
      delete d;
      return nullptr;
    }
  }
  return d;
}

bool SetDigest(SigContext* c, const char* name) {
  EVP_MD* md = EVP_MD_fetch(nullptr, name, nullptr);
  if (!md) return false;
  EVP_MD_free(const_cast<EVP_MD*>(c->md));
  c->md = md;
  c->sm3 = EVP_MD_is_a(md, "SM3");
  return true;
}

int SetParams(void* ctx, const OSSL_PARAM params[]) {
  auto* c = static_cast<SigContext*>(ctx);
  if (!params) return 1;
  const OSSL_PARAM* p = OSSL_PARAM_locate_const(params, OSSL_SIGNATURE_PARAM_DIGEST);
  const char* name = nullptr;
  if (p && (!OSSL_PARAM_get_utf8_string_ptr(p, &name) || !SetDigest(c, name))) return 0;
  p = OSSL_PARAM_locate_const(params, OSSL_SIGNATURE_PARAM_PAD_MODE);
  if (p) {
    int mode = 0;
    const char* text = nullptr;
    if (OSSL_PARAM_get_int(p, &mode)) return mode == RSA_PKCS1_PADDING ? 1 : 0;
    if (OSSL_PARAM_get_utf8_string_ptr(p, &text)) return strcmp(text, OSSL_PKEY_RSA_PAD_MODE_PKCSV15) == 0;
    return 0;
  }
  return 1;
}

const OSSL_PARAM* SettableParams(void*, void*) {
  static const OSSL_PARAM kTypes[] = {
      OSSL_PARAM_utf8_string(OSSL_SIGNATURE_PARAM_DIGEST, nullptr, 0),
      OSSL_PARAM_utf8_string(OSSL_SIGNATURE_PARAM_PAD_MODE, nullptr, 0), OSSL_PARAM_END};
  return kTypes;
}

int GetParams(void* ctx, OSSL_PARAM params[]) {
  auto* c = static_cast<SigContext*>(ctx);
  OSSL_PARAM* p = OSSL_PARAM_locate(params, OSSL_SIGNATURE_PARAM_DIGEST);
  if (p && c->md && !OSSL_PARAM_set_utf8_string(p, EVP_MD_get0_name(c->md))) return 0;
  return 1;
}

const OSSL_PARAM* GettableParams(void*, void*) {
  static const OSSL_PARAM kTypes[] = {OSSL_PARAM_utf8_string(OSSL_SIGNATURE_PARAM_DIGEST, nullptr, 0),
                                      OSSL_PARAM_END};
  return kTypes;
}

int Init(void* ctx, void* keydata, const OSSL_PARAM params[]) {
  auto* c = static_cast<SigContext*>(ctx);
  if (keydata) c->key = static_cast<KeyObject*>(keydata);
  return c->key && SetParams(ctx, params);
}

// ---- SM2 ----

// E for the bytes TBS handed over as they are.
bool Sm2E(SigContext* c, const unsigned char* tbs, size_t len, unsigned char (&e)[32]) {
  if (c->sm3) {
    if (len != sizeof e) return false;
    memcpy(e, tbs, sizeof e);
    return true;
  }
  return gm::Sm2SignedValue(c->key->point(), tbs, len, e);
}

bool PutSignature(const std::vector<unsigned char>& s, unsigned char* sig, size_t* siglen,
                  size_t sigsize) {
  if (s.size() > sigsize) return false;
  memcpy(sig, s.data(), s.size());
  *siglen = s.size();
  return true;
}

int Sm2Sign(void* ctx, unsigned char* sig, size_t* siglen, size_t sigsize, const unsigned char* tbs,
            size_t tbslen) {
  auto* c = static_cast<SigContext*>(ctx);
  if (!sig) {
    *siglen = static_cast<size_t>(c->key->MaxSignatureSize());
    return 1;
  }
  unsigned char e[32];
  std::vector<unsigned char> s;
  return Sm2E(c, tbs, tbslen, e) && c->key->SignE(e, &s) && PutSignature(s, sig, siglen, sigsize);
}

int Sm2Verify(void* ctx, const unsigned char* sig, size_t siglen, const unsigned char* tbs,
              size_t tbslen) {
  auto* c = static_cast<SigContext*>(ctx);
  unsigned char e[32];
  return Sm2E(c, tbs, tbslen, e) && gm::Sm2VerifyE(c->key->point(), e, sig, siglen) == 1;
}

int DigestInit(void* ctx, const char* mdname, void* keydata, const OSSL_PARAM params[]) {
  auto* c = static_cast<SigContext*>(ctx);
  if (!Init(ctx, keydata, params) || !SetDigest(c, mdname && *mdname ? mdname : c->key->IsEc() ? "SM3" : "SHA256"))
    return 0;
  c->md_ctx.reset(EVP_MD_CTX_new());
  if (!c->md_ctx || !EVP_DigestInit_ex2(c->md_ctx.get(), c->md, nullptr)) return 0;
  if (c->key->IsEc() && c->sm3) {
    unsigned char z[32];
    if (!gm::Sm2IdentityHash(c->key->point(), z) || !EVP_DigestUpdate(c->md_ctx.get(), z, sizeof z))
      return 0;
  }
  return 1;
}

int DigestUpdate(void* ctx, const unsigned char* data, size_t len) {
  auto* c = static_cast<SigContext*>(ctx);
  return c->md_ctx && EVP_DigestUpdate(c->md_ctx.get(), data, len);
}

// The digest of the data, handed to sign / verify of given bytes.
bool FinishDigest(SigContext* c, unsigned char (&d)[EVP_MAX_MD_SIZE], unsigned* len) {
  return c->md_ctx && EVP_DigestFinal_ex(c->md_ctx.get(), d, len);
}

int Sm2DigestSignFinal(void* ctx, unsigned char* sig, size_t* siglen, size_t sigsize) {
  auto* c = static_cast<SigContext*>(ctx);
  if (!sig) {
    *siglen = static_cast<size_t>(c->key->MaxSignatureSize());
    return 1;
  }
  unsigned char d[EVP_MAX_MD_SIZE];
  unsigned len = 0;
  return FinishDigest(c, d, &len) && Sm2Sign(ctx, sig, siglen, sigsize, d, len);
}

int Sm2DigestVerifyFinal(void* ctx, const unsigned char* sig, size_t siglen) {
  auto* c = static_cast<SigContext*>(ctx);
  unsigned char d[EVP_MAX_MD_SIZE];
  unsigned len = 0;
  return FinishDigest(c, d, &len) && Sm2Verify(ctx, sig, siglen, d, len);
}

// ---- RSA ----

int RsaSign(void* ctx, unsigned char* sig, size_t* siglen, size_t sigsize, const unsigned char* tbs,
            size_t tbslen) {
  auto* c = static_cast<SigContext*>(ctx);
  if (!sig) {
    *siglen = static_cast<size_t>(c->key->MaxSignatureSize());
    return 1;
  }
  std::vector<unsigned char> s;
  return c->key->SignDigest(c->md, tbs, tbslen, &s) && PutSignature(s, sig, siglen, sigsize);
}

int RsaDigestSignFinal(void* ctx, unsigned char* sig, size_t* siglen, size_t sigsize) {
  auto* c = static_cast<SigContext*>(ctx);
  if (!sig) {
    *siglen = static_cast<size_t>(c->key->MaxSignatureSize());
    return 1;
  }
  unsigned char d[EVP_MAX_MD_SIZE];
  unsigned len = 0;
  return FinishDigest(c, d, &len) && RsaSign(ctx, sig, siglen, sigsize, d, len);
}

template <bool kEc>
const OSSL_DISPATCH kSignature[] = {
    {OSSL_FUNC_SIGNATURE_NEWCTX, Fn(NewContext)},
    {OSSL_FUNC_SIGNATURE_FREECTX, Fn(FreeContext)},
    {OSSL_FUNC_SIGNATURE_DUPCTX, Fn(DupContext)},
    {OSSL_FUNC_SIGNATURE_SIGN_INIT, Fn(Init)},
    {OSSL_FUNC_SIGNATURE_SIGN, Fn(kEc ? Sm2Sign : RsaSign)},
    {OSSL_FUNC_SIGNATURE_DIGEST_SIGN_INIT, Fn(DigestInit)},
    {OSSL_FUNC_SIGNATURE_DIGEST_SIGN_UPDATE, Fn(DigestUpdate)},
    {OSSL_FUNC_SIGNATURE_DIGEST_SIGN_FINAL, Fn(kEc ? Sm2DigestSignFinal : RsaDigestSignFinal)},
    {OSSL_FUNC_SIGNATURE_SET_CTX_PARAMS, Fn(SetParams)},
    {OSSL_FUNC_SIGNATURE_SETTABLE_CTX_PARAMS, Fn(SettableParams)},
    {OSSL_FUNC_SIGNATURE_GET_CTX_PARAMS, Fn(GetParams)},
    {OSSL_FUNC_SIGNATURE_GETTABLE_CTX_PARAMS, Fn(GettableParams)},
    // SM2 keys verify too (the keys of certificates, "sm2-public").
    {kEc ? OSSL_FUNC_SIGNATURE_VERIFY_INIT : 0, kEc ? Fn(Init) : nullptr},
    {kEc ? OSSL_FUNC_SIGNATURE_VERIFY : 0, kEc ? Fn(Sm2Verify) : nullptr},
    {kEc ? OSSL_FUNC_SIGNATURE_DIGEST_VERIFY_INIT : 0, kEc ? Fn(DigestInit) : nullptr},
    {kEc ? OSSL_FUNC_SIGNATURE_DIGEST_VERIFY_UPDATE : 0, kEc ? Fn(DigestUpdate) : nullptr},
    {kEc ? OSSL_FUNC_SIGNATURE_DIGEST_VERIFY_FINAL : 0, kEc ? Fn(Sm2DigestVerifyFinal) : nullptr},
    {0, nullptr}};

}  // namespace

const OSSL_DISPATCH* Sm2Signature() { return kSignature<true>; }
const OSSL_DISPATCH* RsaSignature() { return kSignature<false>; }

}  // namespace tolmix::keyprov
