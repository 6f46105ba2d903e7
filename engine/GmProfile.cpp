// SM2 outputs as GM verifiers read them (GmProfile.h).
#include "engine/GmProfile.h"

#include <cstring>

#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/objects.h>
#include <openssl/params.h>

#include "engine/OsslPtr.h"

namespace tolmix::gm_profile {

bool IsSm2Key(EVP_PKEY* key) noexcept {
  if (!key) return false;
  if (EVP_PKEY_is_a(key, "SM2")) return true;
  if (EVP_PKEY_get_base_id(key) != EVP_PKEY_EC) return false;
  // An engine's key is a legacy EC_KEY, whose group the provider
  // parameters may not reach.
  if (const EC_KEY* ec = EVP_PKEY_get0_EC_KEY(key)) {
    const EC_GROUP* group = EC_KEY_get0_group(ec);
    return group && EC_GROUP_get_curve_name(group) == NID_sm2;
  }
  char curve[64] = {};
  size_t len = 0;
  return EVP_PKEY_get_group_name(key, curve, sizeof curve, &len) == 1 &&
         (OBJ_txt2nid(curve) == NID_sm2 || strcmp(curve, "SM2") == 0);
}

bool NameSm2Signer(PKCS7_SIGNER_INFO* si) noexcept {
  X509_ALGOR* sigAlg = nullptr;
  PKCS7_SIGNER_INFO_get0_algs(si, nullptr, nullptr, &sigAlg);
  ASN1_OBJECT* oid = OBJ_txt2obj(kSm2SignatureOid, 1);
  if (!sigAlg || !oid || !X509_ALGOR_set0(sigAlg, oid, V_ASN1_UNDEF, nullptr)) {
    ASN1_OBJECT_free(oid);
    return false;
  }
  return true;
}

namespace {

// KEY as an SM2-typed key: OpenSSL 3 types a certificate's key on the SM2
// curve "SM2" itself; an "EC"-typed one is rebuilt from its point.
ossl::Ptr<EVP_PKEY> Sm2Typed(EVP_PKEY* key) {
  if (EVP_PKEY_is_a(key, "SM2")) {
    EVP_PKEY_up_ref(key);
    return ossl::Ptr<EVP_PKEY>(key);
  }
  unsigned char point[65];
  size_t pointLen = 0;
  if (!EVP_PKEY_get_octet_string_param(key, OSSL_PKEY_PARAM_ENCODED_PUBLIC_KEY, point,
                                       sizeof point, &pointLen)) {
    return nullptr;
  }
  char group[] = "SM2";
  OSSL_PARAM params[] = {
      OSSL_PARAM_construct_utf8_string(OSSL_PKEY_PARAM_GROUP_NAME, group, 0),
      OSSL_PARAM_construct_octet_string(OSSL_PKEY_PARAM_PUB_KEY, point, pointLen),
      OSSL_PARAM_construct_end(),
  };
  ossl::Ptr<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new_from_name(nullptr, "SM2", nullptr));
  EVP_PKEY* sm2 = nullptr;
  if (!ctx || EVP_PKEY_fromdata_init(ctx.get()) <= 0 ||
      EVP_PKEY_fromdata(ctx.get(), &sm2, EVP_PKEY_PUBLIC_KEY, params) <= 0) {
    return nullptr;
  }
  return ossl::Ptr<EVP_PKEY>(sm2);
}

}  // namespace

int VerifyMessage(X509* cert, const unsigned char* msg, size_t len, const unsigned char* sig,
                  size_t sigLen) noexcept {
  EVP_PKEY* certKey = cert ? X509_get0_pubkey(cert) : nullptr;
  if (!certKey || !IsSm2Key(certKey)) return 0;
  ossl::Ptr<EVP_PKEY> owned = Sm2Typed(certKey);
  EVP_PKEY* key = owned.get();
  if (!key) return 0;
  // The digest context borrows the key context: it goes first.
  ossl::Ptr<EVP_PKEY_CTX> pctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr));
  ossl::Ptr<EVP_MD_CTX> md(EVP_MD_CTX_new());
  if (!pctx || !md || EVP_PKEY_CTX_set1_id(pctx.get(), kDefaultId, sizeof kDefaultId - 1) <= 0) {
    return 0;
  }
  EVP_MD_CTX_set_pkey_ctx(md.get(), pctx.get());
  return EVP_DigestVerifyInit(md.get(), nullptr, EVP_sm3(), nullptr, key) > 0 &&
                 EVP_DigestVerify(md.get(), sig, sigLen, msg, len) == 1
             ? 1
             : 0;
}

}  // namespace tolmix::gm_profile
