// Cryptoki: the token's objects -- certificates and private keys found by
// class, and their attributes.
#include <cstring>

#include "modules/pkcs11_rsa_key/Cryptoki.h"
#include "modules/pkcs11_rsa_key/EngineErrors.h"

namespace tolmix::p11 {
namespace {

// Bounds of what is read from a token: objects of one class, and the bytes
// of one attribute (a certificate's value; ids and labels are far smaller).
constexpr CK_ULONG kMaxObjects = 256;
constexpr size_t kMaxIdOrLabel = 256;
constexpr size_t kMaxCertificate = 64 * 1024;
constexpr size_t kMaxRsaNumber = 2048;  // bytes: a 16384-bit modulus
constexpr size_t kMaxAttributesAtOnce = 3;

}  // namespace

bool Cryptoki::Attribute(CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type, size_t limit,
                         std::vector<unsigned char>* out) {
  out->clear();
  CK_ATTRIBUTE a{type, nullptr, 0};
  CK_RV rv = f_->C_GetAttributeValue(session_, object, &a, 1);
  // An attribute the object lacks reads as empty.
  if (rv == CKR_ATTRIBUTE_TYPE_INVALID || rv == CKR_ATTRIBUTE_SENSITIVE) return true;
  if (rv != CKR_OK) return Failed("C_GetAttributeValue", rv);
  if (a.ulValueLen == CK_UNAVAILABLE_INFORMATION || a.ulValueLen == 0) return true;
  if (a.ulValueLen > limit) {
    RaiseError(kReasonToken, "attribute 0x%lX of %lu bytes is too long", type, a.ulValueLen);
    return false;
  }
  out->resize(a.ulValueLen);
  a.pValue = out->data();
  rv = f_->C_GetAttributeValue(session_, object, &a, 1);
  if (rv != CKR_OK) return Failed("C_GetAttributeValue", rv);
  if (a.ulValueLen > out->size()) return Failed("C_GetAttributeValue", CKR_GENERAL_ERROR);
  out->resize(a.ulValueLen);
  return true;
}

// Every C_GetAttributeValue costs SoftHSM2 a look at the object's file
// (and, for a private object, the decryption of what is read), so the
// attributes of an object are asked for together: their sizes in one call,
// their values in a second.  Only a pair of CKR_OK answers is taken; any
// other answer (an attribute missing or sensitive, a module that does not
// take several at once, a token gone) reads them again one by one, whose
// rules then decide.
bool Cryptoki::Attributes(CK_OBJECT_HANDLE object, AttributeRead* reads, size_t count) {
  CK_ATTRIBUTE a[kMaxAttributesAtOnce];
  bool together = count <= kMaxAttributesAtOnce;
  for (size_t i = 0; together && i < count; ++i) {
    reads[i].out->clear();
    a[i] = CK_ATTRIBUTE{reads[i].type, nullptr, 0};
  }
  together = together && f_->C_GetAttributeValue(session_, object, a, count) == CKR_OK;
  CK_ATTRIBUTE values[kMaxAttributesAtOnce];
  CK_ULONG asked = 0;
  for (size_t i = 0; together && i < count; ++i) {
    const CK_ULONG len = a[i].ulValueLen;
    if (len == CK_UNAVAILABLE_INFORMATION || len == 0) continue;  // reads as empty
    if (len > reads[i].limit) {
      RaiseError(kReasonToken, "attribute 0x%lX of %lu bytes is too long", reads[i].type, len);
      return false;
    }
    reads[i].out->resize(len);
    values[asked++] = CK_ATTRIBUTE{reads[i].type, reads[i].out->data(), len};
  }
  together =
      together && (asked == 0 || f_->C_GetAttributeValue(session_, object, values, asked) == CKR_OK);
  for (size_t i = 0, v = 0; together && i < count; ++i) {
    if (reads[i].out->empty()) continue;
    const CK_ULONG len = values[v++].ulValueLen;
    if (len > reads[i].out->size()) {
      together = false;  // a module that claims more than the buffer holds
    } else {
      reads[i].out->resize(len);
    }
  }
  if (together) return true;
  for (size_t i = 0; i < count; ++i) {
    if (!Attribute(object, reads[i].type, reads[i].limit, reads[i].out)) return false;
  }
  return true;
}

bool Cryptoki::FindObjects(bool certificates, std::vector<TokenObject>* out) {
  out->clear();
  if (!have_session_) {
    RaiseError(kReasonToken, "no session");
    return false;
  }
  CK_OBJECT_CLASS cls = certificates ? CKO_CERTIFICATE : CKO_PRIVATE_KEY;
  CK_ATTRIBUTE find{CKA_CLASS, &cls, sizeof cls};
  CK_RV rv = f_->C_FindObjectsInit(session_, &find, 1);
  if (rv != CKR_OK) return Failed("C_FindObjectsInit", rv);
  std::vector<CK_OBJECT_HANDLE> handles(kMaxObjects);
  CK_ULONG found = 0;
  rv = f_->C_FindObjects(session_, handles.data(), kMaxObjects, &found);
  CK_RV final_rv = f_->C_FindObjectsFinal(session_);
  if (rv != CKR_OK) return Failed("C_FindObjects", rv);
  if (final_rv != CKR_OK) return Failed("C_FindObjectsFinal", final_rv);
  if (found > kMaxObjects) found = kMaxObjects;
  for (CK_ULONG i = 0; i < found; ++i) {
    TokenObject o;
    o.handle = handles[i];
    std::vector<unsigned char> label;
    AttributeRead reads[] = {{CKA_ID, kMaxIdOrLabel, &o.id},
                             {CKA_LABEL, kMaxIdOrLabel, &label},
                             {CKA_VALUE, kMaxCertificate, &o.value}};
    if (!Attributes(o.handle, reads, certificates ? 3 : 2)) {
      out->clear();
      return false;
    }
    o.label.assign(label.begin(), label.end());
    out->push_back(std::move(o));
  }
  return true;
}

bool Cryptoki::ReadRsaPublic(CK_OBJECT_HANDLE key, BIGNUM** n, BIGNUM** e) {
  std::vector<unsigned char> modulus, exponent;
  AttributeRead reads[] = {{CKA_MODULUS, kMaxRsaNumber, &modulus},
                           {CKA_PUBLIC_EXPONENT, kMaxRsaNumber, &exponent}};
  if (!have_session_ || !Attributes(key, reads, 2)) return false;
  if (modulus.empty() || exponent.empty()) {
    RaiseError(kReasonNoObject, "the key is no RSA key");
    return false;
  }
  *n = BN_bin2bn(modulus.data(), static_cast<int>(modulus.size()), nullptr);
  *e = BN_bin2bn(exponent.data(), static_cast<int>(exponent.size()), nullptr);
  if (*n && *e) return true;
  BN_free(*n);
  BN_free(*e);
  *n = *e = nullptr;
  return false;
}

}  // namespace tolmix::p11
