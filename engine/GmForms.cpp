// The message forms of GM systems (GmForms.h).  OpenSSL 3.0 reads a PKCS#7
// message of an unknown content type as an "other" one (its content kept
// as ASN.1 ANY), so the GM/T 0010 types are turned into their PKCS#7
// counterparts here, from their DER, before any PKCS#7 code sees them.
#include "engine/GmForms.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <iterator>
#include <string_view>

#include <openssl/asn1.h>
#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/pem.h>

#include "engine/EnvelopeParts.h"
#include "platform/Env.h"
#include "platform/Trace.h"

namespace tolmix::gm_forms {
namespace {

constexpr char kGmData[] = "1.2.156.10197.6.1.4.2.1";
constexpr char kGmSigned[] = "1.2.156.10197.6.1.4.2.2";

// The same identifiers as their DER contents (no tag or length), compared
// with an object's own bytes: printing an identifier as text to compare it
// costs thousands of instructions, and every message read and every
// certificate checked compares several.
constexpr unsigned char kGmDataDer[] = {0x2A, 0x81, 0x1C, 0xCF, 0x55, 0x06, 0x01, 0x04, 0x02, 0x01};
constexpr unsigned char kGmSignedDer[] = {0x2A, 0x81, 0x1C, 0xCF, 0x55, 0x06, 0x01, 0x04, 0x02, 0x02};
constexpr unsigned char kGmEnvelopedDer[] = {0x2A, 0x81, 0x1C, 0xCF, 0x55, 0x06, 0x01, 0x04, 0x02, 0x03};
constexpr unsigned char kSm4Der[] = {0x2A, 0x81, 0x1C, 0xCF, 0x55, 0x01, 0x68};  // 1.2.156.10197.1.104
constexpr unsigned char kSm2AlgorithmDer[] = {0x2A, 0x81, 0x1C, 0xCF, 0x55, 0x01, 0x82, 0x2D};  // ...1.301
static_assert(sizeof kGmEnvelopedDer + 2 == sizeof kGmEnvelopedOidDer &&
              std::equal(std::begin(kGmEnvelopedDer), std::end(kGmEnvelopedDer), kGmEnvelopedOidDer + 2));

constexpr size_t kCoordinate = 32;  // an SM2 coordinate, and C3 (SM3)

template <size_t N>
bool IsOid(const ASN1_OBJECT* obj, const unsigned char (&der)[N]) {
  return obj && OBJ_length(obj) == N && memcmp(OBJ_get0_data(obj), der, N) == 0;
}

// The DER of an "other" content (ASN.1 ANY holding a SEQUENCE), parsed as T.
template <class T>
T* DecodeOther(ASN1_TYPE* any, T* (*d2i)(T**, const unsigned char**, long)) {
  if (!any || any->type != V_ASN1_SEQUENCE || !any->value.sequence) return nullptr;
  const unsigned char* p = ASN1_STRING_get0_data(any->value.sequence);
  const long len = ASN1_STRING_length(any->value.sequence);
  return d2i(nullptr, &p, len);
}

// A content info of GM type data becomes PKCS#7 data (its OCTET STRING).
bool NormalizeData(PKCS7* p7) {
  if (!p7 || !IsOid(p7->type, kGmDataDer)) return true;
  ASN1_TYPE* any = p7->d.other;
  if (any && any->type != V_ASN1_OCTET_STRING) return false;
  ASN1_OCTET_STRING* os = any ? any->value.octet_string : nullptr;
  if (any) any->value.ptr = nullptr;
  ASN1_TYPE_free(any);
  ASN1_OBJECT_free(p7->type);
  p7->type = OBJ_nid2obj(NID_pkcs7_data);
  p7->d.data = os;  // null for a detached content
  return true;
}

// P7 with GM outer and inner types as the PKCS#7 ones, in place.
bool Normalize(PKCS7* p7) {
  if (IsOid(p7->type, kGmSignedDer)) {
    PKCS7_SIGNED* sd = DecodeOther(p7->d.other, d2i_PKCS7_SIGNED);
    if (!sd) return false;
    ASN1_TYPE_free(p7->d.other);
    ASN1_OBJECT_free(p7->type);
    p7->type = OBJ_nid2obj(NID_pkcs7_signed);
    p7->d.sign = sd;
  } else if (IsOid(p7->type, kGmEnvelopedDer)) {
    PKCS7_ENVELOPE* ed = DecodeOther(p7->d.other, d2i_PKCS7_ENVELOPE);
    if (!ed) return false;
    ASN1_TYPE_free(p7->d.other);
    ASN1_OBJECT_free(p7->type);
    p7->type = OBJ_nid2obj(NID_pkcs7_enveloped);
    p7->d.enveloped = ed;
  }
  if (PKCS7_type_is_signed(p7) && p7->d.sign) return NormalizeData(p7->d.sign->contents);
  return true;
}

ossl::Ptr<PKCS7> FromDer(const unsigned char* der, long len) {
  const unsigned char* p = der;
  ossl::Ptr<PKCS7> p7(d2i_PKCS7(nullptr, &p, len));
  return p7 && p == der + len ? std::move(p7) : nullptr;
}

// Bare Base64 of the DER: nothing but Base64 characters and white space.
bool DecodeBareBase64(const char* text, int len, std::string* der) {
  std::string b64;
  for (int i = 0; i < len; ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (isspace(c)) continue;
    if (!isalnum(c) && c != '+' && c != '/' && c != '=') return false;
    b64 += static_cast<char>(c);
  }
  if (b64.empty() || b64.size() % 4 != 0 || b64.size() > 0x7FFFFFF0u) return false;
  der->resize(b64.size() / 4 * 3);
  int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(der->data()),
                          reinterpret_cast<const unsigned char*>(b64.data()),
                          static_cast<int>(b64.size()));
  if (n < 0) return false;
  size_t pad = b64.size() >= 2 && b64[b64.size() - 2] == '=' ? 2 : b64.back() == '=' ? 1 : 0;
  der->resize(static_cast<size_t>(n) - pad);
  return true;
}

// ---- SM2 ciphertext ----

struct Sm2Parts {
  std::string x, y, c3, c2;
};

// The contents of the next TLV of TAG (universal, primitive) at *P.
bool Next(const unsigned char** p, long* left, int tag, std::string* out) {
  const unsigned char* start = *p;
  long len = 0;
  int t = 0, cls = 0;
  int r = ASN1_get_object(p, &len, &t, &cls, *left);
  if ((r & 0x80) || (r & 0x21) || t != tag || cls != V_ASN1_UNIVERSAL) return false;
  out->assign(reinterpret_cast<const char*>(*p), static_cast<size_t>(len));
  *p += len;
  *left -= *p - start;
  return true;
}

// An INTEGER's bytes as a 32-byte coordinate: leading zeros dropped, so a
// redundant 00 and 32 bytes with the top bit set (read as negative by
// strict decoders) both come out as the unsigned value.
bool Coordinate(std::string v, std::string* out) {
  size_t zeros = 0;
  while (zeros < v.size() && v[zeros] == '\0') ++zeros;
  v.erase(0, zeros);
  if (v.size() > kCoordinate) return false;
  *out = std::string(kCoordinate - v.size(), '\0') + v;
  return true;
}

std::string Integer(std::string v) {
  while (v.size() > 1 && v[0] == '\0' && !(static_cast<unsigned char>(v[1]) & 0x80)) v.erase(0, 1);
  if (static_cast<unsigned char>(v[0]) & 0x80) v.insert(v.begin(), '\0');
  return envelope::Wrap(0x02, v);
}

std::string Encode(const Sm2Parts& c) {
  return envelope::Wrap(0x30, Integer(c.x) + Integer(c.y) + envelope::Wrap(0x04, c.c3) + envelope::Wrap(0x04, c.c2));
}

// X, Y and the two further parts A, B in both orders (C3 is 32 bytes).
void AddOrders(const std::string& x, const std::string& y, const std::string& a,
               const std::string& b, std::vector<std::string>* out) {
  if (a.size() == kCoordinate && !b.empty()) out->push_back(Encode({x, y, a, b}));
  if (b.size() == kCoordinate && !a.empty()) out->push_back(Encode({x, y, b, a}));
}

// Raw C1 || rest, C1 = X || Y at OFFSET.
void AddRaw(const unsigned char* in, size_t len, size_t offset, std::vector<std::string>* out) {
  if (len <= offset + 2 * kCoordinate + kCoordinate) return;
  const char* s = reinterpret_cast<const char*>(in) + offset;
  std::string x(s, kCoordinate), y(s + kCoordinate, kCoordinate);
  std::string rest(s + 2 * kCoordinate, len - offset - 2 * kCoordinate);
  const size_t n = rest.size() - kCoordinate;
  // C1 C3 C2, then C1 C2 C3.
  out->push_back(Encode({x, y, rest.substr(0, kCoordinate), rest.substr(kCoordinate)}));
  out->push_back(Encode({x, y, rest.substr(n), rest.substr(0, n)}));
}

}  // namespace

