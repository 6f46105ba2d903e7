// Certificate helpers of the engine: GetExtensionText.
#include <openssl/asn1.h>
#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <cstring>

#include "engine/CMSEngine.h"

namespace tolmix {
namespace {

// "未获取到对应的OID值!"
constexpr char kNoSuchExtension[] =
    "\xce\xb4\xbb\xf1\xc8\xa1\xb5\xbd\xb6\xd4\xd3\xa6\xb5\xc4\x4f\x49\x44\xd6\xb5\x21";

// Size of the identifier text buffer: an identifier whose text is longer
// than 99 bytes is cut by OBJ_obj2txt and so matches no request.
constexpr int kIdentifierTextSize = 100;

// The value of EXT as the system prints it: OpenSSL's printer for the
// extension when it has one, else the raw OCTET STRING contents through the
// string printer (non-printable bytes as ".").  EXT is read only; OpenSSL
// 3.0's printer and getters take it without const, 4.0's with.
void PrintExtensionValue(BIO* out, const X509_EXTENSION* ext) {
  X509_EXTENSION* e = const_cast<X509_EXTENSION*>(ext);
  if (X509V3_EXT_print(out, e, 0, 0) == 1) return;
  // A printer that failed half-way may have written part of its text.
  (void)BIO_reset(out);
  ASN1_STRING_print(out, X509_EXTENSION_get_data(e));
}

}  // namespace

// The identifier text comes from OBJ_obj2txt with names allowed.  OpenSSL 3
// knows more extensions by name than 1.0 did (for instance "TLS Feature",
// 1.3.6.1.5.5.7.1.24): for those the name matches here where 1.0 matched
// the dotted form.  Private-use identifiers print dotted under both.
ossl::Text CMSEngine::GetExtensionText(const char* certPem, const char* oid, int) noexcept {
  if (certPem == nullptr) return nullptr;
  ossl::Ptr<BIO> in(BIO_new_mem_buf(certPem, -1));
  ossl::Ptr<X509> cert(in ? PEM_read_bio_X509(in.get(), nullptr, nullptr, nullptr) : nullptr);
  if (!cert) {
    ERR_clear_error();
    return nullptr;
  }

  const char* wanted = oid ? oid : "";
  for (int i = 0; i < X509_get_ext_count(cert.get()); ++i) {
    const X509_EXTENSION* ext = X509_get_ext(cert.get(), i);
    char id[kIdentifierTextSize] = {};
    const ASN1_OBJECT* object = X509_EXTENSION_get_object(const_cast<X509_EXTENSION*>(ext));
    if (OBJ_obj2txt(id, sizeof id, object, 0) <= 0) continue;
    if (std::strcmp(id, wanted) != 0) continue;

    ossl::Ptr<BIO> out(BIO_new(BIO_s_mem()));
    if (!out) return nullptr;
    PrintExtensionValue(out.get(), ext);
    ossl::Text text(static_cast<char*>(OPENSSL_zalloc(kExtensionTextMax + 1)));
    if (!text) return nullptr;
    int n = BIO_read(out.get(), text.get(), static_cast<int>(kExtensionTextMax));
    text.get()[n > 0 ? n : 0] = '\0';
    ERR_clear_error();
    return text;
  }
  SetError(kNoSuchExtension);
  return nullptr;
}

}  // namespace tolmix
