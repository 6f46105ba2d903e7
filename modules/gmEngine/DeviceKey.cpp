#include "modules/gmEngine/DeviceKey.h"

#include <cstring>

#include <openssl/bn.h>
#include <openssl/core_names.h>

#include "modules/gmEngine/EngineErrors.h"
#include "platform/Certificate.h"
#include "platform/Env.h"
#include "platform/NameFormatter.h"
#include "util/IniReader.h"

namespace tolmix::gm {
namespace {

// A library path longer than this is not tried (the system's own limit).
constexpr size_t kMaxLibraryPath = 255;
// The system keeps the display name in 512 bytes, NUL included.
constexpr size_t kMaxNameBytes = 511;
constexpr ULONG kListSize = 1024;
constexpr size_t kSm2PointSize = 65;

template <class F>
bool Resolve(const platform::DynamicLibrary& lib, const char* name, F* out) {
  *out = lib.Resolve<F>(name);
  return *out != nullptr;
}

bool ResolveAll(const platform::DynamicLibrary& lib, SkfFunctions* fn) {
  fn->EccDecryptDer = lib.Resolve<decltype(fn->EccDecryptDer)>("SKFX_ECCDecryptDer");
  return Resolve(lib, "SKF_EnumDev", &fn->EnumDev) &&
         Resolve(lib, "SKF_ConnectDev", &fn->ConnectDev) &&
         Resolve(lib, "SKF_DisConnectDev", &fn->DisConnectDev) &&
         Resolve(lib, "SKF_EnumApplication", &fn->EnumApplication) &&
         Resolve(lib, "SKF_OpenApplication", &fn->OpenApplication) &&
         Resolve(lib, "SKF_CloseApplication", &fn->CloseApplication) &&
         Resolve(lib, "SKF_VerifyPIN", &fn->VerifyPIN) &&
         Resolve(lib, "SKF_ClearSecureState", &fn->ClearSecureState) &&
         Resolve(lib, "SKF_EnumContainer", &fn->EnumContainer) &&
         Resolve(lib, "SKF_OpenContainer", &fn->OpenContainer) &&
         Resolve(lib, "SKF_CloseContainer", &fn->CloseContainer) &&
         Resolve(lib, "SKF_ExportCertificate", &fn->ExportCertificate) &&
         Resolve(lib, "SKF_ECCSignData", &fn->ECCSignData);
}

// First name of an SKF name list of SIZE bytes ("" when empty).
std::string FirstName(const char* list, ULONG size) {
  return size > 1 ? std::string(list, strnlen(list, size)) : std::string();
}

std::vector<std::string> SplitNames(const std::vector<char>& list) {
  std::vector<std::string> out;
  size_t i = 0;
  while (i < list.size() && list[i] != '\0') {
    size_t n = strnlen(&list[i], list.size() - i);
    out.emplace_back(&list[i], n);
    i += n + 1;
  }
  return out;
}

// The container's signature (SIGN TRUE) or encryption certificate; null
// when it has none (any export failure counts as none).
ossl::Ptr<X509> ExportCert(const SkfFunctions& fn, HCONTAINER c, BOOL sign) {
  ULONG len = 0;
  if (fn.ExportCertificate(c, sign, nullptr, &len) != SAR_OK || len == 0) return nullptr;
  std::vector<BYTE> der(len);
  if (fn.ExportCertificate(c, sign, der.data(), &len) != SAR_OK || len > der.size()) return nullptr;
  const unsigned char* p = der.data();
  return ossl::Ptr<X509>(d2i_X509(nullptr, &p, static_cast<long>(len)));
}

bool NameMatches(X509* cert, const char* name) {
  auto c = platform::Certificate::FromX509(cert);
  if (!c) return false;
  std::string display = c->SimpleDisplayName();
  return platform::CutGbk(display, kMaxNameBytes) == name;
}

}  // namespace

std::vector<unsigned char> Sm2PointOf(X509* cert) {
  EVP_PKEY* pk = cert ? X509_get0_pubkey(cert) : nullptr;
  if (!pk || !(EVP_PKEY_is_a(pk, "SM2") || EVP_PKEY_is_a(pk, "EC"))) return {};
  char group[64] = {};
  size_t group_len = 0;
  if (!EVP_PKEY_get_utf8_string_param(pk, OSSL_PKEY_PARAM_GROUP_NAME, group, sizeof group,
                                      &group_len) ||
      OBJ_sn2nid(group) != NID_sm2) {
    return {};
  }
  std::vector<unsigned char> point(kSm2PointSize);
  size_t len = 0;
  if (!EVP_PKEY_get_octet_string_param(pk, OSSL_PKEY_PARAM_ENCODED_PUBLIC_KEY, point.data(),
                                       point.size(), &len) ||
      len != kSm2PointSize || point[0] != 0x04) {
    return {};
  }
  return point;
}

bool DeviceSession::LoadFirstListedLibrary(std::string* device) {
  std::string systemDir;
  std::vector<std::string> names;
  try {
    systemDir = platform::SystemDir();
    names = ReadDeviceList(systemDir, kSkfDeviceListFile);
  } catch (...) {
    return false;
  }
  for (const std::string& name : names) {
    std::string path = SystemFilePath(systemDir, name.c_str());
    if (path.size() > kMaxLibraryPath || !library_.Load(path)) continue;
    SkfFunctions fn;
    char list[kListSize] = {};
    ULONG size = kListSize;
    if (ResolveAll(library_, &fn) && fn.EnumDev(TRUE, list, &size) == SAR_OK &&
        size <= kListSize && size > 1) {
      fn_ = fn;
      *device = FirstName(list, size);
      return true;
    }
    library_.Unload();
  }
  return false;
}

std::shared_ptr<DeviceSession> DeviceSession::Open(const char* pin) {
  if (!pin || !*pin) {
    RaiseError(kReasonNoPin, "no PIN in application-data slot 2");
    return nullptr;
  }
  std::shared_ptr<DeviceSession> s(new (std::nothrow) DeviceSession);
  if (!s) return nullptr;
  std::string device;
  if (!s->LoadFirstListedLibrary(&device)) {
    RaiseError(kReasonNoDevice, "no library of %s lists a device", kSkfDeviceListFile);
    return nullptr;
  }
  ULONG rv = s->fn_.ConnectDev(device.data(), &s->dev_);
  if (rv != SAR_OK) {
    s->dev_ = nullptr;
    RaiseError(kReasonDevice, "SKF_ConnectDev failed: SAR 0x%08X", rv);
    return nullptr;
  }
  char apps[kListSize] = {};
  ULONG size = kListSize;
  rv = s->fn_.EnumApplication(s->dev_, apps, &size);
  std::string app = rv == SAR_OK && size <= kListSize ? FirstName(apps, size) : std::string();
  if (app.empty()) {
    RaiseError(kReasonDevice, "SKF_EnumApplication failed: SAR 0x%08X", rv);
    return nullptr;
  }
  rv = s->fn_.OpenApplication(s->dev_, app.data(), &s->app_);
  if (rv != SAR_OK) {
    s->app_ = nullptr;
    RaiseError(kReasonDevice, "SKF_OpenApplication failed: SAR 0x%08X", rv);
    return nullptr;
  }
  std::string pin_copy(pin);
  ULONG retries = 0;
  rv = s->fn_.VerifyPIN(s->app_, USER_TYPE, pin_copy.data(), &retries);
  OPENSSL_cleanse(pin_copy.data(), pin_copy.size());
  if (rv != SAR_OK) {
    RaiseError(kReasonPinRefused, "SKF_VerifyPIN refused: SAR 0x%08X, %u tries left", rv,
               static_cast<unsigned>(retries));
    return nullptr;
  }
  return s;
}

DeviceSession::~DeviceSession() {
  if (app_) {
    fn_.ClearSecureState(app_);
    fn_.CloseApplication(app_);
  }
  if (dev_) fn_.DisConnectDev(dev_);
}

DeviceKey::DeviceKey(std::shared_ptr<DeviceSession> session, HCONTAINER container)
    : session_(std::move(session)), container_(container) {}

DeviceKey::~DeviceKey() {
  std::lock_guard lock(session_->Mutex());
  session_->Fn().CloseContainer(container_);
}

ECDSA_SIG* DeviceKey::SignE(const unsigned char (&e)[32]) {
  ECCSIGNATUREBLOB blob{};
  unsigned char in[32];
  memcpy(in, e, sizeof in);
  ULONG rv;
  {
    std::lock_guard lock(session_->Mutex());
    rv = session_->Fn().ECCSignData(container_, in, sizeof in, &blob);
  }
  if (rv != SAR_OK) {
    RaiseError(kReasonDevice, "SKF_ECCSignData failed: SAR 0x%08X", rv);
    return nullptr;
  }
  // r and s are right-aligned in their 64-byte fields.
  constexpr size_t kField = sizeof blob.r, kHalf = 32;
  ossl::Ptr<BIGNUM> r(BN_bin2bn(blob.r + kField - kHalf, kHalf, nullptr));
  ossl::Ptr<BIGNUM> s(BN_bin2bn(blob.s + kField - kHalf, kHalf, nullptr));
  ECDSA_SIG* sig = ECDSA_SIG_new();
  if (!r || !s || !sig || !ECDSA_SIG_set0(sig, r.get(), s.get())) {
    ECDSA_SIG_free(sig);
    RaiseError(kReasonInternal, "out of memory");
    return nullptr;
  }
  r.release();
  s.release();
  return sig;
}

bool DeviceKey::Decrypt(const unsigned char* in, size_t in_len, unsigned char* out,
                        size_t* out_len) {
  const SkfFunctions& fn = session_->Fn();
  if (!fn.EccDecryptDer) {
    RaiseError(kReasonDevice, "the device library has no SKFX_ECCDecryptDer");
    return false;
  }
  if (in_len > 0xFFFFFFFFu || *out_len > 0xFFFFFFFFu) return false;
  std::vector<BYTE> cipher(in, in + in_len);
  ULONG len = static_cast<ULONG>(*out_len);
  BOOL with_sign_pair = enc_point.empty() ? TRUE : FALSE;
  ULONG rv;
  {
    std::lock_guard lock(session_->Mutex());
    rv = fn.EccDecryptDer(container_, with_sign_pair, cipher.data(),
                          static_cast<ULONG>(cipher.size()), out, &len);
  }
  if (rv != SAR_OK) {
    RaiseError(kReasonDevice, "SKFX_ECCDecryptDer failed: SAR 0x%08X", rv);
    return false;
  }
  *out_len = len;
  return true;
}

std::shared_ptr<DeviceKey> FindKeyByDisplayName(const char* pin, const char* name) {
  if (!name) name = "";
  std::shared_ptr<DeviceSession> session = DeviceSession::Open(pin);
  if (!session) return nullptr;
  const SkfFunctions& fn = session->Fn();
  ULONG size = 0;
  ULONG rv = fn.EnumContainer(session->Application(), nullptr, &size);
  std::vector<char> list(size > 1 ? size : 1, '\0');
  if (rv == SAR_OK && size > 1) {
    rv = fn.EnumContainer(session->Application(), list.data(), &size);
  }
  if (rv != SAR_OK) {
    RaiseError(kReasonDevice, "SKF_EnumContainer failed: SAR 0x%08X", rv);
    return nullptr;
  }
  list.resize(size <= list.size() ? size : list.size());
  for (std::string& container : SplitNames(list)) {
    HCONTAINER h = nullptr;
    if (fn.OpenContainer(session->Application(), container.data(), &h) != SAR_OK) continue;
    ossl::Ptr<X509> sign = ExportCert(fn, h, TRUE);
    ossl::Ptr<X509> enc = ExportCert(fn, h, FALSE);
    std::vector<unsigned char> sign_point = Sm2PointOf(sign.get());
    std::vector<unsigned char> enc_point = Sm2PointOf(enc.get());
    bool match = (!sign_point.empty() && NameMatches(sign.get(), name)) ||
                 (!enc_point.empty() && NameMatches(enc.get(), name));
    if (!match) {
      fn.CloseContainer(h);
      continue;
    }
    auto key = std::make_shared<DeviceKey>(session, h);
    key->sign_point = std::move(sign_point);
    key->enc_point = std::move(enc_point);
    return key;
  }
  RaiseError(kReasonNoKey, "no SM2 certificate named \"%.128s\" on the device", name);
  return nullptr;
}

}  // namespace tolmix::gm