ossl::Ptr<PKCS7> ReadMessage(const char* text, int len) noexcept try {
  if (!text || len <= 0) return nullptr;
  ossl::Ptr<PKCS7> p7;
  ossl::Ptr<BIO> in(BIO_new_mem_buf(text, len));
  if (in) p7.reset(PEM_read_bio_PKCS7(in.get(), nullptr, nullptr, nullptr));
  if (!p7 && in && BIO_reset(in.get()) == 1) {
    unsigned char* der = nullptr;
    long derLen = 0;
    ERR_set_mark();
    if (PEM_bytes_read_bio(&der, &derLen, nullptr, "CMS", in.get(), nullptr, nullptr) == 1) {
      p7 = FromDer(der, derLen);
      OPENSSL_free(der);
    }
    ERR_pop_to_mark();
  }
  if (!p7) {
    std::string der;
    if (DecodeBareBase64(text, len, &der)) {
      p7 = FromDer(reinterpret_cast<const unsigned char*>(der.data()), static_cast<long>(der.size()));
    }
  }
  if (!p7) {
    platform::Trace("message: no PKCS7 or CMS PEM block, nor Base64 of a PKCS#7 DER");
    return nullptr;
  }
  if (!Normalize(p7.get())) {
    platform::Trace("message: a GM/T 0010 content type whose content does not decode");
    return nullptr;
  }
  return p7;
} catch (...) {
  return nullptr;  // out of memory
}

