// Pieces shared by the envelope operations of CMSEngine (Envelope.cpp,
// EnvelopeFile.cpp) and the streaming reader of envelope files
// (EnvelopeStream.cpp).  Internal to the engine.
#pragma once

#include <string>

#include <openssl/engine.h>
#include <openssl/pkcs7.h>

#include "engine/CMSEngine.h"
#include "engine/OsslPtr.h"

namespace tolmix::envelope {

// GBK messages of the envelope operations.
// "加密初始化失败!"
inline constexpr char kMsgEncryptInit[] = "\xBC\xD3\xC3\xDC\xB3\xF5\xCA\xBC\xBB\xAF\xCA\xA7\xB0\xDC!";
// "加密失败!"
inline constexpr char kMsgEncrypt[] = "\xBC\xD3\xC3\xDC\xCA\xA7\xB0\xDC!";
// "读取源文件失败!"
inline constexpr char kMsgReadSource[] = "\xB6\xC1\xC8\xA1\xD4\xB4\xCE\xC4\xBC\xFE\xCA\xA7\xB0\xDC!";
// "写加密文件失败!"
inline constexpr char kMsgWriteEncrypted[] = "\xD0\xB4\xBC\xD3\xC3\xDC\xCE\xC4\xBC\xFE\xCA\xA7\xB0\xDC!";
// "读取加密文件失败!"
inline constexpr char kMsgReadEncrypted[] =
    "\xB6\xC1\xC8\xA1\xBC\xD3\xC3\xDC\xCE\xC4\xBC\xFE\xCA\xA7\xB0\xDC!";
// "写解密文件失败!"
inline constexpr char kMsgWriteDecrypted[] = "\xD0\xB4\xBD\xE2\xC3\xDC\xCE\xC4\xBC\xFE\xCA\xA7\xB0\xDC!";
// "转换P7失败!"
inline constexpr char kMsgConvertP7[] = "\xD7\xAA\xBB\xBBP7\xCA\xA7\xB0\xDC!";

// Block sizes of the data-chain reads: memory decryption, files.
inline constexpr int kMemoryBlock = 1024;
inline constexpr int kFileBlock = 4096;

// Sets engine slot 6 (the data chain is being opened) or 8 (decryption) of
// E to "1" or "0".  A null E is skipped.
void SetSlot(const KeyRoute& e, int slot, bool on) noexcept;

// The certificate in the PEM text CERT_PEM, or null.
ossl::Ptr<X509> ParseCertPem(const char* certPem) noexcept;

// NewEnvelope settles the interface and engine for RECIPIENT through
// SELF.SelectInterfaceByCertificate (*ENGINE: the reference, owned by the
// caller) and makes an enveloped-data message with the Triple-DES CBC
// cipher and RECIPIENT as its one recipient, ready for PKCS7_dataInit.
// Null on any failure (the bring-up may have written its message).
ossl::Ptr<PKCS7> NewEnvelope(CMSEngine& self, X509* recipient, KeyRoute* engine) noexcept;

// OpenDecryptChain sets slots 6 and 8 of E, opens P7 for decryption with
// KEY and CERT (PKCS7_dataDecode; IN, when given, supplies the encrypted
// content) and resets slot 6.  On success the returned chain also owns IN;
// on failure (null) IN stays the caller's.
ossl::Ptr<BIO> OpenDecryptChain(const KeyRoute& e, PKCS7* p7, EVP_PKEY* key, X509* cert, BIO* in) noexcept;

// True when the cipher of the drained decryption CHAIN ended on good
// padding.  PKCS7_dataDecode given a key that cannot open the content key
// goes on with a random one (against key oracles); that shows only here.
bool CipherEndedCleanly(BIO* chain) noexcept;

// ---- Streaming envelope reader (EnvelopeStream.cpp) ----

// Positions the PEM file SRC after its "-----BEGIN PKCS7-----" (or
// "-----BEGIN CMS-----") line and
// returns a Base64 decoder over it (the caller frees it with BIO_free, not
// BIO_free_all: SRC stays the caller's).  Null when there is no such line.
BIO* OpenPemBody(BIO* src) noexcept;

// ReadEnvelopeHead reads, from the DER/BER stream DER, an enveloped-data
// ContentInfo up to its encrypted content, and returns the message without
// that content (recipients and content algorithm only; at most 1 MiB of
// them).  DER is left at the encrypted content's header, which
// NewContentReader reads next.  Null for anything else.
ossl::Ptr<PKCS7> ReadEnvelopeHead(BIO* der) noexcept;

// A source BIO that yields the bytes of the encrypted content that follows
// in DER ([0] IMPLICIT OCTET STRING, primitive or constructed, definite or
// indefinite), then EOF.  A malformed or cut encoding reads as -1 and
// marks the reader (ContentReaderFailed).  DER is borrowed and must outlive
// the reader.
BIO* NewContentReader(BIO* der) noexcept;
bool ContentReaderFailed(BIO* reader) noexcept;

// TAG with a definite DER length around BODY.
std::string Wrap(unsigned char tag, const std::string& body);

}  // namespace tolmix::envelope
