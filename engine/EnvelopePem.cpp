// The PEM text of a finished PKCS#7 message, as signing and
// envelope encryption hand it to the control.
#include <climits>
#include <cstring>

#include <openssl/pem.h>

#include "engine/EnvelopePem.h"
#include "engine/OsslPtr.h"

namespace tolmix {
namespace {

// The PEM text of P7 in a memory BIO, whose data *TEXT / *LEN point to.
// Null when the write fails.
ossl::Ptr<BIO> PemBio(PKCS7* p7, const char** text, size_t* len) noexcept {
  ossl::Ptr<BIO> bio(BIO_new(BIO_s_mem()));
  if (!bio || !p7 || !PEM_write_bio_PKCS7(bio.get(), p7)) return nullptr;
  char* data = nullptr;
  long n = BIO_get_mem_data(bio.get(), &data);
  if (n <= 0 || data == nullptr) return nullptr;
  *text = data;
  *len = static_cast<size_t>(n);
  return bio;
}

}  // namespace

int WriteEnvelopePem(PKCS7* p7, char* out, unsigned* out_len) noexcept {
  if (!out || !out_len) return -1;
  const char* text = nullptr;
  size_t len = 0;
  ossl::Ptr<BIO> bio = PemBio(p7, &text, &len);
  if (!bio) return -1;
  if (len > *out_len) {
    // Where the text used to be cut at the capacity and reported as
    // written, the caller now learns the size it needs instead.
    *out_len = len > UINT_MAX ? UINT_MAX : static_cast<unsigned>(len);
    return -1;
  }
  memcpy(out, text, len);
  *out_len = static_cast<unsigned>(len);
  return 0;
}

int WriteEnvelopePem(PKCS7* p7, std::string* pem) noexcept try {
  if (!pem) return -1;
  const char* text = nullptr;
  size_t len = 0;
  ossl::Ptr<BIO> bio = PemBio(p7, &text, &len);
  if (!bio) return -1;
  pem->assign(text, len);
  return 0;
} catch (...) {
  return -1;  // out of memory
}

}  // namespace tolmix
