#include "platform/Pfx.h"

#include <openssl/err.h>
#include <openssl/pkcs12.h>
#include <openssl/provider.h>
#include <openssl/x509.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/CodePage.h"

namespace tolmix::platform {
namespace {

struct SafesFree {
  void operator()(STACK_OF(PKCS7)* p) const noexcept { sk_PKCS7_pop_free(p, PKCS7_free); }
};
struct BagsFree {
  void operator()(STACK_OF(PKCS12_SAFEBAG)* p) const noexcept {
    sk_PKCS12_SAFEBAG_pop_free(p, PKCS12_SAFEBAG_free);
  }
};
using Bags = std::unique_ptr<STACK_OF(PKCS12_SAFEBAG), BagsFree>;

// Nesting of safeContents bags that we follow; real files use none.
constexpr int kMaxBagDepth = 4;

// Iteration counts above this (MAC, PKCS#12 PBE, PBKDF2) are refused before
// any key is derived: each iteration is one hash, and every password
// candidate pays them again, so 2^31-1 keeps a call busy for minutes.  Real
// files use 2048 (OpenSSL 3's default, the sandbox's), 2000 (Windows' and
// OpenSSL 1.0's), 10000 (Java's keytool) or at most some 10^5; see
// docs/certificates.md.
constexpr long kMaxPfxIterations = 1000000;
// ... and their sum over the MAC and every encrypted part: each part is
// tried with every candidate, so a file of many parts, each within the cap,
// would still add up without bound (a 2 KB file of 20 parts at 1,000,000
// took 20 s).  Real files have a MAC and one encrypted part.
constexpr int64_t kMaxPfxWork = 2 * int64_t{kMaxPfxIterations};
// scrypt in PBES2: cost N, block size r and parallelism p at most these
// (N = 2^20 with r = 8 already takes a second and 1 GiB).
constexpr uint64_t kMaxScryptN = uint64_t{1} << 20;
constexpr uint64_t kMaxScryptR = 8;
constexpr uint64_t kMaxScryptP = 1;

template <class T, void (*Free)(T*)>
struct FreeWith {
  void operator()(T* p) const noexcept { Free(p); }
};
template <class T, void (*Free)(T*)>
using Owned = std::unique_ptr<T, FreeWith<T, Free>>;

template <class T, void (*Free)(T*)>
Owned<T, Free> Unpack(const ASN1_ITEM* item, const ASN1_TYPE* parameter) {
  return Owned<T, Free>(parameter ? static_cast<T*>(ASN1_TYPE_unpack_sequence(item, parameter))
                                  : nullptr);
}

// An iteration count within the cap (an absent one counts as 1), added to
// *WORK.
bool IterationsWithinCap(const ASN1_INTEGER* iter, int64_t* work) {
  int64_t n = 1;
  if (iter != nullptr &&
      (ASN1_INTEGER_get_int64(&n, iter) != 1 || n < 0 || n > kMaxPfxIterations)) {
    return false;
  }
  *work += n;
  return true;
}

// scrypt at its largest allowed cost counts as a derivation at the
// iteration cap (it takes longer still), smaller costs in proportion.
bool ScryptWithinCap(const ASN1_TYPE* parameter, int64_t* work) {
  auto sp = Unpack<SCRYPT_PARAMS, SCRYPT_PARAMS_free>(ASN1_ITEM_rptr(SCRYPT_PARAMS), parameter);
  uint64_t n = 0, r = 0, p = 0;
  if (!(sp && ASN1_INTEGER_get_uint64(&n, sp->costParameter) == 1 &&
        ASN1_INTEGER_get_uint64(&r, sp->blockSize) == 1 &&
        ASN1_INTEGER_get_uint64(&p, sp->parallelizationParameter) == 1 && n <= kMaxScryptN &&
        r <= kMaxScryptR && p <= kMaxScryptP)) {
    return false;
  }
  *work += static_cast<int64_t>(
      std::max<uint64_t>(1, n * r * p * kMaxPfxIterations / (kMaxScryptN * kMaxScryptR)));
  return true;
}

// The key derivation of an encrypted part within the cap: PKCS#12 PBE
// (PBEPARAM) or PBES2 with PBKDF2 or scrypt.  Other schemes OpenSSL does not
// run anyway.
bool KeyDerivationWithinCap(const X509_ALGOR* algorithm, int64_t* work) {
  if (algorithm == nullptr || algorithm->parameter == nullptr) return true;
  const int nid = OBJ_obj2nid(algorithm->algorithm);
  if (nid == NID_pbes2) {
    auto pbe2 = Unpack<PBE2PARAM, PBE2PARAM_free>(ASN1_ITEM_rptr(PBE2PARAM), algorithm->parameter);
    if (!pbe2 || !pbe2->keyfunc) return false;
    const int kdf = OBJ_obj2nid(pbe2->keyfunc->algorithm);
    if (kdf == NID_id_scrypt) return ScryptWithinCap(pbe2->keyfunc->parameter, work);
    if (kdf != NID_id_pbkdf2) return true;
    auto kdf2 = Unpack<PBKDF2PARAM, PBKDF2PARAM_free>(ASN1_ITEM_rptr(PBKDF2PARAM),
                                                      pbe2->keyfunc->parameter);
    return kdf2 && IterationsWithinCap(kdf2->iter, work);
  }
  if (algorithm->parameter->type != V_ASN1_SEQUENCE) return true;
  auto pbe = Unpack<PBEPARAM, PBEPARAM_free>(ASN1_ITEM_rptr(PBEPARAM), algorithm->parameter);
  return !pbe || IterationsWithinCap(pbe->iter, work);
}

// Every count the import would run -- the MAC's and each encrypted part's --
// within the cap, and their sum within kMaxPfxWork.  (Shrouded key bags are
// never decrypted here.)
bool WorkWithinCap(const PKCS12* p12) {
  int64_t work = 0;
  if (PKCS12_mac_present(p12) == 1) {
    const ASN1_INTEGER* iter = nullptr;
    PKCS12_get0_mac(nullptr, nullptr, nullptr, &iter, p12);
    if (!IterationsWithinCap(iter, &work)) return false;
  }
  std::unique_ptr<STACK_OF(PKCS7), SafesFree> safes(PKCS12_unpack_authsafes(p12));
  for (int i = 0; safes && i < sk_PKCS7_num(safes.get()); ++i) {
    const PKCS7* p7 = sk_PKCS7_value(safes.get(), i);
    if (OBJ_obj2nid(p7->type) == NID_pkcs7_encrypted && p7->d.encrypted != nullptr &&
        p7->d.encrypted->enc_data != nullptr &&
        !KeyDerivationWithinCap(p7->d.encrypted->enc_data->algorithm, &work)) {
      return false;
    }
    if (work > kMaxPfxWork) return false;
  }
  return work <= kMaxPfxWork;
}

// A library context of its own with the default and legacy providers, so
// that old files (RC2, 40-bit; OpenSSL 1.0 had them built in) decrypt
// without changing the process-wide default context.  Made when an import
// first meets an encrypted part and freed, with its providers, when that
// import is done: nothing outlives the call, so a host that unloads the
// server loses nothing.
class LegacyContext {
 public:
  LegacyContext() = default;
  LegacyContext(const LegacyContext&) = delete;
  LegacyContext& operator=(const LegacyContext&) = delete;
  ~LegacyContext() {
    if (legacy_) OSSL_PROVIDER_unload(legacy_);
    if (default_) OSSL_PROVIDER_unload(default_);
    OSSL_LIB_CTX_free(ctx_);
  }
  OSSL_LIB_CTX* Get() {
    if (ctx_ == nullptr && (ctx_ = OSSL_LIB_CTX_new()) != nullptr) {
      default_ = OSSL_PROVIDER_load(ctx_, "default");
      legacy_ = OSSL_PROVIDER_load(ctx_, "legacy");  // optional: absent on some installs
    }
    return ctx_;
  }

