// The PEM text of a finished PKCS#7 message, as signing and envelope
// encryption hand it to the control.
#pragma once

#include <string>

#include <openssl/pkcs7.h>

namespace tolmix {

// WriteEnvelopePem writes P7 as PEM (label PKCS7, 64-character lines) into
// OUT of capacity *OUT_LEN; *OUT_LEN becomes the bytes written.  No NUL is
// added.  Returns 0; -1 without a message when the PEM write fails or gives
// nothing, for a null argument, and when the text is longer than the
// capacity: nothing is written then (a cut message would be a broken one)
// and *OUT_LEN is the capacity needed.  The string form returns the whole
// text.
int WriteEnvelopePem(PKCS7* p7, char* out, unsigned* out_len) noexcept;
int WriteEnvelopePem(PKCS7* p7, std::string* pem) noexcept;

}  // namespace tolmix
