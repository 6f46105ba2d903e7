// Reading an envelope file as a stream: the PEM body through a Base64
// decoder, the enveloped-data head (RFC 2315 section 10) into memory, and
// the encrypted content as a BIO that PKCS7_dataDecode decrypts block by
// block.  OpenSSL's own decoders read a whole message into memory; a file
// envelope can be far larger than that should be.
#include <cstring>
#include <new>
#include <string>

#include <openssl/bio.h>
#include <openssl/pkcs7.h>

#include "engine/EnvelopeParts.h"
#include "engine/GmForms.h"

namespace tolmix::envelope {
namespace {

// PEM armours of an envelope file: "PKCS7", and "CMS" as some GM systems
// write it.
constexpr const char* kPemBegins[] = {"-----BEGIN PKCS7-----", "-----BEGIN CMS-----"};
constexpr size_t kMaxHead = 1 << 20;  // recipients and algorithm of one envelope
constexpr long kIndefinite = -1;

// DER of the content type enveloped-data, 1.2.840.113549.1.7.3.
constexpr unsigned char kEnvelopedOid[] = {0x06, 0x09, 0x2A, 0x86, 0x48, 0x86,
                                           0xF7, 0x0D, 0x01, 0x07, 0x03};

bool ReadExact(BIO* in, unsigned char* p, size_t n) {
  while (n > 0) {
    int r = BIO_read(in, p, n > 4096 ? 4096 : static_cast<int>(n));
    if (r <= 0) return false;
    p += r;
    n -= static_cast<size_t>(r);
  }
  return true;
}

// One identifier and length, low tag numbers only (all the envelope uses).
struct Header {
  unsigned char tag = 0;
  long len = 0;       // kIndefinite for an indefinite length
  size_t size = 0;    // bytes of the header itself
  unsigned char raw[6] = {};
};

bool ReadHeader(BIO* in, Header* h) {
  if (!ReadExact(in, h->raw, 2)) return false;
  h->tag = h->raw[0];
  h->size = 2;
  if ((h->tag & 0x1F) == 0x1F) return false;
  unsigned char first = h->raw[1];
  if (first < 0x80) {
    h->len = first;
  } else if (first == 0x80) {
    if (!(h->tag & 0x20)) return false;  // only constructed encodings may be indefinite
    h->len = kIndefinite;
  } else {
    size_t count = first & 0x7F;
    if (count > 4 || !ReadExact(in, h->raw + 2, count)) return false;
    unsigned long len = 0;
    for (size_t i = 0; i < count; ++i) len = (len << 8) | h->raw[2 + i];
    if (len > 0x7FFFFFFFUL) return false;
    h->len = static_cast<long>(len);
    h->size += count;
  }
  return true;
}

// Appends the whole element of header H (contents of any length form) to
// OUT, within kMaxHead bytes.
bool CopyElement(BIO* in, const Header& h, std::string* out, int depth = 0) {
  if (depth > 16) return false;
  out->append(reinterpret_cast<const char*>(h.raw), h.size);
  if (h.len != kIndefinite) {
    if (out->size() + static_cast<size_t>(h.len) > kMaxHead) return false;
    size_t at = out->size();
    out->resize(at + static_cast<size_t>(h.len));
    return ReadExact(in, reinterpret_cast<unsigned char*>(&(*out)[at]), static_cast<size_t>(h.len));
  }
  for (;;) {
    Header child;
    if (!ReadHeader(in, &child) || out->size() > kMaxHead) return false;
    if (child.tag == 0 && child.len == 0) {  // end of contents
      out->append(reinterpret_cast<const char*>(child.raw), child.size);
      return true;
    }
    if (!CopyElement(in, child, out, depth + 1)) return false;
  }
}

bool ReadElement(BIO* in, unsigned char tag, std::string* out) {
  Header h;
  return ReadHeader(in, &h) && h.tag == tag && CopyElement(in, h, out);
}

// The content reader's state: the frames of the constructed encodings that
// are open, and the bytes left in the current primitive piece.
struct ContentReader {
  BIO* der = nullptr;
  struct Frame {
    long left;  // bytes left in a definite frame; kIndefinite
  } frames[8];
  int depth = 0;
  long piece = 0;     // content bytes left in the current primitive piece
  bool done = false;  // the outer encoding has ended
  bool failed = false;

