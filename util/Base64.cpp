#include "util/Base64.h"

#include <array>
#include <bit>
#include <climits>
#include <cstddef>
#include <cstdint>
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

// Character classes of the decoder, as OpenSSL's EVP_DecodeUpdate (1.0 and
// 3.0 alike) sees them: an alphabet character stands for its 6-bit value;
// the rest are marked with the high bit.
constexpr unsigned char kBlank = 0x80;  // space, tab: skipped
constexpr unsigned char kLineEnd = 0x81;  // CR, LF: skipped (removed before anyway)
constexpr unsigned char kEnd = 0x82;      // "-": ends the piece
constexpr unsigned char kPad = 0x83;      // "=": padding, kept as a zero value
constexpr unsigned char kBad = 0xFF;      // anything else: the piece is refused

constexpr std::array<unsigned char, 256> MakeDecodeTable() {
  std::array<unsigned char, 256> t{};
  for (auto& v : t) v = kBad;
  for (int i = 0; i < 64; ++i) t[static_cast<unsigned char>(kAlphabet[i])] = static_cast<unsigned char>(i);
  t[' '] = kBlank;
  t['\t'] = kBlank;
  t['\r'] = kLineEnd;
  t['\n'] = kLineEnd;
  t['-'] = kEnd;
  t['='] = kPad;
  return t;
}
constexpr std::array<unsigned char, 256> kDecode = MakeDecodeTable();

// Characters the decoder removes before cutting the text into pieces.
constexpr bool IsRemoved(char c) { return c == '\r' || c == '\n' || c == '>'; }

// Decodes four 6-bit values into three bytes at OUT.
inline void PutGroup(unsigned char* out, unsigned a, unsigned b, unsigned c, unsigned d) {
  unsigned l = (a << 18) | (b << 12) | (c << 6) | d;
  out[0] = static_cast<unsigned char>(l >> 16);
  out[1] = static_cast<unsigned char>(l >> 8);
  out[2] = static_cast<unsigned char>(l);
}

// One piece of at most 64 cleaned characters, decoded exactly as a fresh
// EVP_DecodeInit / EVP_DecodeUpdate pair decodes it, without
// EVP_DecodeFinal:
//  - alphabet characters and "=" are collected; blanks and line ends are
//    skipped; a character outside all of these refuses the piece;
//  - an alphabet character after an "=", or a third "=", refuses it;
//  - "-" ends the piece there (what follows is not looked at); it refuses
//    the piece when the characters collected so far are not whole groups;
//  - whole groups are decoded ("=" as zero) and the "=" count is taken off
//    the bytes they give; an incomplete group is held back, and since the
//    piece is never finished, dropped with everything before it.
// Writes up to 48 bytes at OUT (some past the count, which later pieces
// overwrite); returns the byte count, or -1 when refused.
int DecodePiece(const char* piece, size_t n, unsigned char* out) {
  unsigned char v[kPieceLength];
  size_t kept = 0;
  int pads = 0;
  bool ended = false;
  for (size_t i = 0; i < n; ++i) {
    unsigned char c = kDecode[static_cast<unsigned char>(piece[i])];
    if (c == kBad) return -1;
    if (c == kPad) {
      if (++pads > 2) return -1;
      v[kept++] = 0;
    } else if (c < 64) {
      if (pads > 0) return -1;  // data after padding
      v[kept++] = c;
    } else if (c == kEnd) {
      ended = true;
      break;
    }
  }
  if (kept == 0) return 0;
  if (kept % 4 != 0) return ended ? -1 : 0;
  for (size_t i = 0; i < kept; i += 4) PutGroup(out + i / 4 * 3, v[i], v[i + 1], v[i + 2], v[i + 3]);
  int decoded = static_cast<int>(kept / 4 * 3);
  return pads > decoded ? -1 : decoded - pads;
}

// The decoding table spread over the four places of a group: entry C of
// kGroup[K] is the 6-bit value of C shifted to place K of a 24-bit group,
// or kNotAlphabet for a character outside the alphabet.
constexpr uint32_t kNotAlphabet = 0x80000000u;
constexpr std::array<std::array<uint32_t, 256>, 4> MakeGroupTables() {
  std::array<std::array<uint32_t, 256>, 4> t{};
  for (int k = 0; k < 4; ++k) {
    for (int c = 0; c < 256; ++c) {
      t[k][c] = kDecode[c] < 64 ? static_cast<uint32_t>(kDecode[c]) << (18 - 6 * k) : kNotAlphabet;
    }
  }
  return t;
}
constexpr std::array<std::array<uint32_t, 256>, 4> kGroup = MakeGroupTables();

