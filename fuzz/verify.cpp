// VerifySignedData on any message, without devices: the engine that the
// signer certificate asks for cannot come up, so the call ends there.  The
// rest of its path -- the data chain, the content and each signer checked
// by SignatureVerifyWithEngine up to where the engine's public key is
// needed -- is run on the same message afterwards.
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/pkcs7.h>

#include <cstdlib>
#include <string>

#include "engine/CMSEngine.h"
#include "engine/CertAlgorithms.h"
#include "engine/SignerVerify.h"
#include "fuzz/FuzzSupport.h"
#include "fuzz/Pkcs7Text.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  tolmix::fuzz::UseSandbox();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tolmix;
  if (size == 0 || size > 65536) return 0;
  const std::string text = fuzz::Pkcs7Text(data[0], {reinterpret_cast<const char*>(data) + 1, size - 1});
  {
    CMSEngine engine;
    engine.SetInterface((data[0] & 2) ? "CSP" : "SKF");
    if (engine.VerifySignedData(0, 0, text.data(), static_cast<int>(text.size())) == 0) abort();
    char error[CMSEngine::kErrorTextSize];
    engine.GetErrorText(error);
  }

  ossl::Ptr<BIO> in(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
  ossl::Ptr<PKCS7> p7(PEM_read_bio_PKCS7(in.get(), nullptr, nullptr, nullptr));
  if (!p7) return 0;
  STACK_OF(PKCS7_SIGNER_INFO)* signers = PKCS7_get_signer_info(p7.get());
  if (!signers) return 0;
  ossl::Ptr<BIO> chain(PKCS7_dataInit(p7.get(), nullptr));
  if (!chain) return 0;
  char block[1024];
  while (BIO_read(chain.get(), block, sizeof block) > 0) {
  }
  STACK_OF(X509)* certs = PKCS7_type_is_signed(p7.get()) && p7->d.sign ? p7->d.sign->cert : nullptr;
  for (int i = 0; i < sk_PKCS7_SIGNER_INFO_num(signers) && i < 8; ++i) {
    PKCS7_SIGNER_INFO* si = sk_PKCS7_SIGNER_INFO_value(signers, i);
    X509* cert = si && si->issuer_and_serial && certs
                     ? X509_find_by_issuer_and_serial(certs, si->issuer_and_serial->issuer,
                                                      si->issuer_and_serial->serial)
                     : nullptr;
    char name[kAlgorithmNameSize] = {};
    CertSignatureAlgorithmName(cert, name);
    IsGmAlgorithmName(name);
    if (SignatureVerifyWithEngine(KeyRoute(), chain.get(), p7.get(), si, cert) > 0) abort();
  }
  ERR_clear_error();
  return 0;
}