const EVP_CIPHER* ContentCipher(const ASN1_OBJECT* oid) noexcept {
  if (!oid) return nullptr;
  if (const EVP_CIPHER* c = EVP_get_cipherbyobj(oid)) return c;
  if (IsOid(oid, kSm4Der)) return EVP_sm4_cbc();
  char text[64] = {};
  OBJ_obj2txt(text, sizeof text, oid, 1);
  platform::Trace("envelope: content cipher %s is not known", text);
  return nullptr;
}

bool CertHasSm2Key(X509* cert) noexcept {
  const X509_PUBKEY* pub = cert ? X509_get_X509_PUBKEY(cert) : nullptr;
  ASN1_OBJECT* alg = nullptr;
  X509_ALGOR* params = nullptr;
  if (!pub || !X509_PUBKEY_get0_param(&alg, nullptr, nullptr, &params, pub) || !alg) return false;
  if (IsOid(alg, kSm2AlgorithmDer)) return true;
  if (OBJ_obj2nid(alg) != NID_X9_62_id_ecPublicKey || !params) return false;
  int type = 0;
  const void* value = nullptr;
  X509_ALGOR_get0(nullptr, &type, &value, params);
  return type == V_ASN1_OBJECT && value &&
         OBJ_obj2nid(static_cast<const ASN1_OBJECT*>(value)) == NID_sm2;
}

ossl::Ptr<X509> WithLoadableSm2Key(X509* cert) noexcept {
  const X509_PUBKEY* pub = cert ? X509_get_X509_PUBKEY(cert) : nullptr;
  ASN1_OBJECT* alg = nullptr;
  const unsigned char* point = nullptr;
  int pointLen = 0;
  if (!pub || !X509_PUBKEY_get0_param(&alg, &point, &pointLen, nullptr, pub) ||
      !IsOid(alg, kSm2AlgorithmDer) || pointLen <= 0) {
    return nullptr;
  }
  ERR_set_mark();
  const bool loads = X509_get0_pubkey(cert) != nullptr;
  ERR_pop_to_mark();  // its complaint about the key
  if (loads) return nullptr;
  // OpenSSL 3.0 reads the SM2 algorithm identifier only with the curve as
  // its parameter; without one (or with NULL, as many GM certificates have
  // it) the key does not load.  The same point under id-ecPublicKey on the
  // SM2 curve is the same key.
  ossl::Ptr<X509_PUBKEY> ec(X509_PUBKEY_new());
  unsigned char* copy = static_cast<unsigned char*>(OPENSSL_memdup(point, static_cast<size_t>(pointLen)));
  if (!ec || !copy) {
    OPENSSL_free(copy);
    return nullptr;
  }
  if (!X509_PUBKEY_set0_param(ec.get(), OBJ_nid2obj(NID_X9_62_id_ecPublicKey), V_ASN1_OBJECT,
                              OBJ_nid2obj(NID_sm2), copy, pointLen)) {
    OPENSSL_free(copy);
    return nullptr;
  }
  // OpenSSL 3.0 decodes a key only while it reads the DER: through it.
  unsigned char* der = nullptr;
  const int derLen = i2d_X509_PUBKEY(ec.get(), &der);
  ossl::Bytes ownedDer(der);
  const unsigned char* p = der;
  ERR_set_mark();
  ossl::Ptr<EVP_PKEY> key(derLen > 0 ? d2i_PUBKEY(nullptr, &p, derLen) : nullptr);
  ERR_pop_to_mark();
  ossl::Ptr<X509> out(key ? X509_dup(cert) : nullptr);
  if (!out || !X509_set_pubkey(out.get(), key.get())) return nullptr;
  platform::Trace("certificate: an SM2 key under 1.2.156.10197.1.301 without its curve read as an EC key");
  return out;
}