 private:
  OSSL_LIB_CTX* ctx_ = nullptr;
  OSSL_PROVIDER* default_ = nullptr;
  OSSL_PROVIDER* legacy_ = nullptr;
};

// One password as handed to OpenSSL: UTF-8 text, or none at all.
struct Password {
  bool absent = false;
  std::string utf8;
  const char* data() const { return absent ? nullptr : utf8.c_str(); }
  int size() const { return absent ? 0 : static_cast<int>(utf8.size()); }
};

std::vector<Password> Candidates(std::string_view gbk) {
  std::vector<Password> list;
  std::string utf8;
  if (GbkToUtf8(gbk, &utf8)) list.push_back({false, utf8});

  bool high = false;
  std::string bytes;  // each byte as the character U+0000..U+00FF, in UTF-8
  for (char ch : gbk) {
    unsigned char c = static_cast<unsigned char>(ch);
    if (c < 0x80) {
      bytes.push_back(ch);
    } else {
      high = true;
      bytes.push_back(static_cast<char>(0xC0 | (c >> 6)));
      bytes.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  if (high) {
    // OpenSSL 3 reads text that is no UTF-8 as one character per byte when
    // it makes the BMPString, and hands the bytes unchanged to PBKDF2 in
    // PBES2 files: so the raw bytes open files of both kinds written with
    // raw bytes.  The explicit per-byte form covers raw-byte passwords that
    // happen to be valid UTF-8 as well.
    list.push_back({false, std::string(gbk)});
    list.push_back({false, bytes});
  }
  if (gbk.empty()) list.push_back({true, std::string()});
  return list;
}

// The first certificate of BAGS in order, following nested safeContents.
std::optional<Certificate> FirstCertificate(const STACK_OF(PKCS12_SAFEBAG)* bags, int depth) {
  for (int i = 0; i < sk_PKCS12_SAFEBAG_num(bags); ++i) {
    const PKCS12_SAFEBAG* bag = sk_PKCS12_SAFEBAG_value(bags, i);
    int nid = PKCS12_SAFEBAG_get_nid(bag);
    if (nid == NID_certBag && PKCS12_SAFEBAG_get_bag_nid(bag) == NID_x509Certificate) {
      // Re-encoding gives back the bag's DER: OpenSSL keeps the encoding
      // of the signed part and writes the rest in DER.
      ossl::Ptr<X509> x(PKCS12_SAFEBAG_get1_cert(bag));
      return Certificate::FromX509(x.get());
    }
    if (nid == NID_safeContentsBag && depth < kMaxBagDepth) {
      std::optional<Certificate> c = FirstCertificate(PKCS12_SAFEBAG_get0_safes(bag), depth + 1);
      if (c) return c;
    }
  }
  return std::nullopt;
}

// Walks the authenticated safe with password PASS.  Encrypted contents that
// do not decrypt with it are skipped: a file may hold them besides the ones
// we can read, and a wrong password is caught by the MAC before this runs.
std::optional<Certificate> FindFirst(const PKCS12* p12, const Password& pass,
                                     LegacyContext* context) {
  std::unique_ptr<STACK_OF(PKCS7), SafesFree> safes(PKCS12_unpack_authsafes(p12));
  if (!safes) return std::nullopt;
  for (int i = 0; i < sk_PKCS7_num(safes.get()); ++i) {
    PKCS7* p7 = sk_PKCS7_value(safes.get(), i);
    Bags bags;
    switch (OBJ_obj2nid(p7->type)) {
      case NID_pkcs7_data:
        bags.reset(PKCS12_unpack_p7data(p7));
        break;
      case NID_pkcs7_encrypted:
        if (p7->d.encrypted == nullptr || p7->d.encrypted->enc_data == nullptr) break;
        bags.reset(static_cast<STACK_OF(PKCS12_SAFEBAG)*>(PKCS12_item_decrypt_d2i_ex(
            p7->d.encrypted->enc_data->algorithm, ASN1_ITEM_rptr(PKCS12_SAFEBAGS), pass.data(),
            pass.size(), p7->d.encrypted->enc_data->enc_data, 1, context->Get(), nullptr)));
        break;
      default:
        break;  // enveloped (public-key) privacy: not supported
    }
    if (!bags) continue;
    std::optional<Certificate> c = FirstCertificate(bags.get(), 0);
    if (c) return c;
  }
  return std::nullopt;
}

}  // namespace

std::optional<Certificate> ImportPfxFirstCertificate(const unsigned char* image, size_t size,
                                                     std::string_view password) {
  if (image == nullptr || size == 0 || size > static_cast<size_t>(INT_MAX)) return std::nullopt;
  const unsigned char* p = image;
  ossl::Ptr<PKCS12> p12(d2i_PKCS12(nullptr, &p, static_cast<long>(size)));
  if (!p12) return std::nullopt;
  if (!WorkWithinCap(p12.get())) {
    ERR_clear_error();
    return std::nullopt;
  }

  bool mac = PKCS12_mac_present(p12.get()) == 1;
  std::optional<Certificate> found;
  LegacyContext context;
  for (const Password& pass : Candidates(password)) {
    if (mac && PKCS12_verify_mac(p12.get(), pass.data(), pass.size()) != 1) continue;
    found = FindFirst(p12.get(), pass, &context);
    if (found) break;
  }
  ERR_clear_error();  // failed tries leave entries that later calls must not see
  return found;
}

}  // namespace tolmix::platform
