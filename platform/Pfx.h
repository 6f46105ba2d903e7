// PFX (PKCS#12) import: the stand-in for PFXImportCertStore followed by
// CertFindCertificateInStore(CERT_FIND_ANY) and CertCloseStore.  Only
// certificates are taken out; private keys are neither decrypted nor kept.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

#include "platform/Certificate.h"

namespace tolmix::platform {

// The first certificate of the PFX file image IMAGE (SIZE bytes) opened with
// the GBK password PASSWORD: the first X.509 certBag in file order, walking
// the authenticated safe's contents in order (plain and
// password-encrypted, nested safeContents bags included).
//
// The password is tried as follows, first success wins:
//   1. GBK converted to UTF-8, which OpenSSL 3 turns into the BMPString
//      that PKCS#12 derives its keys from -- the same BMPString that
//      Windows makes from the UTF-16 form of the password;
//   2. when the password holds bytes above 0x7F: the raw GBK bytes, for
//      files written by tools that passed the code-page bytes unconverted
//      (OpenSSL 1.0 and its command, among others) -- their BMPString has
//      one character per byte, and PBES2 keys come from the bytes
//      themselves; then each byte explicitly as one character
//      (U+0000..U+00FF), for raw bytes that happen to be valid UTF-8;
//      A side effect: the UTF-8 bytes of the right password open a file made
//      with it, since OpenSSL takes valid UTF-8 as such.
//   3. when the password is empty: the absent password as well as the empty
//      one, since files differ in which of the two they were made with.
// The MAC is checked when the file has one.  Encrypted contents are
// decrypted with OpenSSL's default and, when it is installed, legacy
// provider (RC2 and 40-bit ciphers of older files).
//
// Empty on failure: empty image, no PKCS#12, wrong password, no certificate
// in the file, or a certificate that does not decode.  Writes no error text.
std::optional<Certificate> ImportPfxFirstCertificate(const unsigned char* image, size_t size,
                                                     std::string_view password);

}  // namespace tolmix::platform
