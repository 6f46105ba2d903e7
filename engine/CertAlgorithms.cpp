// The names of certificates' signature algorithms (engine/CertAlgorithms.h).
#include "engine/CertAlgorithms.h"

#include <strings.h>

#include <string_view>

#include <openssl/bio.h>
#include <openssl/objects.h>

#include "engine/GmForms.h"
#include "engine/OsslPtr.h"
#include "platform/Trace.h"
#include "util/FixedText.h"

namespace tolmix {
namespace {

// Names of the signature algorithms of GM (SM2) certificates.  OpenSSL 1.0
// did not know SM2 with SM3 and printed its dotted OID; OpenSSL 3 prints
// "SM2-with-SM3", which is taken as the same algorithm.
constexpr const char* kGmAlgorithmNames[] = {"1.2.156.10197.1.501", "ecdsa-with-SHA1",
                                             "ecdsa-with-SHA256", "SM2-with-SM3"};

}  // namespace

int CertSignatureAlgorithmName(X509* cert, char (&out)[kAlgorithmNameSize]) noexcept {
  if (!cert) return 0;
  const X509_ALGOR* alg = X509_get0_tbs_sigalg(cert);
  if (!alg || !alg->algorithm) return 0;
  if (OBJ_obj2nid(alg->algorithm) == NID_SM2_with_SM3) {
    // The text OpenSSL 1.0 printed for it, which the rest of the system
    // (and its callers' scripts) compare with.
    OBJ_obj2txt(out, sizeof out, alg->algorithm, 1);
    out[sizeof out - 1] = '\0';
    return 0;
  }
  ossl::Ptr<BIO> bio(BIO_new(BIO_s_mem()));
  if (!bio || i2a_ASN1_OBJECT(bio.get(), alg->algorithm) <= 0) return 0;
  char* text = nullptr;
  long len = BIO_get_mem_data(bio.get(), &text);
  if (len > 0 && text) CopyBounded(out, std::string_view(text, static_cast<size_t>(len)));
  return 0;
}

int CertInterfaceAlgorithmName(X509* cert, char (&out)[kAlgorithmNameSize]) noexcept {
  CertSignatureAlgorithmName(cert, out);
  // The key decides for an SM2 key, whatever signed the certificate (an
  // RSA issuer's "sha256WithRSAEncryption" would send it to "P11").
  if (!IsGmAlgorithmName(out) && gm_forms::CertHasSm2Key(cert)) {
    platform::Trace("certificate: SM2 key under a %s signature, taken as SM2", out);
    CopyBounded(out, kGmAlgorithmNames[0]);
  }
  return 0;
}

bool IsGmAlgorithmName(const char* name) noexcept {
  if (!name) return false;
  for (const char* gm : kGmAlgorithmNames) {
    if (strcasecmp(name, gm) == 0) return true;
  }
  return false;
}

}  // namespace tolmix
