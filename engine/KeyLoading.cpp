// KeySession: the user's certificate and private key -- the SKF probe that
// settles the interface, the three routes ("CSP", "SKF", "P11") and the
// certificate-only read.
#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <openssl/pem.h>
#include <openssl/x509.h>

#include "certs/CertSelectDlg.h"
#include "engine/KeySession.h"
#include "engine/EngineSlots.h"
#include "engine/PinRefusals.h"
#include "platform/Certificate.h"
#include "platform/NameFormatter.h"
#include "platform/Trace.h"
#include "skf/SKFDevice.h"
#include "util/FixedText.h"

namespace tolmix {
namespace {

constexpr char kCsp[] = "CSP";
constexpr char kSkf[] = "SKF";
constexpr char kP11[] = "P11";

constexpr char kCapiEngine[] = "capi";
constexpr char kGmEngine[] = "gmEngine";

// SM3 with SM2, compared as dotted text: OpenSSL 3 knows the OID and would
// print a long name where OpenSSL 1.0 printed the digits.
constexpr char kSm2SignatureOid[] = "1.2.156.10197.1.501";

// Tries of the SKF key's user PIN that a "P11" (or unnamed) call never
// spends while a PKCS#11 token is plugged in too: a PIN meant for the token
// is refused by the key, and each refusal counts towards locking it.  The
// PIN is presented only while more than this many tries remain.
constexpr ULONG kSkfTriesKept = 2;

// Buffers of the probe.
constexpr size_t kApplicationListSize = 1024;
constexpr ULONG kSkfCertSize = 4096;

// GBK messages.
// "加载设备失败!请确认是否插入USBKEY!"
constexpr char kMsgNoDevice[] =
    "\xBC\xD3\xD4\xD8\xC9\xE8\xB1\xB8\xCA\xA7\xB0\xDC!\xC7\xEB\xC8\xB7\xC8\xCF\xCA\xC7\xB7\xF1"
    "\xB2\xE5\xC8\xEBUSBKEY!";
// "打开设备失败!"
constexpr char kMsgOpenDevice[] = "\xB4\xF2\xBF\xAA\xC9\xE8\xB1\xB8\xCA\xA7\xB0\xDC!";
// "登录设备失败，口令是否正确,您还有%d次尝试机会!!!!!!"
constexpr char kMsgLogin[] =
    "\xB5\xC7\xC2\xBC\xC9\xE8\xB1\xB8\xCA\xA7\xB0\xDC\xA3\xAC\xBF\xDA\xC1\xEE\xCA\xC7\xB7\xF1"
    "\xD5\xFD\xC8\xB7,\xC4\xFA\xBB\xB9\xD3\xD0%d\xB4\xCE\xB3\xA2\xCA\xD4\xBB\xFA\xBB\xE1!!!!!!";
// "枚举容器失败!"
constexpr char kMsgEnumContainers[] = "\xC3\xB6\xBE\xD9\xC8\xDD\xC6\xF7\xCA\xA7\xB0\xDC!";
// "证书编码转换失败2[p7_ready]"
constexpr char kMsgProbeDecode[] =
    "\xD6\xA4\xCA\xE9\xB1\xE0\xC2\xEB\xD7\xAA\xBB\xBB\xCA\xA7\xB0\xDC" "2[p7_ready]";
// "证书编码转换失败3[p7_ready]"
constexpr char kMsgDecode[] =
    "\xD6\xA4\xCA\xE9\xB1\xE0\xC2\xEB\xD7\xAA\xBB\xBB\xCA\xA7\xB0\xDC" "3[p7_ready]";
// "加载私钥对象失败[p7_ready]"
constexpr char kMsgEngineKey[] = "\xBC\xD3\xD4\xD8\xCB\xBD\xD4\xBF\xB6\xD4\xCF\xF3\xCA\xA7\xB0\xDC[p7_ready]";
// "加载私钥对象失败!"
constexpr char kMsgP11Key[] = "\xBC\xD3\xD4\xD8\xCB\xBD\xD4\xBF\xB6\xD4\xCF\xF3\xCA\xA7\xB0\xDC!";
// "密码为空,请输入密码!" -- the PKCS#11 login's message for an empty PIN,
// which the "SKF" route gives too.
constexpr char kMsgEmptyPin[] =
    "\xC3\xDC\xC2\xEB\xCE\xAA\xBF\xD5,\xC7\xEB\xCA\xE4\xC8\xEB\xC3\xDC\xC2\xEB!";
// "加载证书对象失败!"
constexpr char kMsgP11Cert[] = "\xBC\xD3\xD4\xD8\xD6\xA4\xCA\xE9\xB6\xD4\xCF\xF3\xCA\xA7\xB0\xDC!";

bool Is(const char* field, const char* name) { return strcmp(field, name) == 0; }

// Writes CERT as PEM into OUT.  False, OUT emptied, when the text does not
// fit: a cut PEM would be a broken certificate.
template <size_t N>
bool WritePem(X509* cert, char (&out)[N]) noexcept {
  out[0] = '\0';
  ossl::Ptr<BIO> bio(BIO_new(BIO_s_mem()));
  if (!bio || !PEM_write_bio_X509(bio.get(), cert)) return false;
  char* text = nullptr;
  long len = BIO_get_mem_data(bio.get(), &text);
  if (len < 0 || static_cast<size_t>(len) >= N || (len > 0 && text == nullptr)) return false;
  CopyBounded(out, std::string_view(text, static_cast<size_t>(len)));
  return true;
}

}  // namespace

int KeySession::ProbeSkfCert() noexcept { return ProbeSkf(false, nullptr); }

int KeySession::ProbeSkf(bool certificateOnly, bool* pinRefused) noexcept try {
  if (pinRefused) *pinRefused = false;
  HoldDevices();
  CSKFDevice device;  // unloads the library on every return
  char path[CSKFDevice::kLibraryPathSize] = {};
  if (device.FindConfiguredLibrary(path) != 0) {
    platform::Trace("SKF probe: no library of GM_SKF.ini has a device present");
    SetError(kMsgNoDevice);
    return -1;
  }
  // The first device listed is used.  The list stays NUL-terminated: the
  // device layer copies a list only into a buffer larger than it.
  char applications[kApplicationListSize] = {};
  ULONG size = sizeof applications;
  if (device.ConnectAndListApplications(applications, &size, nullptr) != SAR_OK) {
    platform::Trace("SKF probe: the device of %s cannot be opened", path);
    SetError(kMsgOpenDevice);
    return -1;
  }
  if (device.OpenApplication(applications) != SAR_OK) {
    platform::Trace("SKF probe: application \"%s\" cannot be opened", applications);
    FormatError(kMsgLogin, static_cast<int>(device.PinRetryCount()));
    return -1;
  }

  // When the PIN is presented (docs/devices.md): never for a certificate
  // read, which needs no login, and never an empty PIN.  A key with no
  // tries left is not asked again.  A call that did not name "SKF" leaves
  // the key its last kSkfTriesKept tries when a PKCS#11 token is plugged in
  // too: the PIN may well be the token's, and the call then settles on
  // "P11" without presenting it here.
  if (!certificateOnly && m_szPin[0] != '\0') {
    ULONG left = 0;
    const bool known = device.GetPinRetriesLeft(USER_TYPE, &left) == SAR_OK;
    if (known && left == 0) {
      FormatError(kMsgLogin, 0);
      if (pinRefused) *pinRefused = true;
      return -1;
    }
    const bool skfNamed = Is(m_szInterfaceName, kSkf);
    // A PIN this key refused before is not presented again: a call that
    // named "SKF" ends with the key's message, any other passes the key
    // over (engine/PinRefusals.h).
    const std::string keyName = PinGuardSkfDevice(path, device.DeviceName());
    if (PinRefusalKnown(keyName, m_szPin)) {
      platform::Trace("SKF: %s refused this PIN before: not presented again", path);
      if (!skfNamed) return -1;
      FormatError(kMsgLogin, static_cast<int>(known ? left : device.PinRetryCount()));
      if (pinRefused) *pinRefused = true;
      return -1;
    }
    if (!skfNamed && !(known && left > kSkfTriesKept) && P11TokenPresent()) {
      platform::Trace("SKF probe: the PIN is not presented to the SKF key (%s tries left, a "
                      "PKCS#11 token is present): the call goes to P11",
                      known ? std::to_string(left).c_str() : "unknown");
      return -1;
    }
    if (device.VerifyPin(m_szPin, USER_TYPE) != SAR_OK) {
      FormatError(kMsgLogin, static_cast<int>(device.PinRetryCount()));
      if (pinRefused) *pinRefused = true;
      RememberPinRefusal(keyName, m_szPin);
      return -1;
    }
  }

  ULONG listSize = 0;
  if (device.EnumContainers(nullptr, &listSize) != SAR_OK) {
    SetError(kMsgEnumContainers);
    return -1;
  }
  std::vector<char> containers(static_cast<size_t>(listSize) + 1, '\0');  // + a NUL of ours
  if (device.EnumContainers(containers.data(), &listSize) != SAR_OK) {
    SetError(kMsgEnumContainers);
    return -1;
  }

  // The first container that exports a certificate of the key kind wins; it
  // stays open until the device object goes.  One that cannot be opened
  // ends the walk.
  const BOOL sign = m_nKeyKind == kSignatureKey ? TRUE : FALSE;
  const size_t end = std::min<size_t>(listSize, containers.size() - 1);
  bool found = false;
  for (size_t pos = 0; pos < end && containers[pos] != '\0';) {
    const char* name = &containers[pos];
    pos += strnlen(name, end - pos) + 1;
    if (device.CreateOrOpenContainer(name, true) != SAR_OK) break;
    unsigned char cert[kSkfCertSize] = {};
    ULONG certLen = kSkfCertSize;
    if (device.ExportCertificate(sign, cert, &certLen) == SAR_OK && certLen > 0 &&
        certLen <= kSkfCertSize) {
      memcpy(m_abCertDer, cert, certLen);
      m_nCertDerLen = static_cast<int32_t>(certLen);
      found = true;
      platform::Trace("SKF probe: container \"%s\" holds a %s certificate", name,
                      sign ? "signature" : "encryption");
      break;
    }
    platform::Trace("SKF probe: container \"%s\" passed over: no %s certificate", name,
                    sign ? "signature" : "encryption");
    device.CloseContainer();
  }

  // A certificate object of the bytes; no container with a certificate, or
  // bytes that are none, fail without a message of their own.  (Only a
  // certificate of this probe counts: an earlier one in the fields is not
  // taken for it.)
  if (!found) {
    platform::Trace("SKF probe: no container of the key holds a %s certificate",
                    sign ? "signature" : "encryption");
    return -1;
  }
  std::optional<platform::Certificate> object =
      platform::Certificate::FromDer(m_abCertDer, static_cast<size_t>(m_nCertDerLen));
  if (!object) return -1;

  const unsigned char* p = m_abCertDer;
  ossl::Ptr<X509> x509(d2i_X509(nullptr, &p, m_nCertDerLen));
  if (!x509 || !WritePem(x509.get(), m_szCertText)) {
    SetError(kMsgProbeDecode);
    return -1;
  }
  CopyBounded(m_szCertName, platform::CutGbk(object->SimpleDisplayName(), kCertNameSize - 1));
  return object->SignatureAlgorithmOid() == kSm2SignatureOid ? 1 : 0;
} catch (...) {
  return -1;  // out of memory
}

int KeySession::LoadKeyAndCert(ossl::Ptr<X509>* cert, ossl::Ptr<EVP_PKEY>* key,
                               KeyRoute* route) noexcept try {
  if (cert == nullptr || key == nullptr || route == nullptr) return -1;
  if (!Is(m_szInterfaceName, kCsp)) {
    // A failed probe's message stays unless the "P11" route writes its own.
    // When "SKF" was named and the key refused the PIN, the call ends with
    // the key's message: the PIN is not sent on to a PKCS#11 token.
    const bool skfNamed = Is(m_szInterfaceName, kSkf);
    bool pinRefused = false;
    const int probe = ProbeSkf(false, &pinRefused);
    if (skfNamed && pinRefused) {
      platform::Trace("route SKF: the key refused the PIN; it is not sent on to a PKCS#11 token");
      return -1;
    }
    CopyBounded(m_szInterfaceName, probe == 1 ? kSkf : kP11);
    platform::Trace("route %s: %s", m_szInterfaceName,
                    probe == 1 ? "the SKF key holds an SM2 certificate"
                    : probe == 0 ? "the SKF key's certificate is not SM2"
                                 : "the SKF probe found no certificate");
  }

  if (Is(m_szInterfaceName, kP11)) {
    // One login: the engine's key load is the PIN check too.  Its choice
    // of token and its answer are the ones LoginP11Device reports.
    if (!P11ListNamesModules()) return -1;
    KeyRoute r;
    ossl::Ptr<X509> c;
    ossl::Ptr<EVP_PKEY> k;
    TokenOutcome outcome;
    const int loaded = LoadP11Key(&r, &c, &k, &outcome);
    if (loaded < 0) return -1;
    if (loaded > 0) {
      if (ReportP11Outcome(outcome) == 0) SetError(kMsgP11Key);
      return -1;
    }
    if (!WritePem(c.get(), m_szCertText)) {
      SetError(kMsgP11Key);
      return -1;
    }
    *cert = std::move(c);
    *key = std::move(k);
    *route = std::move(r);
    return 0;
  }

  // "SKF" and "CSP": the certificate bytes are in m_abCertDer, the key is
  // loaded by an identifier.
  KeyRoute r;
  std::string keyId;
  char provider[kCertNameSize] = {};
  if (Is(m_szInterfaceName, kSkf)) {
    // The probe presented no empty PIN; neither does the key load.
    if (m_szPin[0] == '\0') {
      SetError(kMsgEmptyPin);
      return -1;
    }
    if (BringUpRoute(kGmEngine, &r) != 0) return -1;
    keyId = m_szCertName;
  } else {
    CCertSelectDlg chooser;
    chooser.SetKeyUsageFilter(m_nKeyKind - 1);  // 1 signing, 0 decryption
    if (chooser.DoModal() != CCertSelectDlg::IDOK) {
      platform::Trace("route CSP: no certificate was chosen (none offered, or cancelled)");
      return -1;
    }
    uint32_t len = chooser.GetSelectedCert(m_abCertDer, sizeof m_abCertDer);
    m_nCertDerLen = len <= sizeof m_abCertDer ? static_cast<int32_t>(len) : 0;
    chooser.GetSubjectName(m_szCertName);
    char container[kCertNameSize] = {};
    chooser.GetProviderName(provider, sizeof provider);
    chooser.GetContainerName(container, sizeof container);
    keyId = container;
    if (BringUpRoute(kCapiEngine, &r) != 0) return -1;
  }

  const unsigned char* p = m_abCertDer;
  ossl::Ptr<X509> c(m_nCertDerLen > 0 ? d2i_X509(nullptr, &p, m_nCertDerLen) : nullptr);
  if (!c || !WritePem(c.get(), m_szCertText)) {
    SetError(kMsgDecode);
    return -1;
  }
  ossl::Ptr<EVP_PKEY> k = LoadRouteKey(r, keyId.c_str(), provider);
  if (!k) {
    SetError(kMsgEngineKey);
    return -1;
  }
  *cert = std::move(c);
  *key = std::move(k);
  *route = std::move(r);
  return 0;
} catch (...) {
  return -1;  // out of memory
}

int KeySession::ReadDeviceCert(int kind) noexcept try {
  m_nKeyKind = kind;
  ReleaseKeyAndCert();
  // No PIN is presented to either device: exporting a certificate needs
  // no login.
  CopyBounded(m_szInterfaceName, ProbeSkf(true, nullptr) == 1 ? kSkf : kP11);
  platform::Trace("certificate read: route %s", m_szInterfaceName);
  if (Is(m_szInterfaceName, kSkf)) return 0;  // the probe wrote m_szCertText

  // The certificate alone, without a login: the PIN is not handed over.
  ossl::Ptr<X509> c;
  const int read = ReadP11Cert(kind, &c);
  if (read < 0) return -1;
  if (read > 0 || !WritePem(c.get(), m_szCertText)) {
    platform::Trace("certificate read: no PKCS#11 token of P11_SKF.ini gave a %s certificate",
                    kind == kSignatureKey ? "signature" : "encryption");
    SetError(kMsgP11Cert);
    return -1;
  }
  return 0;
} catch (...) {
  return -1;  // out of memory
}

}  // namespace tolmix
