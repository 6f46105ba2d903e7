// KeySession: the PIN check on the first PKCS#11 token of P11_SKF.ini and
// what the token's outcome is said as (the route's back end makes the check:
// EngineKeys.cpp or ProviderKeys.cpp).
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include <openssl/err.h>

// The PKCS#11 types and constants (standard names) from p11-kit's copy of
// the published header; it includes nothing but <stddef.h>.
#include <p11-kit-1/p11-kit/pkcs11.h>

#include "engine/KeySession.h"
#include "engine/PinRefusals.h"
#include "platform/DynamicLibrary.h"
#include "platform/Env.h"
#include "platform/Trace.h"
#include "util/IniReader.h"
#include "util/TokenOutcome.h"

namespace tolmix {
namespace {


// 加载p11库(%s)失败
constexpr char kP11LoadFailed[] = "\xBC\xD3\xD4\xD8p11\xBF\xE2(%s)\xCA\xA7\xB0\xDC";
// 获取p11函数库(%s)失败
constexpr char kP11FunctionsFailed[] = "\xBB\xF1\xC8\xA1p11\xBA\xAF\xCA\xFD\xBF\xE2(%s)\xCA\xA7\xB0\xDC";
// 获取设备信息失败
constexpr char kSlotListFailed[] = "\xBB\xF1\xC8\xA1\xC9\xE8\xB1\xB8\xD0\xC5\xCF\xA2\xCA\xA7\xB0\xDC";
// 未发现UKEY设备
constexpr char kNoToken[] = "\xCE\xB4\xB7\xA2\xCF\xD6UKEY\xC9\xE8\xB1\xB8";
// 打开设备会话失败
constexpr char kOpenSessionFailed[] = "\xB4\xF2\xBF\xAA\xC9\xE8\xB1\xB8\xBB\xE1\xBB\xB0\xCA\xA7\xB0\xDC";
// 密码为空,请输入密码!
constexpr char kEmptyPin[] = "\xC3\xDC\xC2\xEB\xCE\xAA\xBF\xD5,\xC7\xEB\xCA\xE4\xC8\xEB\xC3\xDC\xC2\xEB!";
// 登录设备失败，口令是否正确,您还有%d次尝试机会!!!!!! -- the SKF route's
// message, with 0 tries, for a PKCS#11 token that is locked.
constexpr char kLocked[] =
    "\xB5\xC7\xC2\xBC\xC9\xE8\xB1\xB8\xCA\xA7\xB0\xDC\xA3\xAC\xBF\xDA\xC1\xEE\xCA\xC7\xB7\xF1"
    "\xD5\xFD\xC8\xB7,\xC4\xFA\xBB\xB9\xD3\xD0%d\xB4\xCE\xB3\xA2\xCA\xD4\xBB\xFA\xBB\xE1!!!!!!";
// 登录UKEY失败,密码错误,重复次数过多会锁死UKEY.
constexpr char kLoginFailed[] =
    "\xB5\xC7\xC2\xBCUKEY\xCA\xA7\xB0\xDC,\xC3\xDC\xC2\xEB\xB4\xED\xCE\xF3,\xD6\xD8\xB8\xB4\xB4\xCE"
    "\xCA\xFD\xB9\xFD\xB6\xE0\xBB\xE1\xCB\xF8\xCB\xC0UKEY.";

// C_Login's return value as the operation's result; a non-zero CK_RV never
// becomes 0 when cut to 32 bits.
int LoginResult(CK_RV rv) noexcept {
  int result = static_cast<int>(rv);
  return rv != CKR_OK && result == 0 ? -1 : result;
}

}  // namespace

int KeySession::SetPasswordAndLoginP11(const char* pin) noexcept {
  SetPassword(pin);
  return LoginP11Device();
}

int KeySession::LoginP11Device() noexcept { return FindP11Token(true); }

bool KeySession::P11TokenPresent() noexcept {
  // Only the answer counts: the walk's messages are not this check's.
  char saved[kErrorTextSize];
  memcpy(saved, m_szError, sizeof saved);
  const bool present = FindP11Token(false) == 0;
  memcpy(m_szError, saved, sizeof saved);
  return present;
}

// The token choice and the login are the "pkcs11_rsa_key" engine's
// (modules/pkcs11_rsa_key/TokenChoice.h), so that the check and a key load
// go to the same token; the engine says how far it came (TokenOutcome) and
// the messages are said here.
int KeySession::FindP11Token(bool login) noexcept {
  HoldDevices();  // another thread's C_Finalize would end this login
  if (!P11ListNamesModules()) return -1;  // nothing to say
  TokenOutcome outcome;
  if (CheckP11Token(login, &outcome) != 0) return -1;
  return ReportP11Outcome(outcome);
}

bool KeySession::P11ListNamesModules() noexcept {
  try {
    if (!ReadDeviceList(platform::SystemDir(), kP11DeviceListFile).empty()) return true;
    // Nothing to say to the page (the call keeps its earlier message), but
    // the trace says why the route ended here.
    platform::Trace("P11: %s/%s names no PKCS#11 module: the route has no device",
                    platform::SystemDir().c_str(), kP11DeviceListFile);
    return false;
  } catch (...) {
    return false;
  }
}

int KeySession::ReportP11Outcome(const TokenOutcome& outcome) noexcept {
  switch (outcome.step) {
    case TokenOutcome::kModuleLoad:
      FormatError(kP11LoadFailed, outcome.module);
      return -1;
    case TokenOutcome::kModuleFunctions:
      FormatError(kP11FunctionsFailed, outcome.module);
      return -1;
    case TokenOutcome::kNoDevice:
      SetError(kNoToken);
      return -1;
    case TokenOutcome::kSlotList:
      SetError(kSlotListFailed);
      return -1;
    case TokenOutcome::kOpenSession:
      platform::Trace("P11: %s: no session opens on the chosen token (CKR 0x%08lX)", outcome.module,
                      outcome.rv);
      SetError(kOpenSessionFailed);
      return -1;
    case TokenOutcome::kEmptyPin:
      SetError(kEmptyPin);
      return -1;
    case TokenOutcome::kLogin:
      // A locked token is told apart from a wrong PIN, so the user stops
      // guessing.  The token's module has told the process's memory of
      // refusals (engine/PinRefusals.h): this PIN is not presented to the
      // token again, and a PIN it remembered ends here without a login.
      if (outcome.rv == CKR_PIN_LOCKED) {
        FormatError(kLocked, 0);
      } else {
        SetError(kLoginFailed);
      }
      if (outcome.remembered) {
        platform::Trace("P11: %s refused this PIN before; not presented again", outcome.module);
      } else {
        platform::Trace("P11: %s refused the login (CKR 0x%08lX)", outcome.module, outcome.rv);
      }
      return LoginResult(outcome.rv);
    case TokenOutcome::kReady:
      return 0;
    default:
      return -1;  // no module listed: nothing to say
  }
}

}  // namespace tolmix
