// CMSEngine envelopes between files, streamed in 4096-byte blocks.  Paths
// come in the system code page (GBK) and reach the file system under their
// UTF-8 names.  Sources must be regular files; the target must be absent
// or a regular file (a link is followed only where the kernel's
// protected_symlinks rule would), and is written to a new 0600 file beside
// it that is renamed over it only when the whole operation succeeded: a
// failure (wrong key, bad input, missing certificate, full disk) never
// costs an existing target its content (docs/files.md).
#include <unistd.h>

#include <cstdio>
#include <string>

#include <openssl/asn1t.h>
#include <openssl/pem.h>

#include "engine/CMSEngine.h"
#include "engine/EngineSlots.h"
#include "engine/EnvelopeParts.h"
#include "platform/FileName.h"
#include "platform/SafeFile.h"

namespace tolmix {
namespace {

// Stream buffer of the source and target files.  The data chain still
// moves 4096-byte blocks; the files are read and written in larger pieces,
// so a file costs a sixteenth of the system calls.
constexpr size_t kFileBuffer = 64 * 1024;

// The file SRC (a path as the member got it, GBK) opened for binary
// reading through an OpenSSL file BIO, with a kFileBuffer stream buffer.
// Null when the name has no file-system form or is no regular file
// (platform::OpenSourceFile: a FIFO or device never makes the call wait).
ossl::Ptr<BIO> OpenSource(const char* src) noexcept try {
  std::string name;
  if (!platform::FileSystemName(src, &name)) return nullptr;
  int fd = platform::OpenSourceFile(name.c_str());
  if (fd < 0) return nullptr;
  FILE* fp = fdopen(fd, "rb");
  if (!fp) {
    close(fd);
    return nullptr;
  }
  setvbuf(fp, nullptr, _IOFBF, kFileBuffer);
  ossl::Ptr<BIO> in(BIO_new_fp(fp, BIO_CLOSE));
  if (!in) fclose(fp);
  return in;
} catch (...) {
  return nullptr;  // out of memory
}

// The target DST (GBK, as the member got it) under its file-system name:
// absent or a regular file, written beside itself and renamed into place
// by Commit (platform::TargetFile).  False when it is refused.
bool CreateTarget(platform::TargetFile* target, const char* dst) noexcept try {
  std::string name;
  if (!platform::FileSystemName(dst, &name) || !target->Create(name.c_str())) return false;
  setvbuf(target->File(), nullptr, _IOFBF, kFileBuffer);
  return true;
} catch (...) {
  return false;  // out of memory
}

// The streaming encoder of one message: BIO_new_NDEF puts an ASN.1 BIO
// (writing the message with indefinite lengths around the content) on OUT
// and opens the message's data chain (PKCS7_dataInit) on it.  Flushing the
// chain closes the message (PKCS7_dataFinal) and writes its end.  The
// destructor takes the chain apart down to OUT, which stays the caller's.
class StreamingEncoder {
 public:
  StreamingEncoder(PKCS7* p7, BIO* out) noexcept
      : m_pOut(out), m_pTop(BIO_new_NDEF(out, reinterpret_cast<ASN1_VALUE*>(p7), ASN1_ITEM_rptr(PKCS7))) {}
  ~StreamingEncoder() {
    for (BIO* b = m_pTop; b && b != m_pOut;) {
      BIO* next = BIO_pop(b);
      BIO_free(b);
      b = next;
    }
  }
  StreamingEncoder(const StreamingEncoder&) = delete;
  StreamingEncoder& operator=(const StreamingEncoder&) = delete;
  BIO* Chain() const noexcept { return m_pTop; }