  void Consume(long n) {
    for (int i = 0; i < depth; ++i) {
      if (frames[i].left != kIndefinite) frames[i].left -= n;
    }
  }
  bool FramesValid() const {
    for (int i = 0; i < depth; ++i) {
      if (frames[i].left != kIndefinite && frames[i].left < 0) return false;
    }
    return true;
  }
  // Reads headers until a primitive piece with bytes left, or the end.
  bool NextPiece() {
    while (piece == 0 && !done) {
      while (depth > 0 && frames[depth - 1].left == 0) --depth;  // closed definite frames
      if (depth == 0) {
        done = true;
        break;
      }
      Header h;
      if (!ReadHeader(der, &h)) return false;
      Consume(static_cast<long>(h.size));
      if (!FramesValid()) return false;
      if (h.tag == 0 && h.len == 0) {  // end of an indefinite frame
        if (frames[depth - 1].left != kIndefinite) return false;
        --depth;
        if (depth == 0) done = true;
      } else if (h.tag == 0x04) {  // OCTET STRING piece
        piece = h.len;
      } else if (h.tag == 0x24) {  // constructed OCTET STRING
        if (depth == static_cast<int>(sizeof frames / sizeof frames[0])) return false;
        frames[depth++].left = h.len;
      } else {
        return false;
      }
    }
    return true;
  }
  int Read(char* out, int size) {
    if (failed) return -1;
    int produced = 0;
    while (produced < size) {
      if (piece == 0 && !NextPiece()) {
        failed = true;
        break;
      }
      if (piece == 0) break;  // done
      int want = size - produced < piece ? size - produced : static_cast<int>(piece);
      int r = BIO_read(der, out + produced, want);
      if (r <= 0) {
        failed = true;  // cut short
        break;
      }
      piece -= r;
      Consume(r);
      if (!FramesValid()) {
        failed = true;
        break;
      }
      produced += r;
    }
    return produced > 0 ? produced : failed ? -1 : 0;
  }
};

// The method lives as long as the code it points into: the holder frees it
// when the module that holds this code is unloaded (or at exit), so a host
// that loads and unloads the server repeatedly loses nothing.
struct MethodHolder {
  BIO_METHOD* method;
  ~MethodHolder() { BIO_meth_free(method); }
};

BIO_METHOD* ContentReaderMethod() {
  static const MethodHolder holder{[] {
    int index = BIO_get_new_index();
    BIO_METHOD* m = index < 0 ? nullptr : BIO_meth_new(index | BIO_TYPE_SOURCE_SINK, "envelope content");
    if (!m) return m;
    BIO_meth_set_read(m, [](BIO* b, char* out, int size) -> int {
      BIO_clear_retry_flags(b);
      if (!out || size <= 0) return 0;
      return static_cast<ContentReader*>(BIO_get_data(b))->Read(out, size);
    });
    BIO_meth_set_ctrl(m, [](BIO* b, int cmd, long, void*) -> long {
      auto* r = static_cast<ContentReader*>(BIO_get_data(b));
      if (cmd == BIO_CTRL_EOF) return r->done && r->piece == 0;
      return cmd == BIO_CTRL_FLUSH ? 1 : 0;
    });
    BIO_meth_set_create(m, [](BIO* b) -> int {
      BIO_set_init(b, 1);
      return 1;
    });
    BIO_meth_set_destroy(m, [](BIO* b) -> int {
      delete static_cast<ContentReader*>(BIO_get_data(b));
      BIO_set_data(b, nullptr);
      return 1;
    });
    return m;
  }()};
  return holder.method;
}

}  // namespace

// TAG with a definite length around BODY.
std::string Wrap(unsigned char tag, const std::string& body) {
  std::string out(1, static_cast<char>(tag));
  size_t n = body.size();
  if (n < 0x80) {
    out += static_cast<char>(n);
  } else {
    std::string digits;
    for (; n; n >>= 8) digits.insert(digits.begin(), static_cast<char>(n & 0xFF));
    out += static_cast<char>(0x80 | digits.size());
    out += digits;
  }
  return out + body;
}

BIO* OpenPemBody(BIO* src) noexcept {
  // Lines before the armour are skipped, as PEM readers do.  A line longer
  // than the buffer arrives in pieces; only the start of a line counts.
  char line[256];
  bool atLineStart = true;
  for (;;) {
    int n = BIO_gets(src, line, sizeof line);
    if (n <= 0) return nullptr;
    bool begins = false;
    for (const char* b : kPemBegins) begins = begins || strncmp(line, b, strlen(b)) == 0;
    if (atLineStart && begins) break;
    atLineStart = line[n - 1] == '\n';
  }
  BIO* b64 = BIO_new(BIO_f_base64());
  if (b64) BIO_push(b64, src);
  return b64;
}

ossl::Ptr<PKCS7> ReadEnvelopeHead(BIO* der) noexcept try {
  Header h;
  // ContentInfo, its content type (PKCS#7 or GM/T 0010 envelopedData; the
  // head below is rebuilt with the PKCS#7 one), [0] EXPLICIT and the
  // EnvelopedData.
  std::string type;
  if (!ReadHeader(der, &h) || h.tag != 0x30 || !ReadElement(der, 0x06, &type) ||
      (type != std::string(reinterpret_cast<const char*>(kEnvelopedOid), sizeof kEnvelopedOid) &&
       type != std::string(reinterpret_cast<const char*>(gm_forms::kGmEnvelopedOidDer),
                           sizeof gm_forms::kGmEnvelopedOidDer)) ||
      !ReadHeader(der, &h) || h.tag != 0xA0 || !ReadHeader(der, &h) || h.tag != 0x30) {
    return nullptr;
  }
  std::string version, recipients, contentType, algorithm;
  if (!ReadElement(der, 0x02, &version) || !ReadElement(der, 0x31, &recipients) ||
      !ReadHeader(der, &h) || h.tag != 0x30 ||  // EncryptedContentInfo
      !ReadElement(der, 0x06, &contentType) || !ReadElement(der, 0x30, &algorithm)) {
    return nullptr;
  }
  // The same message without its encrypted content (which is optional).
  std::string body = Wrap(
      0x30, std::string(reinterpret_cast<const char*>(kEnvelopedOid), sizeof kEnvelopedOid) +
                Wrap(0xA0, Wrap(0x30, version + recipients + Wrap(0x30, contentType + algorithm))));
  const unsigned char* p = reinterpret_cast<const unsigned char*>(body.data());
  ossl::Ptr<PKCS7> p7(d2i_PKCS7(nullptr, &p, static_cast<long>(body.size())));
  if (!p7 || !PKCS7_type_is_enveloped(p7.get())) return nullptr;
  return p7;
} catch (...) {
  return nullptr;  // out of memory
}

BIO* NewContentReader(BIO* der) noexcept {
  BIO_METHOD* method = ContentReaderMethod();
  auto* state = new (std::nothrow) ContentReader;
  BIO* b = method && state ? BIO_new(method) : nullptr;
  if (!b) {
    delete state;
    return nullptr;
  }
  state->der = der;
  BIO_set_data(b, state);
  // The encrypted content: [0] IMPLICIT, primitive (one piece) or
  // constructed (pieces in frames).
  Header h;
  if (!ReadHeader(der, &h)) {
    state->failed = true;
  } else if (h.tag == 0x80) {
    state->piece = h.len;
    state->done = true;  // no frames: the piece is all
  } else if (h.tag == 0xA0) {
    state->frames[state->depth++].left = h.len;
  } else {
    state->failed = true;
  }
  return b;
}

bool ContentReaderFailed(BIO* reader) noexcept {
  auto* state = reader ? static_cast<ContentReader*>(BIO_get_data(reader)) : nullptr;
  return !state || state->failed;
}

}  // namespace tolmix::envelope
