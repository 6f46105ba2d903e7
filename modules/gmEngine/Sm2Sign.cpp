#include "modules/gmEngine/Sm2Sign.h"

#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>

#include "engine/OsslPtr.h"

namespace tolmix::gm {
namespace {

constexpr int kCoord = 32;
constexpr size_t kPointSize = 1 + 2 * kCoord;

struct GroupFree {
  void operator()(EC_GROUP* g) const noexcept { EC_GROUP_free(g); }
};
struct BnCtxFree {
  void operator()(BN_CTX* c) const noexcept { BN_CTX_free(c); }
};

bool Put(EVP_MD_CTX* md, const BIGNUM* v) {
  unsigned char buf[kCoord];
  return BN_bn2binpad(v, buf, kCoord) == kCoord && EVP_DigestUpdate(md, buf, kCoord);
}

}  // namespace

bool Sm2IdentityHash(const std::vector<unsigned char>& point, unsigned char (&z)[32]) {
  if (point.size() != kPointSize || point[0] != 0x04) return false;
  std::unique_ptr<EC_GROUP, GroupFree> group(EC_GROUP_new_by_curve_name(NID_sm2));
  std::unique_ptr<BN_CTX, BnCtxFree> bn(BN_CTX_new());
  ossl::Ptr<BIGNUM> p(BN_new()), a(BN_new()), b(BN_new()), xg(BN_new()), yg(BN_new());
  ossl::Ptr<EVP_MD_CTX> md(EVP_MD_CTX_new());
  if (!group || !bn || !p || !a || !b || !xg || !yg || !md) return false;
  EC_POINT* pub = EC_POINT_new(group.get());
  bool on_curve = pub && EC_POINT_oct2point(group.get(), pub, point.data(), point.size(), bn.get());
  EC_POINT_free(pub);
  if (!on_curve) return false;
  if (!EC_GROUP_get_curve(group.get(), p.get(), a.get(), b.get(), bn.get()) ||
      !EC_POINT_get_affine_coordinates(group.get(), EC_GROUP_get0_generator(group.get()),
                                       xg.get(), yg.get(), bn.get())) {
    return false;
  }
  constexpr unsigned bits = 8 * (sizeof kSm2DefaultId - 1);
  const unsigned char entl[2] = {static_cast<unsigned char>(bits >> 8),
                                 static_cast<unsigned char>(bits & 0xFF)};
  unsigned int len = 0;
  return EVP_DigestInit_ex(md.get(), EVP_sm3(), nullptr) &&
         EVP_DigestUpdate(md.get(), entl, sizeof entl) &&
         EVP_DigestUpdate(md.get(), kSm2DefaultId, sizeof kSm2DefaultId - 1) &&
         Put(md.get(), a.get()) && Put(md.get(), b.get()) && Put(md.get(), xg.get()) &&
         Put(md.get(), yg.get()) && EVP_DigestUpdate(md.get(), point.data() + 1, 2 * kCoord) &&
         EVP_DigestFinal_ex(md.get(), z, &len) && len == sizeof z;
}

namespace {

// A provider SM2 public key for POINT.
ossl::Ptr<EVP_PKEY> Sm2PublicKey(const std::vector<unsigned char>& point) {
  char group[] = "SM2";
  OSSL_PARAM params[] = {
      OSSL_PARAM_construct_utf8_string(OSSL_PKEY_PARAM_GROUP_NAME, group, 0),
      OSSL_PARAM_construct_octet_string(OSSL_PKEY_PARAM_PUB_KEY,
                                        const_cast<unsigned char*>(point.data()), point.size()),
      OSSL_PARAM_construct_end(),
  };
  ossl::Ptr<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new_from_name(nullptr, "SM2", nullptr));
  EVP_PKEY* key = nullptr;
  if (!ctx || EVP_PKEY_fromdata_init(ctx.get()) <= 0 ||
      EVP_PKEY_fromdata(ctx.get(), &key, EVP_PKEY_PUBLIC_KEY, params) <= 0) {
    return nullptr;
  }
  return ossl::Ptr<EVP_PKEY>(key);
}

}  // namespace

bool Sm2SignedValue(const std::vector<unsigned char>& point, const unsigned char* msg,
                    size_t msg_len, unsigned char (&e)[32]) {
  unsigned char z[32];
  ossl::Ptr<EVP_MD_CTX> md(EVP_MD_CTX_new());
  unsigned int len = 0;
  return md && Sm2IdentityHash(point, z) && EVP_DigestInit_ex(md.get(), EVP_sm3(), nullptr) &&
         EVP_DigestUpdate(md.get(), z, sizeof z) && EVP_DigestUpdate(md.get(), msg, msg_len) &&
         EVP_DigestFinal_ex(md.get(), e, &len) && len == sizeof e;
}

int Sm2VerifyMessage(const std::vector<unsigned char>& point, const unsigned char* msg,
                     size_t msg_len, const unsigned char* sig, size_t sig_len) {
  ossl::Ptr<EVP_PKEY> key = Sm2PublicKey(point);
  if (!key) return -1;
  // The digest context borrows the key context: it goes first.
  ossl::Ptr<EVP_PKEY_CTX> pctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key.get(), nullptr));
  ossl::Ptr<EVP_MD_CTX> md(EVP_MD_CTX_new());
  if (!md || !pctx ||
      EVP_PKEY_CTX_set1_id(pctx.get(), kSm2DefaultId, sizeof kSm2DefaultId - 1) <= 0) {
    return -1;
  }
  EVP_MD_CTX_set_pkey_ctx(md.get(), pctx.get());
  if (EVP_DigestVerifyInit(md.get(), nullptr, EVP_sm3(), nullptr, key.get()) <= 0) return -1;
  int rv = EVP_DigestVerify(md.get(), sig, sig_len, msg, msg_len);
  return rv == 1 ? 1 : (rv == 0 ? 0 : -1);
}

int Sm2VerifyE(const std::vector<unsigned char>& point, const unsigned char (&e)[32],
               const unsigned char* sig, size_t sig_len) {
  // The provider's SM2 verify checks a value handed to it as e, as the
  // device signs it.
  ossl::Ptr<EVP_PKEY> key = Sm2PublicKey(point);
  ossl::Ptr<EVP_PKEY_CTX> ctx(key ? EVP_PKEY_CTX_new_from_pkey(nullptr, key.get(), nullptr)
                                  : nullptr);
  if (!ctx || EVP_PKEY_verify_init(ctx.get()) <= 0) return -1;
  int rv = EVP_PKEY_verify(ctx.get(), sig, sig_len, e, sizeof e);
  return rv == 1 ? 1 : (rv == 0 ? 0 : -1);
}

bool Sm2Encrypt(const std::vector<unsigned char>& point, const unsigned char* in, size_t in_len,
                unsigned char* out, size_t* out_len) {
  ossl::Ptr<EVP_PKEY> key = Sm2PublicKey(point);
  ossl::Ptr<EVP_PKEY_CTX> ctx(key ? EVP_PKEY_CTX_new_from_pkey(nullptr, key.get(), nullptr)
                                  : nullptr);
  return ctx && EVP_PKEY_encrypt_init(ctx.get()) > 0 &&
         EVP_PKEY_encrypt(ctx.get(), out, out_len, in, in_len) > 0;
}

}  // namespace tolmix::gm