void LoadableSm2Keys(STACK_OF(X509)* certs) noexcept {
  for (int i = 0; i < sk_X509_num(certs); ++i) {
    if (ossl::Ptr<X509> fixed = WithLoadableSm2Key(sk_X509_value(certs, i))) {
      X509* old = sk_X509_value(certs, i);
      sk_X509_set(certs, i, fixed.release());  // gives back the new one
      X509_free(old);
    }
  }
}

std::vector<std::string> Sm2CipherCandidates(const unsigned char* in, size_t len) {
  std::vector<std::string> out;
  if (!in || len == 0 || len > (1u << 20)) return out;
  // DER SEQUENCE { x, y INTEGER, OCTET STRING, OCTET STRING }, nothing after.
  const unsigned char* p = in;
  long left = static_cast<long>(len), seqLen = 0;
  int tag = 0, cls = 0;
  ERR_set_mark();  // a failed ASN.1 read queues errors
  int r = ASN1_get_object(&p, &seqLen, &tag, &cls, left);
  if (r == V_ASN1_CONSTRUCTED && tag == V_ASN1_SEQUENCE && p + seqLen == in + len) {
    std::string x, y, a, b, cx, cy;
    left = seqLen;
    if (Next(&p, &left, V_ASN1_INTEGER, &x) && Next(&p, &left, V_ASN1_INTEGER, &y) &&
        Next(&p, &left, V_ASN1_OCTET_STRING, &a) && Next(&p, &left, V_ASN1_OCTET_STRING, &b) &&
        left == 0 && Coordinate(x, &cx) && Coordinate(y, &cy)) {
      AddOrders(cx, cy, a, b, &out);
    }
  }
  ERR_pop_to_mark();
  if (!out.empty()) return out;  // DER it is: its bytes read as raw would be noise
  // Raw: 04 || X || Y || ..., or X || Y || ... without the 04.
  if (in[0] == 0x04) AddRaw(in, len, 1, &out);
  AddRaw(in, len, 0, &out);
  return out;
}

bool OutputForm(const char* form) noexcept try {
  if (!form) return false;
  const std::string list = platform::GmOutputForms();
  const std::string_view view(list);
  for (size_t start = 0; start <= view.size();) {
    size_t end = view.find(',', start);
    if (end == std::string_view::npos) end = view.size();
    if (view.substr(start, end - start) == form) return true;
    start = end + 1;
  }
  return false;
} catch (...) {
  return false;
}

ossl::Ptr<PKCS7> WithGmTypes(PKCS7* p7) noexcept {
  if (!p7 || !PKCS7_type_is_signed(p7)) return nullptr;
  ossl::Ptr<PKCS7> copy(PKCS7_dup(p7));
  PKCS7* inner = copy && copy->d.sign ? copy->d.sign->contents : nullptr;
  if (!inner || !PKCS7_type_is_data(inner)) return nullptr;
  // The inner content: an "other" one of GM type data.
  ASN1_TYPE* any = ASN1_TYPE_new();
  ASN1_OBJECT* dataType = OBJ_txt2obj(kGmData, 1);
  if (!any || !dataType) {
    ASN1_TYPE_free(any);
    ASN1_OBJECT_free(dataType);
    return nullptr;
  }
  if (inner->d.data) {
    ASN1_TYPE_set(any, V_ASN1_OCTET_STRING, inner->d.data);
    inner->d.other = any;
  } else {
    ASN1_TYPE_free(any);  // detached: no content
    inner->d.other = nullptr;
  }
  ASN1_OBJECT_free(inner->type);
  inner->type = dataType;

  unsigned char* der = nullptr;
  int derLen = i2d_PKCS7_SIGNED(copy->d.sign, &der);
  ossl::Bytes owned(der);
  ossl::Ptr<PKCS7> out(PKCS7_new());
  ASN1_STRING* seq = derLen > 0 ? ASN1_STRING_new() : nullptr;
  ASN1_TYPE* content = seq ? ASN1_TYPE_new() : nullptr;
  ASN1_OBJECT* signedType = OBJ_txt2obj(kGmSigned, 1);
  if (!out || !content || !signedType || !ASN1_STRING_set(seq, der, derLen)) {
    ASN1_STRING_free(seq);
    ASN1_TYPE_free(content);
    ASN1_OBJECT_free(signedType);
    return nullptr;
  }
  ASN1_TYPE_set(content, V_ASN1_SEQUENCE, seq);
  out->type = signedType;
  out->d.other = content;
  return out;
}

}  // namespace tolmix::gm_forms