// Decodes 64 characters that are all alphabet characters (the usual piece)
// into 48 bytes at OUT, writing one byte more (OUT must hold 49).  False,
// with OUT partly written, when one is not; the piece then goes through
// DecodePiece.
inline bool DecodeCleanPiece(const char* piece, unsigned char* out) {
  const unsigned char* in = reinterpret_cast<const unsigned char*>(piece);
  uint32_t bad = 0;
  for (size_t i = 0; i < kPieceLength; i += 4, out += 3) {
    uint32_t l = kGroup[0][in[i]] | kGroup[1][in[i + 1]] | kGroup[2][in[i + 2]] | kGroup[3][in[i + 3]];
    bad |= l;
    // The three bytes in order, and a fourth that the next group overwrites.
    uint32_t bytes = l << 8;
    if constexpr (std::endian::native == std::endian::little) bytes = __builtin_bswap32(bytes);
    memcpy(out, &bytes, sizeof bytes);
  }
  return (bad & kNotAlphabet) == 0;
}

struct FreeDeleter {
  void operator()(void* p) const noexcept { std::free(p); }
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
  // The group b0 b1 b2 as the 24-bit value L: every table index is then L
  // shifted and cut to a byte, which the tables' four-fold alphabet turns
  // into the 6 bits wanted (kMiddle[(L >> 12) & 0xFF] is
  // alphabet[((b0 & 3) << 4) | (b1 >> 4)]).  Two groups are read with one
  // 8-byte load while eight bytes remain; the last groups are read byte by
  // byte.
  auto put = [](char* at, uint32_t l) {
    at[0] = kFirst[static_cast<uint8_t>(l >> 16)];
    at[1] = kMiddle[static_cast<uint8_t>(l >> 12)];
    at[2] = kMiddle[static_cast<uint8_t>(l >> 6)];
    at[3] = kLast[static_cast<uint8_t>(l)];
  };
  for (; len - i >= 8; i += 6, p += 8) {
    uint64_t w;
    memcpy(&w, in + i, sizeof w);
    if constexpr (std::endian::native == std::endian::little) w = __builtin_bswap64(w);
    put(p, static_cast<uint32_t>(w >> 40));
    put(p + 4, static_cast<uint32_t>(w >> 16));
  }
  for (; len - i >= 3; i += 3, p += 4) {
    put(p, static_cast<uint32_t>(in[i]) << 16 | static_cast<uint32_t>(in[i + 1]) << 8 | in[i + 2]);
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
  // The decoded length is reported as unsigned int, and OpenSSL took piece
  // lengths as int; anything past INT_MAX is refused outright.
  if (inLen > static_cast<size_t>(INT_MAX)) return -1;

  // A 64-character piece yields at most 48 bytes and writes at most 48
  // past the bytes counted so far, so 3/4 of the input and one piece's
  // worth more always hold what is written.
  std::unique_ptr<unsigned char, FreeDeleter> decoded(
      static_cast<unsigned char*>(std::malloc(inLen / 4 * 3 + 64)));
  if (!decoded) return -1;

  // The text is cut, after CR, LF and ">" are removed, into pieces of 64
  // characters; each is decoded on its own, as a fresh EVP_DecodeUpdate
  // would (DecodePiece).  Pieces are taken straight from IN: 64 alphabet
  // characters in a row are a piece as they stand and decode at once;
  // anything else is gathered first.
  size_t total = 0;
  const char* p = in;
  const char* const end = in + inLen;
  while (p < end) {
    while (p < end && IsRemoved(*p)) ++p;  // removed characters between pieces
    if (p == end) break;
    if (end - p >= static_cast<ptrdiff_t>(kPieceLength) && DecodeCleanPiece(p, decoded.get() + total)) {
      total += kPieceLength / 4 * 3;
      p += kPieceLength;
      continue;
    }
    char piece[kPieceLength];
    size_t n = 0;
    for (; p < end && n < kPieceLength; ++p) {
      if (!IsRemoved(*p)) piece[n++] = *p;
    }
    int r = DecodePiece(piece, n, decoded.get() + total);
    if (r < 0) return -1;
    total += static_cast<size_t>(r);
  }

  if (out != nullptr && total > 0) memcpy(out, decoded.get(), total);
  *len = static_cast<unsigned int>(total);
  return 0;
}

}  // namespace tolmix
