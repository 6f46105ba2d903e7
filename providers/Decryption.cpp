// Decryption of tolmixprov: "SM2" (a wrapped content key, OpenSSL's DER
// form, unwrapped on the SKF device) and "RSA" (PKCS #1 v1.5 or raw, on the
// soft store key or the token).  Nothing is encrypted here: encryption
// needs no private key and stays with OpenSSL's own providers.
#include <cstring>

#include <openssl/core_dispatch.h>
#include <openssl/core_names.h>
#include <openssl/params.h>
#include <openssl/rsa.h>

#include "providers/Dispatch.h"
#include "providers/KeyObject.h"

namespace tolmix::keyprov {
namespace {

struct CipherContext {
  KeyObject* key = nullptr;
  bool pkcs1 = true;
};

void* NewContext(void*) { return new (std::nothrow) CipherContext; }
void FreeContext(void* ctx) { delete static_cast<CipherContext*>(ctx); }

int SetParams(void* ctx, const OSSL_PARAM params[]) {
  auto* c = static_cast<CipherContext*>(ctx);
  if (!params) return 1;
  const OSSL_PARAM* p = OSSL_PARAM_locate_const(params, OSSL_ASYM_CIPHER_PARAM_PAD_MODE);
  if (p) {
    int mode = 0;
    const char* text = nullptr;
    if (OSSL_PARAM_get_int(p, &mode)) {
      if (mode != RSA_PKCS1_PADDING && mode != RSA_NO_PADDING) return 0;
      c->pkcs1 = mode == RSA_PKCS1_PADDING;
    } else if (OSSL_PARAM_get_utf8_string_ptr(p, &text)) {
      if (strcmp(text, OSSL_PKEY_RSA_PAD_MODE_PKCSV15) == 0) c->pkcs1 = true;
      else if (strcmp(text, OSSL_PKEY_RSA_PAD_MODE_NONE) == 0) c->pkcs1 = false;
      else return 0;
    } else {
      return 0;
    }
  }
  // Other settings (implicit rejection, digests of other paddings) do not
  // apply to what the device does and are accepted as they are.
  return 1;
}

const OSSL_PARAM* SettableParams(void*, void*) {
  static const OSSL_PARAM kTypes[] = {
      OSSL_PARAM_utf8_string(OSSL_ASYM_CIPHER_PARAM_PAD_MODE, nullptr, 0), OSSL_PARAM_END};
  return kTypes;
}

int GetParams(void*, OSSL_PARAM[]) { return 1; }

const OSSL_PARAM* GettableParams(void*, void*) {
  static const OSSL_PARAM kTypes[] = {OSSL_PARAM_END};
  return kTypes;
}

int DecryptInit(void* ctx, void* keydata, const OSSL_PARAM params[]) {
  auto* c = static_cast<CipherContext*>(ctx);
  c->key = static_cast<KeyObject*>(keydata);
  return c->key && c->key->HasPrivate() && SetParams(ctx, params);
}

int Decrypt(void* ctx, unsigned char* out, size_t* outlen, size_t outsize, const unsigned char* in,
            size_t inlen) {
  auto* c = static_cast<CipherContext*>(ctx);
  if (!out) return c->key->Decrypt(c->pkcs1, in, inlen, nullptr, outlen) ? 1 : 0;
  size_t len = outsize;
  if (!c->key->Decrypt(c->pkcs1, in, inlen, out, &len)) return 0;
  *outlen = len;
  return 1;
}

const OSSL_DISPATCH kDecryption[] = {
    {OSSL_FUNC_ASYM_CIPHER_NEWCTX, Fn(NewContext)},
    {OSSL_FUNC_ASYM_CIPHER_FREECTX, Fn(FreeContext)},
    {OSSL_FUNC_ASYM_CIPHER_DECRYPT_INIT, Fn(DecryptInit)},
    {OSSL_FUNC_ASYM_CIPHER_DECRYPT, Fn(Decrypt)},
    {OSSL_FUNC_ASYM_CIPHER_SET_CTX_PARAMS, Fn(SetParams)},
    {OSSL_FUNC_ASYM_CIPHER_SETTABLE_CTX_PARAMS, Fn(SettableParams)},
    {OSSL_FUNC_ASYM_CIPHER_GET_CTX_PARAMS, Fn(GetParams)},
    {OSSL_FUNC_ASYM_CIPHER_GETTABLE_CTX_PARAMS, Fn(GettableParams)},
    {0, nullptr}};

}  // namespace

const OSSL_DISPATCH* Sm2Decryption() { return kDecryption; }
const OSSL_DISPATCH* RsaDecryption() { return kDecryption; }

}  // namespace tolmix::keyprov
