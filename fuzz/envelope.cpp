// The envelope readers of EnvelopeDecrypt and EnvelopeDecryptFile, without
// devices.  The engine operations load the user's key before they read the
// envelope, and no key can be loaded here, so each call ends early; the
// readers are then run on the same input with a software key
// (fuzz/data/recipient-*.pem) in place of the device's:
//   - the memory path: PEM_read_bio_PKCS7, OpenDecryptChain, the drained
//     chain and its padding check;
//   - the file path: OpenPemBody, ReadEnvelopeHead, NewContentReader (the
//     system's own BER reader of the encrypted content), OpenDecryptChain
//     over the reader, and the reader's failure mark.
// Mode byte: bit 0 text as given (else DER wrapped into PEM), bit 1 the
// file path's reader fed DER directly (no PEM body).
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/pkcs7.h>

#include <cstdlib>
#include <string>

#include "engine/CMSEngine.h"
#include "engine/EnvelopeParts.h"
#include "fuzz/FuzzSupport.h"
#include "fuzz/Pkcs7Text.h"

namespace {

using namespace tolmix;

ossl::Ptr<X509> g_cert;
ossl::Ptr<EVP_PKEY> g_key;

void Drain(BIO* chain) {
  char block[envelope::kFileBlock];
  while (BIO_read(chain, block, sizeof block) > 0) {
  }
  envelope::CipherEndedCleanly(chain);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::UseSandbox();
  ossl::Ptr<BIO> c(BIO_new_file(TOLMIX_FUZZ_DATA_DIR "/recipient-cert.pem", "r"));
  ossl::Ptr<BIO> k(BIO_new_file(TOLMIX_FUZZ_DATA_DIR "/recipient-key.pem", "r"));
  if (c) g_cert.reset(PEM_read_bio_X509(c.get(), nullptr, nullptr, nullptr));
  if (k) g_key.reset(PEM_read_bio_PrivateKey(k.get(), nullptr, nullptr, nullptr));
  if (!g_cert || !g_key) abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0 || size > 65536) return 0;
  const uint8_t mode = data[0];
  const std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
  const std::string text = fuzz::Pkcs7Text(mode, rest);
  {
    CMSEngine engine;
    std::string plain;
    if (engine.EnvelopeDecrypt(text.data(), static_cast<int>(text.size()), &plain) == 0) abort();
  }

  // Memory path.
  {
    ossl::Ptr<BIO> in(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
    ossl::Ptr<PKCS7> p7(PEM_read_bio_PKCS7(in.get(), nullptr, nullptr, nullptr));
    if (p7) {
      ossl::Ptr<BIO> chain =
          envelope::OpenDecryptChain(KeyRoute(), p7.get(), g_key.get(), g_cert.get(), nullptr);
      if (chain) Drain(chain.get());
    }
  }

  // File path.
  ossl::Ptr<BIO> src((mode & 2) ? BIO_new_mem_buf(rest.data(), static_cast<int>(rest.size()))
                                : BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
  BIO* body = (mode & 2) ? nullptr : envelope::OpenPemBody(src.get());
  BIO* der = (mode & 2) ? src.get() : body;
  if (der) {
    ossl::Ptr<PKCS7> p7 = envelope::ReadEnvelopeHead(der);
    BIO* reader = p7 ? envelope::NewContentReader(der) : nullptr;
    if (reader) {
      ossl::Ptr<BIO> chain =
          envelope::OpenDecryptChain(KeyRoute(), p7.get(), g_key.get(), g_cert.get(), reader);
      if (chain) {
        Drain(chain.get());
        envelope::ContentReaderFailed(reader);
      } else {
        char block[envelope::kFileBlock];
        while (BIO_read(reader, block, sizeof block) > 0) {
        }
        envelope::ContentReaderFailed(reader);
        BIO_free(reader);
      }
    }
  }
  if (body) BIO_free(body);
  ERR_clear_error();
  return 0;
}
