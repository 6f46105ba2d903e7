// CMSEngine envelopes between files, streamed in 4096-byte blocks.  The
// target is written to a new file beside it and renamed over it only when
// the whole operation succeeded: a failure (wrong key, bad input, missing
// certificate, full disk) never costs an existing target its content.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <openssl/asn1t.h>
#include <openssl/pem.h>
#include <openssl/rand.h>

#include "engine/CMSEngine.h"
#include "engine/EngineSlots.h"
#include "engine/EnvelopeParts.h"

namespace tolmix {
namespace {

// Stream buffer of the source and target files.  The data chain still
// moves 4096-byte blocks; the files are read and written in larger pieces,
// so a file costs a sixteenth of the system calls.
constexpr size_t kFileBuffer = 64 * 1024;

// The file SRC opened for binary reading through an OpenSSL file BIO, with
// a kFileBuffer stream buffer; null when it does not open.
ossl::Ptr<BIO> OpenSource(const char* src) noexcept {
  ossl::Ptr<BIO> in(BIO_new_file(src, "rb"));
  FILE* fp = nullptr;
  if (in && BIO_get_fp(in.get(), &fp) > 0 && fp) setvbuf(fp, nullptr, _IOFBF, kFileBuffer);
  return in;
}

// The file that becomes the target.  Create makes it beside the target
// (same folder, so the rename stays on one file system) with the mode a new
// file would get (0666 less the umask), or the target's own mode when the
// target exists.  Commit flushes it to disk and renames it over the target;
// until then, and whenever Commit fails, the destructor removes it.
class PendingTarget {
 public:
  PendingTarget() = default;
  ~PendingTarget() { Discard(); }
  PendingTarget(const PendingTarget&) = delete;
  PendingTarget& operator=(const PendingTarget&) = delete;

  bool Create(const char* target) noexcept try {
    // A symbolic link is written through, as opening it for writing would.
    std::string resolved = target;
    struct stat st;
    if (lstat(target, &st) == 0 && S_ISLNK(st.st_mode)) {
      if (char* real = realpath(target, nullptr)) {
        resolved = real;
        free(real);
      }
    }
    const bool exists = stat(resolved.c_str(), &st) == 0;
    for (int attempt = 0; attempt < 16; ++attempt) {
      unsigned char r[6];
      if (RAND_bytes(r, sizeof r) != 1) return false;
      char suffix[32];
      snprintf(suffix, sizeof suffix, ".tmp%02x%02x%02x%02x%02x%02x", r[0], r[1], r[2], r[3], r[4],
               r[5]);
      std::string path = resolved + suffix;
      int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
      if (fd < 0) {
        if (errno == EEXIST) continue;
        return false;
      }
      if (exists && S_ISREG(st.st_mode)) fchmod(fd, st.st_mode & 07777);
      m_pFile = fdopen(fd, "wb");
      if (!m_pFile) {
        close(fd);
        unlink(path.c_str());
        return false;
      }
      setvbuf(m_pFile, nullptr, _IOFBF, kFileBuffer);
      m_strPath = std::move(path);
      m_strTarget = std::move(resolved);
      return true;
    }
    return false;
  } catch (...) {
    return false;
  }

  FILE* File() const noexcept { return m_pFile; }

  bool Commit() noexcept {
    if (!m_pFile) return false;
    bool ok = fflush(m_pFile) == 0 && !ferror(m_pFile) && fsync(fileno(m_pFile)) == 0;
    ok = fclose(m_pFile) == 0 && ok;
    m_pFile = nullptr;
    if (ok && rename(m_strPath.c_str(), m_strTarget.c_str()) == 0) {
      m_strPath.clear();
      return true;
    }
    Discard();
    return false;
  }

 private:
  void Discard() noexcept {
    if (m_pFile) fclose(m_pFile);
    m_pFile = nullptr;
    if (!m_strPath.empty()) unlink(m_strPath.c_str());
    m_strPath.clear();
  }

  FILE* m_pFile = nullptr;
  std::string m_strPath;    // the new file, until it is renamed
  std::string m_strTarget;  // where it goes
};

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
  PendingTarget target;
  if (!target.Create(dst)) {
    SetError(envelope::kMsgWriteEncrypted);
    return -1;
  }
  ossl::Ptr<X509> cert = envelope::ParseCertPem(certPem);
  if (!cert) return -1;
  ossl::Ptr<ENGINE> e;
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
    envelope::SetSlot(e.get(), kEngineSlotEnvelopeOpen, true);
    StreamingEncoder encoder(p7.get(), b64.get());  // the content key is wrapped here
    if (!encoder.Chain()) {
      SetError(envelope::kMsgEncryptInit);
      return -1;
    }
    envelope::SetSlot(e.get(), kEngineSlotEnvelopeOpen, false);
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
  PendingTarget target;
  if (!target.Create(dst)) {
    SetError(envelope::kMsgWriteDecrypted);
    return -1;
  }
  ossl::Ptr<ENGINE> e;
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
      envelope::OpenDecryptChain(e.get(), p7.get(), m_pKey.get(), m_pCert.get(), reader);
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
