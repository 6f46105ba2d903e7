// Session set-up methods of the control: Initialize, InitializeGM,
// SetPasswd, ClearPasswd, GetAllCSPInfo.
//
// The process-wide session (control/Session.h) is what the engine-backed
// methods of every control hand to their engines.  Only SetPasswd with
// lCKType 1 puts a selector into it; Initialize puts a password into it;
// ClearPasswd and every SetPasswd empty it first.
//
// Passwords: the engine keeps a PIN in 31 bytes.  A longer password would
// be cut there and reach the device as a different, wrong PIN, which counts
// towards locking the key.  So Initialize and SetPasswd refuse a password
// over 31 bytes: Initialize (which never records errors) returns false
// before it changes anything; SetPasswd empties the session (its first
// step), records kMsgPasswordTooLong and returns false.  InitializeGM
// keeps its password on the control alone, where no operation reads it,
// and takes it as it is.
#include <cstring>

#include "control/Session.h"
#include "control/TOLMIXCtrl.h"
#include "control/TextBoundary.h"
#include "engine/CMSEngine.h"
#include "platform/SoftProvider.h"
#include "util/FixedText.h"

namespace tolmix {
namespace {

// "不支持的接口标准."
constexpr char kMsgUnsupportedInterface[] =
    "\xB2\xBB\xD6\xA7\xB3\xD6\xB5\xC4\xBD\xD3\xBF\xDA\xB1\xEA\xD7\xBC\x2E";
// "使用CSP接口初使化证书失败."
constexpr char kMsgCspCertFailed[] =
    "\xCA\xB9\xD3\xC3\x43\x53\x50\xBD\xD3\xBF\xDA\xB3\xF5\xCA\xB9\xBB\xAF\xD6\xA4\xCA\xE9\xCA"
    "\xA7\xB0\xDC\x2E";
// "密码过长,设备口令最多31个字节."
constexpr char kMsgPasswordTooLong[] =
    "\xC3\xDC\xC2\xEB\xB9\xFD\xB3\xA4\x2C\xC9\xE8\xB1\xB8\xBF\xDA\xC1\xEE\xD7\xEE\xB6\xE0\x33\x31"
    "\xB8\xF6\xD7\xD6\xBD\xDA\x2E";

// The three selectors, compared exactly and case-sensitively.
bool IsKnownInterface(const char* name) {
  return strcmp(name, "CSP") == 0 || strcmp(name, "P11") == 0 || strcmp(name, "SKF") == 0;
}

// Zero-fills the 256-byte field FIELD and copies TEXT into it (cut to 255
// bytes; the boundary refuses longer arguments before they get here).
template <size_t N>
void StoreField(char (&field)[N], const char* text) {
  memset(field, 0, N);
  CopyBounded(field, text);
}

}  // namespace

bool CTOLMIXCtrl::Initialize(const char* ProviderName, const char* Password) {
  StoreField(m_szInterface, ProviderName);
  if (!IsKnownInterface(m_szInterface)) return false;  // the rejected text stays
  if (!control::PasswordFitsEngine(Password)) return false;
  StoreField(m_szPassword, Password);
  control::SetSessionPassword(m_szPassword);
  m_bGMMode = 0;
  return true;
}

bool CTOLMIXCtrl::InitializeGM(const char* GMDLLFileName, const char* Password) {
  m_bGMMode = 1;
  StoreField(m_szGMDllName, GMDLLFileName);
  StoreField(m_szPassword, Password);
  return true;
}

bool CTOLMIXCtrl::SetPasswd(const char* szInterface, const char* szPasswd, int32_t lCKType) {
  // The first step whatever follows, a refused password included: a page
  // whose switch failed can no longer sign with the previous PIN.  (The
  // boundary does the same when it refuses the arguments.)
  control::ClearSession();
  if (!control::PasswordFitsEngine(szPasswd)) {
    RecordError(kMsgPasswordTooLong);
    return false;
  }
  // The session is written before the selector is checked: an unsupported
  // selector given with lCKType 1 stays in it.
  if (lCKType == 1) control::ReplaceSession(szInterface, szPasswd);
  // The password the P11 login uses: what this call put into the session.
  const char* sessionPassword = lCKType == 1 ? szPasswd : "";

  StoreField(m_szInterface, szInterface);
  CMSEngine engine;
  StoreField(m_szPassword, szPasswd);
  engine.SetPassword(m_szPassword);

  if (!IsKnownInterface(m_szInterface)) {
    RecordError(kMsgUnsupportedInterface);
    return false;
  }
  if (strcmp(m_szInterface, "P11") == 0 && lCKType != -1) {
    if (engine.SetPasswordAndLoginP11(sessionPassword) != 0) {
      char error[CMSEngine::kErrorTextSize];
      engine.GetErrorText(error);
      RecordError(error);
      return false;
    }
  } else if (strcmp(m_szInterface, "CSP") == 0) {
    // The chooser lists certificates fit for data encryption (the engine's
    // key kind is the exchange key until an operation changes it).
    if (engine.ChooseStoreCertificate() != 0) {
      RecordError(kMsgCspCertFailed);
      return false;
    }
    char cert[CMSEngine::kCertTextSize];
    engine.GetCertText(cert);
    m_strCurrentCert = cert;
  }
  // "SKF": the key is opened by the operations that need it.
  m_bGMMode = 0;
  return true;
}

bool CTOLMIXCtrl::ClearPasswd() {
  control::ClearSession();
  return true;
}

bool CTOLMIXCtrl::GetAllCSPInfo() {
  std::string list;
  unsigned size = 0;
  if (!platform::EnumSoftProvider(0, nullptr, &size)) {
    m_strAllCSP.clear();  // no provider installed
    return true;
  }
  for (unsigned i = 0;; ++i) {
    std::string name(size, '\0');
    if (!platform::EnumSoftProvider(i, name.data(), &size)) return false;  // AllCSP unchanged
    name.resize(strnlen(name.data(), name.size()));
    if (i > 0) list += ';';
    list += name;
    if (!platform::EnumSoftProvider(i + 1, nullptr, &size)) break;
  }
  m_strAllCSP = std::move(list);
  return true;
}

}  // namespace tolmix
