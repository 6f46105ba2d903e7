// Key management of tolmixprov: "EC" (SM2 keys) and "RSA".  Keys are made
// only by import (EVP_PKEY_fromdata with the parameters of
// util/KeyProviderParams.h); their public half can be exported, their
// private half never: OpenSSL then runs every operation of such a key in
// this provider.
#include <cstring>

#include <openssl/core_dispatch.h>
#include <openssl/core_names.h>
#include <openssl/params.h>

#include "providers/Dispatch.h"
#include "providers/KeyObject.h"
#include "providers/ProviderState.h"
#include "util/KeyProviderParams.h"

namespace tolmix::keyprov {
namespace {

constexpr char kSm2Group[] = "SM2";

void* NewKey(void* provctx) {
  return new (std::nothrow) KeyObject(static_cast<ProviderState*>(provctx));
}

void FreeKey(void* key) { delete static_cast<KeyObject*>(key); }

int Has(const void* keydata, int selection) {
  const auto* key = static_cast<const KeyObject*>(keydata);
  if (!key || key->kind() == KeyObject::Kind::kNone) return 0;
  if ((selection & OSSL_KEYMGMT_SELECT_PRIVATE_KEY) && !key->HasPrivate()) return 0;
  return 1;
}

template <bool kEc>
int Import(void* keydata, int, const OSSL_PARAM params[]) {
  auto* key = static_cast<KeyObject*>(keydata);
  try {
    return key && key->Import(kEc, params) ? 1 : 0;
  } catch (...) {
    return 0;
  }
}

const OSSL_PARAM* ImportTypes(int) {
  static const OSSL_PARAM kTypes[] = {
      OSSL_PARAM_utf8_string(kParamRoute, nullptr, 0),
      OSSL_PARAM_utf8_string(kParamPin, nullptr, 0),
      OSSL_PARAM_utf8_string(kParamKey, nullptr, 0),
      OSSL_PARAM_utf8_string(kParamStore, nullptr, 0),
      OSSL_PARAM_octet_string(kParamPoint, nullptr, 0),
      OSSL_PARAM_END};
  return kTypes;
}

// The public half only: a request that includes the private key is refused,
// which is what keeps OpenSSL from moving the key to another provider.
int Export(void* keydata, int selection, OSSL_CALLBACK* cb, void* cbarg) {
  auto* key = static_cast<KeyObject*>(keydata);
  if (!key || (selection & OSSL_KEYMGMT_SELECT_PRIVATE_KEY)) return 0;
  OSSL_PARAM params[4];
  size_t i = 0;
  ossl::Bytes nBuf, eBuf;
  std::vector<unsigned char> nLe, eLe;
  if (key->IsEc()) {
    params[i++] = OSSL_PARAM_construct_utf8_string(OSSL_PKEY_PARAM_GROUP_NAME,
                                                   const_cast<char*>(kSm2Group), 0);
    if (selection & OSSL_KEYMGMT_SELECT_PUBLIC_KEY) {
      params[i++] = OSSL_PARAM_construct_octet_string(
          OSSL_PKEY_PARAM_PUB_KEY, const_cast<unsigned char*>(key->point().data()),
          key->point().size());
    }
  } else if (selection & OSSL_KEYMGMT_SELECT_PUBLIC_KEY) {
    // Native-endian unsigned integers, as OSSL_PARAM holds them.
    nLe.resize(static_cast<size_t>(BN_num_bytes(key->n())));
    eLe.resize(static_cast<size_t>(BN_num_bytes(key->e())));
    if (BN_bn2nativepad(key->n(), nLe.data(), static_cast<int>(nLe.size())) < 0 ||
        BN_bn2nativepad(key->e(), eLe.data(), static_cast<int>(eLe.size())) < 0) {
      return 0;
    }
    params[i++] = OSSL_PARAM_construct_BN(OSSL_PKEY_PARAM_RSA_N, nLe.data(), nLe.size());
    params[i++] = OSSL_PARAM_construct_BN(OSSL_PKEY_PARAM_RSA_E, eLe.data(), eLe.size());
  }
  params[i] = OSSL_PARAM_construct_end();
  return cb(params, cbarg);
}

const OSSL_PARAM* EcExportTypes(int) {
  static const OSSL_PARAM kTypes[] = {
      OSSL_PARAM_utf8_string(OSSL_PKEY_PARAM_GROUP_NAME, nullptr, 0),
      OSSL_PARAM_octet_string(OSSL_PKEY_PARAM_PUB_KEY, nullptr, 0), OSSL_PARAM_END};
  return kTypes;
}

const OSSL_PARAM* RsaExportTypes(int) {
  static const OSSL_PARAM kTypes[] = {OSSL_PARAM_BN(OSSL_PKEY_PARAM_RSA_N, nullptr, 0),
                                      OSSL_PARAM_BN(OSSL_PKEY_PARAM_RSA_E, nullptr, 0),
                                      OSSL_PARAM_END};
  return kTypes;
}

int GetParams(void* keydata, OSSL_PARAM params[]) {
  auto* key = static_cast<KeyObject*>(keydata);
  if (!key) return 0;
  OSSL_PARAM* p;
  if ((p = OSSL_PARAM_locate(params, OSSL_PKEY_PARAM_BITS)) && !OSSL_PARAM_set_int(p, key->Bits()))
    return 0;
  if ((p = OSSL_PARAM_locate(params, OSSL_PKEY_PARAM_SECURITY_BITS)) &&
      !OSSL_PARAM_set_int(p, key->IsEc() ? 128 : key->Bits() >= 3072 ? 128 : 112))
    return 0;
  if ((p = OSSL_PARAM_locate(params, OSSL_PKEY_PARAM_MAX_SIZE)) &&
      !OSSL_PARAM_set_int(p, key->MaxSignatureSize()))
    return 0;
  if ((p = OSSL_PARAM_locate(params, OSSL_PKEY_PARAM_DEFAULT_DIGEST)) &&
      !OSSL_PARAM_set_utf8_string(p, key->IsEc() ? "SM3" : "SHA256"))
    return 0;
  if (key->IsEc()) {
    if ((p = OSSL_PARAM_locate(params, OSSL_PKEY_PARAM_GROUP_NAME)) &&
        !OSSL_PARAM_set_utf8_string(p, kSm2Group))
      return 0;
    for (const char* name : {OSSL_PKEY_PARAM_PUB_KEY, OSSL_PKEY_PARAM_ENCODED_PUBLIC_KEY}) {
      if ((p = OSSL_PARAM_locate(params, name)) &&
          !OSSL_PARAM_set_octet_string(p, key->point().data(), key->point().size()))
        return 0;
    }
  } else {
    if ((p = OSSL_PARAM_locate(params, OSSL_PKEY_PARAM_RSA_N)) && !OSSL_PARAM_set_BN(p, key->n()))
      return 0;
    if ((p = OSSL_PARAM_locate(params, OSSL_PKEY_PARAM_RSA_E)) && !OSSL_PARAM_set_BN(p, key->e()))
      return 0;
  }
  if ((p = OSSL_PARAM_locate(params, kParamCert)) &&
      !OSSL_PARAM_set_octet_string(p, key->cert().data(), key->cert().size()))
    return 0;
  return 1;
}

const OSSL_PARAM* GettableParams(void*) {
  static const OSSL_PARAM kTypes[] = {
      OSSL_PARAM_int(OSSL_PKEY_PARAM_BITS, nullptr),
      OSSL_PARAM_int(OSSL_PKEY_PARAM_SECURITY_BITS, nullptr),
      OSSL_PARAM_int(OSSL_PKEY_PARAM_MAX_SIZE, nullptr),
      OSSL_PARAM_utf8_string(OSSL_PKEY_PARAM_DEFAULT_DIGEST, nullptr, 0),
      OSSL_PARAM_utf8_string(OSSL_PKEY_PARAM_GROUP_NAME, nullptr, 0),
      OSSL_PARAM_octet_string(OSSL_PKEY_PARAM_PUB_KEY, nullptr, 0),
      OSSL_PARAM_octet_string(OSSL_PKEY_PARAM_ENCODED_PUBLIC_KEY, nullptr, 0),
      OSSL_PARAM_BN(OSSL_PKEY_PARAM_RSA_N, nullptr, 0),
      OSSL_PARAM_BN(OSSL_PKEY_PARAM_RSA_E, nullptr, 0),
      OSSL_PARAM_octet_string(kParamCert, nullptr, 0),
      OSSL_PARAM_END};
  return kTypes;
}

// Two keys match when their public halves do.
int Match(const void* a, const void* b, int) {
  const auto* x = static_cast<const KeyObject*>(a);
  const auto* y = static_cast<const KeyObject*>(b);
  if (!x || !y || x->IsEc() != y->IsEc()) return 0;
  if (x->IsEc()) return x->point() == y->point() ? 1 : 0;
  return BN_cmp(x->n(), y->n()) == 0 && BN_cmp(x->e(), y->e()) == 0 ? 1 : 0;
}

const char* EcOperationName(int operation_id) {
  switch (operation_id) {
    case OSSL_OP_SIGNATURE: return "ECDSA";
    case OSSL_OP_ASYM_CIPHER: return "SM2";
    default: return nullptr;
  }
}

const char* RsaOperationName(int operation_id) {
  switch (operation_id) {
    case OSSL_OP_SIGNATURE:
    case OSSL_OP_ASYM_CIPHER: return "RSA";
    default: return nullptr;
  }
}

template <bool kEc>
const OSSL_DISPATCH kKeyManagement[] = {
    {OSSL_FUNC_KEYMGMT_NEW, Fn(NewKey)},
    {OSSL_FUNC_KEYMGMT_FREE, Fn(FreeKey)},
    {OSSL_FUNC_KEYMGMT_HAS, Fn(Has)},
    {OSSL_FUNC_KEYMGMT_MATCH, Fn(Match)},
    {OSSL_FUNC_KEYMGMT_IMPORT, Fn(Import<kEc>)},
    {OSSL_FUNC_KEYMGMT_IMPORT_TYPES, Fn(ImportTypes)},
    {OSSL_FUNC_KEYMGMT_EXPORT, Fn(Export)},
    {OSSL_FUNC_KEYMGMT_EXPORT_TYPES, Fn(kEc ? EcExportTypes : RsaExportTypes)},
    {OSSL_FUNC_KEYMGMT_GET_PARAMS, Fn(GetParams)},
    {OSSL_FUNC_KEYMGMT_GETTABLE_PARAMS, Fn(GettableParams)},
    {OSSL_FUNC_KEYMGMT_QUERY_OPERATION_NAME, Fn(kEc ? EcOperationName : RsaOperationName)},
    {0, nullptr}};

}  // namespace

const OSSL_DISPATCH* EcKeyManagement() { return kKeyManagement<true>; }
const OSSL_DISPATCH* RsaKeyManagement() { return kKeyManagement<false>; }

}  // namespace tolmix::keyprov
