#include "modules/gmEngine/KeyMethods.h"

#include <cstring>
#include <mutex>
#include <utility>

#include <openssl/ecdsa.h>

#include "modules/gmEngine/EngineErrors.h"
#include "modules/gmEngine/Sm2Sign.h"

namespace tolmix::gm {
namespace {

// Device key of each live EC_KEY made with a device.  Kept here rather than
// in EC_KEY ex_data: an ex_data index of the module would outlive it.
std::mutex g_keys_mutex;
std::vector<std::pair<const EC_KEY*, std::shared_ptr<DeviceKey>>> g_keys;

std::shared_ptr<DeviceKey> DeviceOf(const EC_KEY* ec) {
  std::lock_guard lock(g_keys_mutex);
  for (auto& [key, device] : g_keys) {
    if (key == ec) return device;
  }
  return nullptr;
}

bool Attach(const EC_KEY* ec, std::shared_ptr<DeviceKey> device) {
  try {
    std::lock_guard lock(g_keys_mutex);
    g_keys.emplace_back(ec, std::move(device));
    return true;
  } catch (...) {
    return false;
  }
}

void KeyFinish(EC_KEY* ec) {
  std::shared_ptr<DeviceKey> last;  // closed outside the lock
  std::lock_guard lock(g_keys_mutex);
  for (auto it = g_keys.begin(); it != g_keys.end(); ++it) {
    if (it->first == ec) {
      last = std::move(it->second);
      g_keys.erase(it);
      break;
    }
  }
}

// EC_KEY_copy / EC_KEY_dup: the copy shares the device key.
int KeyCopy(EC_KEY* dest, const EC_KEY* src) {
  std::shared_ptr<DeviceKey> device = DeviceOf(src);
  return !device || Attach(dest, std::move(device)) ? 1 : 0;
}

std::vector<unsigned char> PointOf(const EC_KEY* ec) {
  const EC_GROUP* group = EC_KEY_get0_group(ec);
  const EC_POINT* pub = EC_KEY_get0_public_key(ec);
  if (!group || !pub) return {};
  std::vector<unsigned char> point(
      EC_POINT_point2oct(group, pub, POINT_CONVERSION_UNCOMPRESSED, nullptr, 0, nullptr));
  if (point.empty() || EC_POINT_point2oct(group, pub, POINT_CONVERSION_UNCOMPRESSED, point.data(),
                                          point.size(), nullptr) != point.size()) {
    return {};
  }
  return point;
}

ECDSA_SIG* SignSig(const unsigned char* dgst, int dlen, const BIGNUM*, const BIGNUM*,
                   EC_KEY* ec) {
  std::shared_ptr<DeviceKey> device = DeviceOf(ec);
  if (!device) {
    RaiseError(kReasonNoDeviceKey, "signing needs a key from ENGINE_load_private_key");
    return nullptr;
  }
  unsigned char e[32];
  if (dlen < 0 || !Sm2SignedValue(device->sign_point, dgst, static_cast<size_t>(dlen), e)) {
    RaiseError(kReasonNotSm2, "the container has no SM2 signature certificate");
    return nullptr;
  }
  return device->SignE(e);
}

// Writes S (freed here) as DER into SIG, which the caller sized with
// ECDSA_size, the longest DER form.  The length, or 0 with nothing written.
size_t TakeDerSignature(ECDSA_SIG* s, unsigned char* sig) {
  if (!s) return 0;
  unsigned char* p = sig;
  const int n = i2d_ECDSA_SIG(s, &p);
  ECDSA_SIG_free(s);
  return n > 0 ? static_cast<size_t>(n) : 0;
}

int Sign(int, const unsigned char* dgst, int dlen, unsigned char* sig, unsigned int* siglen,
         const BIGNUM* kinv, const BIGNUM* r, EC_KEY* ec) {
  const size_t n = TakeDerSignature(SignSig(dgst, dlen, kinv, r, ec), sig);
  if (n == 0) return 0;
  *siglen = static_cast<unsigned int>(n);
  return 1;
}

int Verify(int, const unsigned char* dgst, int dlen, const unsigned char* sig, int siglen,
           EC_KEY* ec) {
  if (dlen < 0 || siglen < 0) return -1;
  return Sm2VerifyMessage(PointOf(ec), dgst, static_cast<size_t>(dlen), sig,
                          static_cast<size_t>(siglen));
}

int VerifySig(const unsigned char* dgst, int dlen, const ECDSA_SIG* sig, EC_KEY* ec) {
  unsigned char* der = nullptr;
  int n = i2d_ECDSA_SIG(sig, &der);
  if (n <= 0) return -1;
  int rv = Verify(0, dgst, dlen, der, n, ec);
  OPENSSL_free(der);
  return rv;
}

// EVP_PKEY_METHOD decrypt: OUT null asks for a size; the ciphertext's
// length bounds the plaintext (SM2 adds C1 and C3 to it).
int Decrypt(EVP_PKEY_CTX* ctx, unsigned char* out, size_t* outlen, const unsigned char* in,
            size_t inlen) {
  const EC_KEY* ec = EVP_PKEY_get0_EC_KEY(EVP_PKEY_CTX_get0_pkey(ctx));
  std::shared_ptr<DeviceKey> device = ec ? DeviceOf(ec) : nullptr;
  if (!device) {
    RaiseError(kReasonNoDeviceKey, "decryption needs a key from ENGINE_load_private_key");
    return 0;
  }
  if (!out) {
    *outlen = inlen;
    return 1;
  }
  return device->Decrypt(in, inlen, out, outlen) ? 1 : 0;
}

// EVP_PKEY_METHOD encrypt: with the key's public point, in software.
// (OpenSSL 3.0 also insists on an encrypt function before it runs a legacy
// method's decrypt.)
int Encrypt(EVP_PKEY_CTX* ctx, unsigned char* out, size_t* outlen, const unsigned char* in,
            size_t inlen) {
  const EC_KEY* ec = EVP_PKEY_get0_EC_KEY(EVP_PKEY_CTX_get0_pkey(ctx));
  std::vector<unsigned char> point = ec ? PointOf(ec) : std::vector<unsigned char>();
  return !point.empty() && Sm2Encrypt(point, in, inlen, out, outlen) ? 1 : 0;
}

int (*g_builtin_ctrl)(EVP_PKEY_CTX*, int, int, void*) = nullptr;
int (*g_builtin_sign)(EVP_PKEY_CTX*, unsigned char*, size_t*, const unsigned char*,
                      size_t) = nullptr;
int (*g_builtin_verify)(EVP_PKEY_CTX*, const unsigned char*, size_t, const unsigned char*,
                        size_t) = nullptr;

bool IsSm3(const EVP_MD* md) { return md && EVP_MD_get_type(md) == NID_sm3; }

// True when CTX signs or verifies with SM3: then the value it is handed is
// e = SM3(Z || M), made by DigestCustom below.
bool TakesE(EVP_PKEY_CTX* ctx) {
  const EVP_MD* md = nullptr;
  return EVP_PKEY_CTX_get_signature_md(ctx, &md) > 0 && IsSm3(md);
}

// EVP_PKEY_METHOD digest_custom, run by EVP_DigestSign / EVP_DigestVerify
// before the first data: with SM3, the digest starts with the key's Z, so
// that the sign and verify functions receive e = SM3(Z || M), the SM2
// signature of M that GM verifiers check.  Other digests are left alone.
int DigestCustom(EVP_PKEY_CTX* ctx, EVP_MD_CTX* mctx) {
  if (!IsSm3(EVP_MD_CTX_get0_md(mctx))) return 1;
  const EC_KEY* ec = EVP_PKEY_get0_EC_KEY(EVP_PKEY_CTX_get0_pkey(ctx));
  unsigned char z[32];
  if (!ec || !Sm2IdentityHash(PointOf(ec), z)) {
    RaiseError(kReasonNotSm2, "the public key is not a point of the SM2 curve");
    return 0;
  }
  return EVP_DigestUpdate(mctx, z, sizeof z) ? 1 : 0;
}

// EVP_PKEY_METHOD sign: with SM3, TBS is e and goes to the device as it
// is; any other digest takes the EC route (SignSig: e = SM3(Z || digest)).
int PkeySign(EVP_PKEY_CTX* ctx, unsigned char* sig, size_t* siglen, const unsigned char* tbs,
             size_t tbslen) {
  if (!TakesE(ctx)) return g_builtin_sign ? g_builtin_sign(ctx, sig, siglen, tbs, tbslen) : -2;
  const EC_KEY* ec = EVP_PKEY_get0_EC_KEY(EVP_PKEY_CTX_get0_pkey(ctx));
  const int max = ec ? ECDSA_size(ec) : 0;
  if (max <= 0) return 0;
  if (!sig) {
    *siglen = static_cast<size_t>(max);
    return 1;
  }
  std::shared_ptr<DeviceKey> device = DeviceOf(ec);
  if (!device) {
    RaiseError(kReasonNoDeviceKey, "signing needs a key from ENGINE_load_private_key");
    return 0;
  }
  if (tbslen != 32 || *siglen < static_cast<size_t>(max)) {
    RaiseError(kReasonInternal, "an SM3 signature signs 32 bytes into ECDSA_size bytes");
    return 0;
  }
  unsigned char e[32];
  memcpy(e, tbs, sizeof e);
  const size_t n = TakeDerSignature(device->SignE(e), sig);
  if (n == 0) return 0;
  *siglen = n;
  return 1;
}

// EVP_PKEY_METHOD verify: the counterpart of PkeySign, in software.
int PkeyVerify(EVP_PKEY_CTX* ctx, const unsigned char* sig, size_t siglen,
               const unsigned char* tbs, size_t tbslen) {
  if (!TakesE(ctx)) {
    return g_builtin_verify ? g_builtin_verify(ctx, sig, siglen, tbs, tbslen) : -2;
  }
  const EC_KEY* ec = EVP_PKEY_get0_EC_KEY(EVP_PKEY_CTX_get0_pkey(ctx));
  if (!ec || tbslen != 32) return -1;
  unsigned char e[32];
  memcpy(e, tbs, sizeof e);
  return Sm2VerifyE(PointOf(ec), e, sig, siglen);
}

// PKCS#7 announces a content-key wrap or unwrap through these controls; the
// built-in EC method does not know them.
int Ctrl(EVP_PKEY_CTX* ctx, int type, int p1, void* p2) {
  if (type == EVP_PKEY_CTRL_PKCS7_ENCRYPT || type == EVP_PKEY_CTRL_PKCS7_DECRYPT) return 1;
  return g_builtin_ctrl ? g_builtin_ctrl(ctx, type, p1, p2) : -2;
}

}  // namespace

EC_KEY_METHOD* NewEcKeyMethod() {
  EC_KEY_METHOD* m = EC_KEY_METHOD_new(EC_KEY_OpenSSL());
  if (!m) return nullptr;
  int (*init)(EC_KEY*) = nullptr;
  void (*finish)(EC_KEY*) = nullptr;
  int (*copy)(EC_KEY*, const EC_KEY*) = nullptr;
  int (*set_group)(EC_KEY*, const EC_GROUP*) = nullptr;
  int (*set_private)(EC_KEY*, const BIGNUM*) = nullptr;
  int (*set_public)(EC_KEY*, const EC_POINT*) = nullptr;
  EC_KEY_METHOD_get_init(m, &init, &finish, &copy, &set_group, &set_private, &set_public);
  EC_KEY_METHOD_set_init(m, init, KeyFinish, KeyCopy, set_group, set_private, set_public);
  // No sign_setup: a device key has no nonce to prepare outside the device.
  EC_KEY_METHOD_set_sign(m, Sign, nullptr, SignSig);
  EC_KEY_METHOD_set_verify(m, Verify, VerifySig);
  return m;
}

EVP_PKEY_METHOD* NewEcPkeyMethod() {
  const EVP_PKEY_METHOD* builtin = EVP_PKEY_meth_find(EVP_PKEY_EC);
  EVP_PKEY_METHOD* m = builtin ? EVP_PKEY_meth_new(EVP_PKEY_EC, 0) : nullptr;
  if (!m) return nullptr;
  EVP_PKEY_meth_copy(m, builtin);
  int (*ctrl)(EVP_PKEY_CTX*, int, int, void*) = nullptr;
  int (*ctrl_str)(EVP_PKEY_CTX*, const char*, const char*) = nullptr;
  EVP_PKEY_meth_get_ctrl(builtin, &ctrl, &ctrl_str);
  g_builtin_ctrl = ctrl;  // the same function for every load of libcrypto
  EVP_PKEY_meth_set_ctrl(m, Ctrl, ctrl_str);
  int (*sign_init)(EVP_PKEY_CTX*) = nullptr;
  int (*verify_init)(EVP_PKEY_CTX*) = nullptr;
  EVP_PKEY_meth_get_sign(builtin, &sign_init, &g_builtin_sign);
  EVP_PKEY_meth_get_verify(builtin, &verify_init, &g_builtin_verify);
  EVP_PKEY_meth_set_sign(m, sign_init, PkeySign);
  EVP_PKEY_meth_set_verify(m, verify_init, PkeyVerify);
  EVP_PKEY_meth_set_digest_custom(m, DigestCustom);
  EVP_PKEY_meth_set_encrypt(m, nullptr, Encrypt);
  EVP_PKEY_meth_set_decrypt(m, nullptr, Decrypt);
  return m;
}

ossl::Ptr<EVP_PKEY> MakeEngineKey(ENGINE* e, const std::vector<unsigned char>& point,
                                  std::shared_ptr<DeviceKey> device) {
  ossl::Ptr<EVP_PKEY> pkey(EVP_PKEY_new());
  EC_KEY* ec = EC_KEY_new_method(e);
  // Assigned before the group is set: with the SM2 group already in place,
  // OpenSSL 3.0 would make the key SM2-typed.
  if (!pkey || !ec || !EVP_PKEY_assign(pkey.get(), EVP_PKEY_EC, ec)) {
    EC_KEY_free(ec);
    RaiseError(kReasonInternal, "out of memory");
    return nullptr;
  }
  EC_GROUP* group = EC_GROUP_new_by_curve_name(NID_sm2);
  EC_POINT* pub = group ? EC_POINT_new(group) : nullptr;
  bool ok = pub && EC_KEY_set_group(ec, group) &&
            EC_POINT_oct2point(group, pub, point.data(), point.size(), nullptr) &&
            EC_KEY_set_public_key(ec, pub);
  EC_POINT_free(pub);
  EC_GROUP_free(group);
  if (!ok) {
    RaiseError(kReasonNotSm2, "the public key is not a point of the SM2 curve");
    return nullptr;
  }
  // Every key, public ones too, runs its EVP_PKEY_CTXs through the
  // engine's EVP_PKEY_METHOD (SM3 signatures need its digest_custom).
  if ((device && !Attach(ec, std::move(device))) || !EVP_PKEY_set1_engine(pkey.get(), e)) {
    RaiseError(kReasonInternal, "cannot attach the device key");
    return nullptr;
  }
  return pkey;
}

}  // namespace tolmix::gm
