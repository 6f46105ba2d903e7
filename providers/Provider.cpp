// tolmixprov: the OpenSSL provider of the system's device keys -- SM2 keys
// of SKF devices, RSA keys of soft store key containers and of the PKCS#11
// token of P11_SKF.ini -- for OpenSSLs without engines, or when the build
// asks for it (docs/platform.md).  Loaded by file name from the system
// directory into a library context of the system's own
// (engine/ProviderKeys.cpp), so that its "EC" and "RSA" never stand in for
// OpenSSL's own: only keys made here reach its operations.
#include <cstring>
#include <new>

#include <openssl/core_dispatch.h>
#include <openssl/core_names.h>
#include <openssl/params.h>

#include "providers/Dispatch.h"
#include "providers/ProviderState.h"
#include "util/KeyProviderParams.h"

namespace tolmix::keyprov {
namespace {

constexpr char kProperties[] = "provider=tolmixprov";

const OSSL_ALGORITHM kKeyManagements[] = {
    {"EC:id-ecPublicKey:1.2.840.10045.2.1", kProperties, nullptr, "SM2 keys of SKF devices"},
    {"RSA:rsaEncryption:1.2.840.113549.1.1.1", kProperties, nullptr, "RSA keys of stores and tokens"},
    {nullptr, nullptr, nullptr, nullptr}};
const OSSL_ALGORITHM kSignatures[] = {{"ECDSA", kProperties, nullptr, "SM2 with SM3"},
                                      {"RSA:rsaEncryption", kProperties, nullptr, "RSA PKCS #1 v1.5"},
                                      {nullptr, nullptr, nullptr, nullptr}};
const OSSL_ALGORITHM kDecryptions[] = {{"SM2", kProperties, nullptr, "SM2 decryption"},
                                       {"RSA:rsaEncryption", kProperties, nullptr, "RSA decryption"},
                                       {nullptr, nullptr, nullptr, nullptr}};

// The tables are filled on first query (the dispatch tables live in other
// files; OSSL_ALGORITHM wants them as constants).
OSSL_ALGORITHM g_keymgmt[3], g_signature[3], g_decryption[3];

const OSSL_ALGORITHM* Fill(OSSL_ALGORITHM (&out)[3], const OSSL_ALGORITHM (&in)[3],
                           const OSSL_DISPATCH* first, const OSSL_DISPATCH* second) {
  out[0] = in[0];
  out[0].implementation = first;
  out[1] = in[1];
  out[1].implementation = second;
  out[2] = in[2];
  return out;
}

const OSSL_ALGORITHM* Query(void*, int operation_id, int* no_cache) {
  *no_cache = 0;
  switch (operation_id) {
    case OSSL_OP_KEYMGMT: return Fill(g_keymgmt, kKeyManagements, EcKeyManagement(), RsaKeyManagement());
    case OSSL_OP_SIGNATURE: return Fill(g_signature, kSignatures, Sm2Signature(), RsaSignature());
    case OSSL_OP_ASYM_CIPHER: return Fill(g_decryption, kDecryptions, Sm2Decryption(), RsaDecryption());
    default: return nullptr;
  }
}

const OSSL_PARAM* GettableParams(void*) {
  static const OSSL_PARAM kTypes[] = {
      OSSL_PARAM_utf8_ptr(OSSL_PROV_PARAM_NAME, nullptr, 0),
      OSSL_PARAM_int(OSSL_PROV_PARAM_STATUS, nullptr),
      OSSL_PARAM_octet_string(kParamTokenOutcome, nullptr, 0), OSSL_PARAM_END};
  return kTypes;
}

int GetParams(void* provctx, OSSL_PARAM params[]) {
  auto* state = static_cast<ProviderState*>(provctx);
  OSSL_PARAM* p;
  if ((p = OSSL_PARAM_locate(params, OSSL_PROV_PARAM_NAME)) &&
      !OSSL_PARAM_set_utf8_ptr(p, "tolmix device keys"))
    return 0;
  if ((p = OSSL_PARAM_locate(params, OSSL_PROV_PARAM_STATUS)) && !OSSL_PARAM_set_int(p, 1)) return 0;
  if ((p = OSSL_PARAM_locate(params, kParamTokenOutcome))) {
    TokenOutcome outcome = state->LastTokenOutcome();
    if (!OSSL_PARAM_set_octet_string(p, &outcome, sizeof outcome)) return 0;
  }
  return 1;
}

void Teardown(void* provctx) { delete static_cast<ProviderState*>(provctx); }

const OSSL_DISPATCH kProviderDispatch[] = {
    {OSSL_FUNC_PROVIDER_TEARDOWN, Fn(Teardown)},
    {OSSL_FUNC_PROVIDER_QUERY_OPERATION, Fn(Query)},
    {OSSL_FUNC_PROVIDER_GETTABLE_PARAMS, Fn(GettableParams)},
    {OSSL_FUNC_PROVIDER_GET_PARAMS, Fn(GetParams)},
    {0, nullptr}};

}  // namespace
}  // namespace tolmix::keyprov

extern "C" {
#pragma GCC visibility push(default)
int OSSL_provider_init(const OSSL_CORE_HANDLE* handle, const OSSL_DISPATCH*,
                       const OSSL_DISPATCH** out, void** provctx) {
  auto* state = new (std::nothrow) tolmix::keyprov::ProviderState;
  if (!state) return 0;
  state->core = handle;
  *provctx = state;
  *out = tolmix::keyprov::kProviderDispatch;
  return 1;
}
#pragma GCC visibility pop
}
