// CMSEngine digest: a message digest of a text as one line of Base64.
#include <openssl/engine.h>
#include <openssl/evp.h>

#include "engine/CMSEngine.h"
#include "util/Base64.h"

namespace tolmix {
namespace {

constexpr char kUnknownDigest[] = "digest failed: unknown digest mech...";
constexpr char kFinalFailed[] = "EVP_DigestFinal_ex failed  ";  // two blanks, as logged

// Engine that supplies the digest of code 11.
constexpr char kGmEngineId[] = "gmEngine";

// Digest method of ALGO, or null for a code that is not used.  Code 11 is
// SHA-1: the gmEngine engine, once up, registers its digest as the default
// implementation of that method.
const EVP_MD* DigestOf(int16_t algo) noexcept {
  switch (algo) {
    case 2: return EVP_md5();
    case 3: return EVP_sha1();
    case 4: return EVP_sha224();
    case 5: return EVP_sha256();
    case 6: return EVP_sha384();
    case 7: return EVP_sha512();
    case 11: return EVP_sha1();
    default: return nullptr;
  }
}

}  // namespace

static_assert(CMSEngine::kDigestTextSize >= 4 * ((EVP_MAX_MD_SIZE + 2) / 3) + 1,
              "the digest text buffer holds the Base64 of the longest digest");

int CMSEngine::ComputeDigest(const char* data, int len, int16_t algo, char* out,
                             unsigned* out_len) noexcept {
  if (!data || !out_len) return -1;
  if (!out) {  // size query: OpenSSL is not touched
    *out_len = kDigestTextSize;
    return 0;
  }
  if (len < 0) return -1;  // no byte count to hand to EVP_DigestUpdate

  ReleaseKeyAndCert();
  ossl::Ptr<EVP_MD_CTX> ctx(EVP_MD_CTX_new());
  if (!ctx) return -1;

  KeyRoute gm;  // code 11: the SKF route's SHA-1, which is SM3
  if (algo == 11) {
    if (BringUpRoute(kGmEngineId, &gm) != 0) return -1;
  }

  const EVP_MD* md = algo == 11 ? gm.Digest(NID_sha1) : DigestOf(algo);
  if (!md) {
    TOLMIX_LOG_NUMBER(m_pLog.get(), kUnknownDigest, algo);
    return -1;
  }
  // No engine named here: OpenSSL consults its default-method tables, which
  // is where gmEngine's digest takes over for code 11.
  if (!EVP_DigestInit_ex(ctx.get(), md, nullptr) ||
      !EVP_DigestUpdate(ctx.get(), data, static_cast<size_t>(len))) {
    return -1;
  }
  unsigned char value[128];
  static_assert(sizeof value >= EVP_MAX_MD_SIZE);
  unsigned int value_len = 0;
  if (!EVP_DigestFinal_ex(ctx.get(), value, &value_len)) {
    TOLMIX_LOG_NUMBER(m_pLog.get(), kFinalFailed, algo);
    return -1;
  }
  ctx.reset();
  *out_len = static_cast<unsigned>(Base64Encode(out, value, static_cast<int>(value_len)));
  return 0;
}

}  // namespace tolmix
