// SM2 outputs as GM verifiers read them (GmProfile.h).
#include "engine/GmProfile.h"

#include <cstring>
#include <mutex>

#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/objects.h>

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

void AddSm3EcSignatureId() noexcept {
  static std::once_flag once;
  std::call_once(once, [] {
    int sig = NID_undef;
    if (OBJ_find_sigid_by_algs(&sig, NID_sm3, NID_X9_62_id_ecPublicKey)) return;
    ERR_set_mark();
    if (!OBJ_add_sigid(NID_SM2_with_SM3, NID_sm3, NID_X9_62_id_ecPublicKey)) {
      int nid = OBJ_txt2nid(kSm2SignatureOid);
      if (nid == NID_undef) nid = OBJ_create(kSm2SignatureOid, "SM2Sign-GM", "SM2 signature (GM/T 0006)");
      if (nid != NID_undef) OBJ_add_sigid(nid, NID_sm3, NID_X9_62_id_ecPublicKey);
    }
    ERR_pop_to_mark();
  });
}

int VerifyMessage(EVP_PKEY* key, const unsigned char* msg, size_t len, const unsigned char* sig,
                  size_t sigLen) noexcept {
  ossl::Ptr<EVP_MD_CTX> md(EVP_MD_CTX_new());
  return key && md && EVP_DigestVerifyInit(md.get(), nullptr, EVP_sm3(), nullptr, key) > 0 &&
                 EVP_DigestVerify(md.get(), sig, sigLen, msg, len) == 1
             ? 1
             : 0;
}

}  // namespace tolmix::gm_profile