 private:
  BIO* m_pOut;
  BIO* m_pTop;
};

// Frees a filter BIO alone, leaving the BIO below it to its owner.
struct FilterFree {
  void operator()(BIO* b) const noexcept {
    BIO_pop(b);
    BIO_free(b);
  }
};
using Filter = std::unique_ptr<BIO, FilterFree>;

}  // namespace

int CMSEngine::EnvelopeEncryptFile(const char* src, const char* dst, const char* certPem) noexcept {
  if (!src || !dst || !certPem) return -1;
  ReleaseKeyAndCert();
  ossl::Ptr<BIO> in = OpenSource(src);
  if (!in) {
    SetError(envelope::kMsgReadSource);
    return -1;
  }
  platform::TargetFile target;
  if (!CreateTarget(&target, dst)) {
    SetError(envelope::kMsgWriteEncrypted);
    return -1;
  }
  ossl::Ptr<X509> cert = envelope::ParseCertPem(certPem);
  if (!cert) return -1;
  KeyRoute e;
  ossl::Ptr<PKCS7> p7 = envelope::NewEnvelope(*this, cert.get(), &e);
  if (!p7) return -1;

  // PEM armour around a Base64 encoder, as PEM_write_bio_PKCS7 writes it.
  ossl::Ptr<BIO> file(BIO_new_fp(target.File(), BIO_NOCLOSE));
  Filter b64(BIO_new(BIO_f_base64()));
  if (!file || !b64 || BIO_puts(file.get(), "-----BEGIN PKCS7-----\n") <= 0) {
    SetError(envelope::kMsgWriteEncrypted);
    return -1;
  }
  BIO_push(b64.get(), file.get());
  {
    envelope::SetSlot(e, kEngineSlotEnvelopeOpen, true);
    StreamingEncoder encoder(p7.get(), b64.get());  // the content key is wrapped here
    if (!encoder.Chain()) {
      SetError(envelope::kMsgEncryptInit);
      return -1;
    }
    envelope::SetSlot(e, kEngineSlotEnvelopeOpen, false);
    char block[envelope::kFileBlock];
    int n;
    while ((n = BIO_read(in.get(), block, sizeof block)) > 0) {
      if (BIO_write(encoder.Chain(), block, n) != n) {
        SetError(envelope::kMsgWriteEncrypted);
        return -1;
      }
    }
    if (n < 0) {
      SetError(envelope::kMsgReadSource);
      return -1;
    }
    if (BIO_flush(encoder.Chain()) <= 0) {  // padding, PKCS7_dataFinal, end of the message
      SetError(envelope::kMsgEncrypt);
      return -1;
    }
  }
  if (BIO_flush(b64.get()) <= 0 || BIO_puts(file.get(), "-----END PKCS7-----\n") <= 0 ||
      BIO_flush(file.get()) <= 0) {
    SetError(envelope::kMsgWriteEncrypted);
    return -1;
  }
  b64.reset();
  file.reset();
  if (!target.Commit()) {
    SetError(envelope::kMsgWriteEncrypted);
    return -1;
  }
  return 0;
}

int CMSEngine::EnvelopeDecryptFile(const char* src, const char* dst) noexcept {
  if (!src || !dst) return -1;
  m_nKeyKind = kExchangeKey;
  ReleaseKeyAndCert();
  ossl::Ptr<BIO> in = OpenSource(src);
  if (!in) {
    SetError(envelope::kMsgReadEncrypted);
    return -1;
  }
  platform::TargetFile target;
  if (!CreateTarget(&target, dst)) {
    SetError(envelope::kMsgWriteDecrypted);
    return -1;
  }
  KeyRoute e;
  if (LoadKeyAndCert(&m_pCert, &m_pKey, &e) != 0 || !m_pCert || !m_pKey || !e) return -1;

  Filter der(envelope::OpenPemBody(in.get()));
  ossl::Ptr<PKCS7> p7(der ? envelope::ReadEnvelopeHead(der.get()) : nullptr);
  ossl::Ptr<BIO> content(p7 ? envelope::NewContentReader(der.get()) : nullptr);
  if (!content) {
    SetError(envelope::kMsgConvertP7);
    return -1;
  }
  BIO* reader = content.get();
  ossl::Ptr<BIO> chain =
      envelope::OpenDecryptChain(e, p7.get(), m_pKey.get(), m_pCert.get(), reader);
  if (!chain) return -1;
  content.release();  // the chain owns the reader now

  char block[envelope::kFileBlock];
  int n;
  while ((n = BIO_read(chain.get(), block, sizeof block)) > 0) {
    if (fwrite(block, 1, static_cast<size_t>(n), target.File()) != static_cast<size_t>(n)) {
      SetError(envelope::kMsgWriteDecrypted);
      return -1;
    }
  }
  if (envelope::ContentReaderFailed(reader)) {
    SetError(envelope::kMsgConvertP7);  // cut or malformed content
    return -1;
  }
  // A key that is not the recipient's: padding check failed, text unchanged.
  if (n < 0 || !envelope::CipherEndedCleanly(chain.get())) return -1;
  if (!target.Commit()) {
    SetError(envelope::kMsgWriteDecrypted);
    return -1;
  }
  return 0;
}

}  // namespace tolmix
