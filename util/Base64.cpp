#include "util/Base64.h"

#include <openssl/evp.h>

#include <array>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace tolmix {
namespace {

constexpr char kAlphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Three 256-entry lookup tables stored one after the other (768 bytes):
//   [0, 256)    alphabet[i >> 2]  - first character of a group, by whole byte
//   [256, 512)  alphabet[i & 63]  - second and third characters
//   [512, 768)  alphabet[i & 63]  - fourth character
constexpr std::array<char, 768> MakeEncodeTables() {
  std::array<char, 768> t{};
  for (int i = 0; i < 256; ++i) {
    t[i] = kAlphabet[i >> 2];
    t[256 + i] = kAlphabet[i & 63];
    t[512 + i] = kAlphabet[i & 63];
  }
  return t;
}
constexpr std::array<char, 768> kEncodeTables = MakeEncodeTables();
constexpr const char* kFirst = kEncodeTables.data();
constexpr const char* kMiddle = kEncodeTables.data() + 256;
constexpr const char* kLast = kEncodeTables.data() + 512;
static_assert(kEncodeTables.size() == 768);
static_assert(kFirst[0xFF] == '/' && kMiddle[0x40] == 'A' && kLast[0x3F] == '/');

// Each piece of cleaned text is decoded on its own.
constexpr size_t kPieceLength = 64;

struct FreeDeleter {
  void operator()(void* p) const noexcept { std::free(p); }
};
struct EncodeCtxDeleter {
  void operator()(EVP_ENCODE_CTX* p) const noexcept { EVP_ENCODE_CTX_free(p); }
};

}  // namespace

int Base64EncodedLength(int len) noexcept {
  if (len < 0 || len > kBase64MaxEncodeInput) return 0;
  return (len + 2) / 3 * 4;
}

int Base64Encode(char* out, const unsigned char* in, int len) noexcept {
  if (out == nullptr) return 0;
  if (len < 0 || len > kBase64MaxEncodeInput || (in == nullptr && len > 0)) {
    out[0] = '\0';
    return 0;
  }
  char* p = out;
  int i = 0;
  for (; len - i >= 3; i += 3) {
    unsigned b0 = in[i], b1 = in[i + 1], b2 = in[i + 2];
    *p++ = kFirst[b0];
    *p++ = kMiddle[((b0 & 3) << 4) | (b1 >> 4)];
    *p++ = kMiddle[((b1 & 15) << 2) | (b2 >> 6)];
    *p++ = kLast[b2];
  }
  if (len - i == 2) {
    unsigned b0 = in[i], b1 = in[i + 1];
    *p++ = kFirst[b0];
    *p++ = kMiddle[((b0 & 3) << 4) | (b1 >> 4)];
    *p++ = kMiddle[(b1 & 15) << 2];
    *p++ = '=';
  } else if (len - i == 1) {
    unsigned b0 = in[i];
    *p++ = kFirst[b0];
    *p++ = kMiddle[(b0 & 3) << 4];
    *p++ = '=';
    *p++ = '=';
  }
  *p = '\0';
  return static_cast<int>(p - out);
}

int Base64Decode(unsigned char* out, const char* in, unsigned int* len) noexcept {
  if (in == nullptr || len == nullptr || in[0] == '\0') return -1;
  const size_t inLen = strlen(in);
  // Pieces are handed to OpenSSL as int lengths and the decoded length is
  // reported as unsigned int; anything past INT_MAX is refused outright.
  if (inLen > static_cast<size_t>(INT_MAX)) return -1;

  std::unique_ptr<char, FreeDeleter> clean(static_cast<char*>(std::malloc(inLen + 1)));
  std::unique_ptr<unsigned char, FreeDeleter> decoded(
      static_cast<unsigned char*>(std::malloc(inLen + 1)));
  std::unique_ptr<EVP_ENCODE_CTX, EncodeCtxDeleter> ctx(EVP_ENCODE_CTX_new());
  if (!clean || !decoded || !ctx) return -1;

  size_t cleanLen = 0;
  for (size_t i = 0; i < inLen; ++i) {
    char c = in[i];
    if (c != '\r' && c != '\n' && c != '>') clean.get()[cleanLen++] = c;
  }

  // Every piece starts from a fresh context and EVP_DecodeFinal is never
  // called: characters held back at the end of a piece are dropped.  OpenSSL
  // 3 keeps the 1.0 contract here: a piece whose Base64 characters are a
  // multiple of 4 is decoded at once, any other piece is held back whole.
  size_t total = 0;
  for (size_t pos = 0; pos < cleanLen; pos += kPieceLength) {
    size_t n = cleanLen - pos < kPieceLength ? cleanLen - pos : kPieceLength;
    int outl = 0;
    EVP_DecodeInit(ctx.get());
    int rv = EVP_DecodeUpdate(ctx.get(), decoded.get() + total, &outl,
                              reinterpret_cast<const unsigned char*>(clean.get() + pos),
                              static_cast<int>(n));
    if (rv == -1) return -1;
    // A 64-character piece yields at most 48 bytes; the buffer holds one
    // byte per input character, so this never runs past it.
    total += static_cast<size_t>(outl);
  }

  if (out != nullptr && total > 0) memcpy(out, decoded.get(), total);
  *len = static_cast<unsigned int>(total);
  return 0;
}

}  // namespace tolmix
