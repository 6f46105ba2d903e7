// Base64 (RFC 4648 standard alphabet, "=" padding) for digests, raw
// signatures and certificates given as text.  The encoder writes one line
// with no breaks; the decoder accepts PEM-style text with line ends.
#pragma once

namespace tolmix {

// Largest input length Base64Encode accepts: its text (4 characters per 3
// bytes) must still fit an int.
constexpr int kBase64MaxEncodeInput = 3 * ((0x7FFFFFFF - 1) / 4);

// Number of characters Base64Encode writes for LEN input bytes (without the
// NUL), or 0 when LEN is negative or above kBase64MaxEncodeInput.
int Base64EncodedLength(int len) noexcept;

// Base64Encode writes 4 * ceil(LEN / 3) characters of IN and a NUL to OUT and
// returns the number of characters (not counting the NUL).  OUT must hold
// Base64EncodedLength(LEN) + 1 bytes.  Never fails for a sound call; a
// negative LEN, a LEN above kBase64MaxEncodeInput or a null IN with LEN > 0
// is refused: OUT (when not null) gets the empty text and 0 is returned.
// A null OUT writes nothing and returns 0.
int Base64Encode(char* out, const unsigned char* in, int len) noexcept;

// Base64Decode decodes the NUL-terminated text IN.  CR, LF and ">" are
// removed first; the rest is cut into pieces of 64 characters, each decoded
// on its own exactly as OpenSSL's EVP_DecodeInit / EVP_DecodeUpdate decode
// it, without EVP_DecodeFinal, so what OpenSSL keeps back at the end of a
// piece is dropped: a piece whose Base64 characters are not a multiple of 4 (blanks
// do not count) yields no bytes at all.  On success returns 0 and sets *LEN to the number of decoded
// bytes, copying them into OUT when OUT is not null (no NUL is added; OUT
// must hold 3/4 of strlen(IN) bytes).  Returns -1, leaving *LEN and OUT
// untouched, for a null IN or LEN, an empty IN, an IN longer than INT_MAX
// bytes, lack of memory, or when OpenSSL rejects any piece.
int Base64Decode(unsigned char* out, const char* in, unsigned int* len) noexcept;

}  // namespace tolmix
